#include "qa/History.h"

#include "engine/core/InputError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what, int error = errno)
{
    throw InputError(path + ": " + what + " (" + std::strerror(error) + ")");
}

// What to append: the header to an empty file; a row to a file of the same
// columns, on a line of its own even after a row cut short by an older version.
std::string appendedText(int fd, const std::string& path, off_t size, const std::string& header,
                         const std::string& row)
{
    if (size == 0) return header + row;
    std::string first(header.size(), '\0');
    const ssize_t n = ::pread(fd, first.data(), first.size(), 0);
    if (n != static_cast<ssize_t>(first.size()) || first != header)
        throw InputError(path + ": its columns are not this run's; start a new history file");
    char last = '\n';
    if (::pread(fd, &last, 1, size - 1) != 1) fail(path, "the history cannot be read");
    return last == '\n' ? row : "\n" + row;
}

// The whole text written and synced, or the errno of the call that failed.
int appendWhole(const FileCalls& calls, int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        // A short write stores what fits; the next one says why the rest did not.
        const ssize_t n = calls.write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return calls.fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

void appendHistory(const std::string& path, const std::string& header, const std::string& row, const FileCalls& calls)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) fail(path, "the history cannot be opened");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::flock(fd, LOCK_EX) != 0) fail(path, "the history cannot be locked");
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail(path, "the history cannot be read");
    const std::string text = appendedText(fd, path, st.st_size, header, row);
    const int error = appendWhole(calls, fd, text);
    if (error == 0) return;
    if (calls.ftruncate(fd, st.st_size) != 0 || calls.fsync(fd) != 0)
        fail(path, "the row could not be appended (" + std::string(std::strerror(error)) +
                       ") nor the part written cut off again");
    fail(path, "the row could not be appended; the history is as it was", error);
}


}  // namespace quelby
