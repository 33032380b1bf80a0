#pragma once

#include <string>
#include <vector>

namespace quelby {

// The image files of a folder, in the order the passes take them: names sorted
// case-insensitively (ASCII), ties byte-wise. Hidden entries (names beginning
// with "."), folders and entries that are neither regular files nor folders
// after following links are left out. A folder that cannot be listed throws
// its FileFailure; a missing one is a wrong path (3).
std::vector<std::string> ListImageFiles(const std::string& folder);

// The path of an entry: the folder's path as given, "/", the name.
std::string ImageFilePath(const std::string& folder, const std::string& name);

int CountImageFiles(const std::string& folder);

}  // namespace quelby
