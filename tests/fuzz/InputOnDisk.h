#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace quelby::fuzz {

// The readers take paths, so each fuzz input is written to one file of this
// process, rewritten for every input and removed at exit.
class InputOnDisk {
public:
    explicit InputOnDisk(const std::string& suffix)
        : path_(std::filesystem::temp_directory_path() / ("quelby-fuzz-" + std::to_string(::getpid()) + suffix))
    {
    }
    ~InputOnDisk() { std::filesystem::remove(path_); }
    InputOnDisk(const InputOnDisk&) = delete;
    InputOnDisk& operator=(const InputOnDisk&) = delete;

    const std::string& write(std::span<const std::uint8_t> bytes)
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + path_);
        return path_;
    }

private:
    std::string path_;
};

}  // namespace quelby::fuzz
