#pragma once

#include "export/FileCalls.h"

#include <span>
#include <stdexcept>
#include <string>

namespace quelby {

// Why a file could not be replaced: the system's error number, or 0 for a
// write that stored less than it was given (a full disk or a size limit).
class FileWriteError : public std::runtime_error {
public:
    explicit FileWriteError(int error);
    int error() const { return error_; }

private:
    int error_;
};

// Replaces `target`, a file in `folder`, with `bytes`: they go to a temporary
// file beside it, are synced, and the file is renamed into place and the
// folder synced, so a failure at any step before the rename leaves the old
// file whole. Where the folder takes no new file but an existing target may be
// written, the target is rewritten in place. Throws FileWriteError. A caller
// that replaces many files in one folder may sync the folder once, after all.
void replaceFile(const std::string& target, const std::string& folder, std::span<const char> bytes,
                 const FileCalls& calls = systemFileCalls(), bool syncsFolder = true);

// Writes `bytes` to a new hidden temporary file in `folder` with `mode`, synced
// and closed, and returns its path for the caller to rename or remove. Throws
// FileWriteError, also when the folder takes no new file.
std::string writeTemporary(const std::string& folder, std::span<const char> bytes, mode_t mode,
                           const FileCalls& calls = systemFileCalls());

// Whether a file name is one of the temporaries these writers make.
bool isTemporaryName(const std::string& name);

// Syncs the folder, so that the renames in it reach the disk. Throws FileWriteError.
void syncFolder(const std::string& folder, const FileCalls& calls = systemFileCalls());

}  // namespace quelby
