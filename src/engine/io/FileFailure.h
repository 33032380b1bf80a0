#pragma once

#include "engine/core/Failure.h"
#include "engine/core/InputError.h"

#include <string>

namespace quelby {

// A failing call on a file or folder: the window's file failure (its message
// by the system's code), with the errno and the path kept so that the command
// line can say it in its own words.
class FileFailure : public Failure {
public:
    // Worded as throwFileError words `err`.
    FileFailure(int err, const std::string& path);
    FileFailure(int err, const std::string& path, const std::string& message);
    // A read that met the end of the file first (the record-level code 100).
    static FileFailure shortRead(const std::string& path);

    int error() const { return error_; }  // 0 for a short read
    const std::string& path() const { return path_; }

    // "<name>: cannot be read (<the system's text>)", or "<name>: ended while it was read".
    InputError inEnglish() const;

private:
    int error_;
    std::string path_;
};

}  // namespace quelby
