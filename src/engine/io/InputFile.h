#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// One image file opened read-only, closed on every way out. Every call is
// checked and fails with the FileFailure of its errno and the path.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& path() const { return path_; }
    std::int64_t size() const;
    // Exactly into.size() bytes from `offset`; a file that ends first is a short read.
    void readAt(std::int64_t offset, std::span<unsigned char> into) const;
    // The whole file into `bytes`, resized to its size (room kept by a caller
    // that reads file after file).
    void readAll(std::vector<unsigned char>& bytes) const;
    // Whether the file opens with DICOM's preamble and "DICM"; false for a
    // file too short for them. Reads without asking the size, since every
    // file of a folder is probed.
    bool startsAsDicom() const;
    // The close, checked; the destructor's is not.
    void close();

private:
    // Up to into.size() bytes from `offset`; how many came before the end.
    std::size_t readUpTo(std::int64_t offset, std::span<unsigned char> into) const;
    [[noreturn]] void fail(int err) const;

    std::string path_;
    int fd_;
};

}  // namespace quelby
