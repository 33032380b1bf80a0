#include "export/FileCalls.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace quelby {

const FileCalls& systemFileCalls()
{
    static const FileCalls calls{
        [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
        ::write,
        ::fdatasync,
        ::fsync,
        ::close,
        ::rename,
        ::ftruncate,
    };
    return calls;
}

}  // namespace quelby
