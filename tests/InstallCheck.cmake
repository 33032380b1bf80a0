# Installs the build into a fresh prefix and checks what a desktop finds there.
# -DBUILD=<build folder> -DPREFIX=<empty folder>
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}" RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file bin/quelby bin/quelby-measure bin/quelby-phantom share/applications/quelby.desktop
             share/icons/hicolor/scalable/apps/quelby.svg)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND desktop-file-validate "${PREFIX}/share/applications/quelby.desktop"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "desktop entry does not validate: ${status} ${out}")
endif()
# GDCM's decoding, and quelby-measure's drawing with Qt, come as modules beside
# the programs, which start without them.
foreach(module quelby_dicom_library quelby_pictures)
  file(GLOB_RECURSE found "${PREFIX}/lib*/quelby/${module}.so")
  if(NOT found)
    message(FATAL_ERROR "not installed: ${module}.so under lib*/quelby")
  endif()
endforeach()
foreach(program quelby quelby-measure)
  execute_process(COMMAND ldd "${PREFIX}/bin/${program}" OUTPUT_VARIABLE needed RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR needed MATCHES "gdcm" OR (program STREQUAL "quelby-measure" AND needed MATCHES "Qt6"))
    message(FATAL_ERROR "${program} loads GDCM or Qt at start: ${status} ${needed}")
  endif()
endforeach()
# The installed command line finds its picture module and draws, and Qt, made
# ready on the helper thread, says nothing as the process ends.
execute_process(COMMAND "${PREFIX}/bin/quelby-phantom" --out "${PREFIX}/series" --dicom --files 4 OUTPUT_QUIET
                RESULT_VARIABLE status)
execute_process(COMMAND "${PREFIX}/bin/quelby-measure" --quiet "${PREFIX}/series" -o "${PREFIX}/out"
                RESULT_VARIABLE measured ERROR_VARIABLE said)
if(NOT status EQUAL 0 OR NOT measured EQUAL 0 OR NOT EXISTS "${PREFIX}/out/snr_a.png" OR NOT said STREQUAL "")
  message(FATAL_ERROR "the installed quelby-measure draws no pictures: ${status} ${measured} ${said}")
endif()
