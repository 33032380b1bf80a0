#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace quelby::test {

// A folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quelby-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    std::string sub(const std::string& name) const
    {
        std::filesystem::create_directories(path_ / name);
        return (path_ / name).string();
    }

private:
    std::filesystem::path path_;
};

// Writes an image file: `header` bytes of 0xAB, then 65,536 little-endian samples.
inline void writeImage(const std::string& path, const std::function<std::int16_t(int row, int col)>& sample,
                       std::size_t header = 0)
{
    std::vector<char> bytes(header, static_cast<char>(0xAB));
    for (int r = 0; r < 256; ++r)
        for (int c = 0; c < 256; ++c) {
            const auto v = static_cast<std::uint16_t>(sample(r, c));
            bytes.push_back(static_cast<char>(v & 0xFF));
            bytes.push_back(static_cast<char>(v >> 8));
        }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void writeUniformImage(const std::string& path, std::int16_t value)
{
    writeImage(path, [value](int, int) { return value; });
}

}  // namespace quelby::test
