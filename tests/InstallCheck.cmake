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
# GDCM's decoding comes as a module beside the programs, which start without it.
file(GLOB_RECURSE module "${PREFIX}/lib*/quelby/quelby_dicom_library.so")
if(NOT module)
  message(FATAL_ERROR "not installed: the DICOM decoder module under lib*/quelby")
endif()
foreach(program quelby quelby-measure)
  execute_process(COMMAND ldd "${PREFIX}/bin/${program}" OUTPUT_VARIABLE needed RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR needed MATCHES "gdcm")
    message(FATAL_ERROR "${program} loads GDCM at start: ${status} ${needed}")
  endif()
endforeach()
