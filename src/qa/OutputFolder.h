#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// A run's output folder: its files written whole, and the outputs of an
// earlier run there that this one does not write removed.
class OutputFolder {
public:
    // Throws InputError when `folder` names a file.
    explicit OutputFolder(std::string folder);

    // Throws InputError when `folder` exists and is not a folder.
    static void checkNotAFile(const std::string& folder);

    const std::string& path() const { return folder_; }

    void write(const std::string& name, std::span<const char> bytes);

    // One output file and how its bytes are made.
    struct File {
        std::string name;
        std::function<std::vector<char>()> make;
    };

    // The files made and written two at a time, so that one waits for the disk
    // while the other is made.
    void write(const std::vector<File>& files);

    // Removes what the earlier run's report listed, among this program's own
    // file names, that this run did not write; then syncs the folder, so that
    // the renames reach the disk together.
    void finish();

private:
    std::string folder_;
    std::set<std::string> earlier_, written_;
    std::mutex writing_;  // written_, from two threads
};

}  // namespace quelby
