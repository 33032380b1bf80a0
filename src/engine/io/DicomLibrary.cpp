#include "engine/io/DicomLibrary.h"

#include "engine/core/InputError.h"

#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <vector>

namespace quelby {

namespace {

// Where the module may be: beside an installed program (wherever its prefix
// was moved), at the prefix it was configured for, and in the build tree.
std::vector<std::filesystem::path> candidates()
{
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        paths.push_back((self.parent_path() / QUELBY_LIBRARY_FROM_BINDIR / QUELBY_LIBRARY_NAME).lexically_normal());
    paths.push_back(std::filesystem::path(QUELBY_LIBRARY_INSTALLED) / QUELBY_LIBRARY_NAME);
    paths.push_back(QUELBY_LIBRARY_BUILT);
    return paths;
}

LibraryDecode load()
{
    std::string tried;
    for (const std::filesystem::path& path : candidates()) {
        // Loaded in this process rather than in each child: the loader is not
        // safe after a fork of a threaded process, and children inherit it.
        if (void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            if (void* entry = ::dlsym(module, LibraryDecodeName)) return reinterpret_cast<LibraryDecode>(entry);
            ::dlclose(module);
        }
        tried += (tried.empty() ? "" : ", ") + path.string();
    }
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
