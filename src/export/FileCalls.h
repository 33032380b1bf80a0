#pragma once

#include <sys/types.h>

namespace quelby {

// The system calls a writer makes, so that a test can make any of them fail
// as a full disk, a failing device or a lost network share would.
struct FileCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* bytes, size_t count);
    int (*fdatasync)(int fd);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*ftruncate)(int fd, off_t length);
};

const FileCalls& systemFileCalls();

}  // namespace quelby
