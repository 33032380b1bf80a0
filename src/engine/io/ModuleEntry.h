#pragma once

#include <mutex>
#include <string>

namespace quelby {

// Where a module of the program may be: beside an installed program (wherever
// its prefix was moved), at the prefix it was configured for, and in the build tree.
struct ModulePlaces {
    const char* name;         // "quelby_dicom_writer.so"
    const char* fromBindir;   // the library folder relative to the programs' folder
    const char* installed;    // the library folder the build was configured for
    const char* built;        // the module's path in the build tree
};

// The address of `entry` in the first of the places whose module loads and
// holds it; the module stays loaded for the process. Nothing when none does,
// with the paths tried in `tried`.
void* moduleEntry(const ModulePlaces& places, const char* entry, std::string& tried);

// Held while a module loads, which may be on the helper thread: a process
// forked meanwhile would start with the loader's locks held.
std::mutex& moduleLoading();

}  // namespace quelby
