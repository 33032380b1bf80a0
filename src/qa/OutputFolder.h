#pragma once

#include "export/FileCalls.h"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// A run's output folder. A kill or a failure at any moment leaves in it the
// earlier run's whole set, this run's whole set, or no report: every file is
// written under a temporary name first, and only then is the earlier report
// removed, the new files renamed into place and the new report renamed last.
// The outputs of an earlier run there that this one does not write are removed.
class OutputFolder {
public:
    // Throws InputError when `folder` names a file or takes no new file.
    // Removes the temporaries a killed run left in it.
    explicit OutputFolder(std::string folder, const FileCalls& calls = systemFileCalls());
    // The temporaries of a run that did not finish are removed.
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Throws InputError when `folder` exists and is not a folder or takes no
    // new file, so that a run is refused before it measures.
    static void checkUsable(const std::string& folder);

    const std::string& path() const { return folder_; }

    // Written under a temporary name, synced; in place only with finish().
    // `name` is a file of the folder, or a DICOM result in its "dicom"
    // subfolder ("dicom/snr_a_pm.dcm"; std::invalid_argument for any other
    // path). Every DICOM result there that this run does not write is removed.
    void write(const std::string& name, std::span<const char> bytes);

    // One output file and how its bytes are made.
    struct File {
        std::string name;
        std::function<std::vector<char>()> make;
    };

    // The files made and written two at a time, so that one waits for the disk
    // while the other is made.
    void write(const std::vector<File>& files);

    // Puts what was written in place, the report last, and removes the earlier
    // run's outputs this one did not write. Throws InputError.
    void finish();

private:
    void removeEarlierReport();
    void moveIntoPlace(const std::string& name);
    void removeStale();
    void sync();

    std::string folder_;
    const FileCalls& calls_;
    std::set<std::string> earlier_;
    std::map<std::string, std::string> staged_;  // name → its temporary's path
    std::mutex writing_;                         // staged_, from two threads
};

}  // namespace quelby
