#include "engine/io/DicomLibrary.h"

#include "engine/core/InputError.h"
#include "engine/io/ModuleEntry.h"

#include <string>

namespace quelby {

namespace {

LibraryDecode load()
{
    std::string tried;
    const ModulePlaces places{QUELBY_LIBRARY_NAME, QUELBY_LIBRARY_FROM_BINDIR, QUELBY_LIBRARY_INSTALLED,
                              QUELBY_LIBRARY_BUILT};
    if (void* entry = moduleEntry(places, LibraryDecodeName, tried)) return reinterpret_cast<LibraryDecode>(entry);
    throw InputError("the DICOM decoder " QUELBY_LIBRARY_NAME " cannot be loaded (looked for " + tried +
                     "); reinstall Quelby");
}

}  // namespace

LibraryDecode dicomLibrary()
{
    static const LibraryDecode decode = load();
    return decode;
}

}  // namespace quelby
