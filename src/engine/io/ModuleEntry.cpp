#include "engine/io/ModuleEntry.h"

#include <dlfcn.h>
#include <filesystem>
#include <vector>

namespace quelby {

void* moduleEntry(const ModulePlaces& places, const char* entry, std::string& tried)
{
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) paths.push_back((self.parent_path() / places.fromBindir / places.name).lexically_normal());
    paths.push_back(std::filesystem::path(places.installed) / places.name);
    paths.push_back(places.built);
    const std::lock_guard lock(moduleLoading());
    for (const std::filesystem::path& path : paths) {
        // Loaded in this process rather than in each child: the loader is not
        // safe after a fork of a threaded process, and children inherit it.
        if (void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            if (void* found = ::dlsym(module, entry)) return found;
            ::dlclose(module);
        }
        tried += (tried.empty() ? "" : ", ") + path.string();
    }
    return nullptr;
}

std::mutex& moduleLoading()
{
    static std::mutex loading;
    return loading;
}

}  // namespace quelby
