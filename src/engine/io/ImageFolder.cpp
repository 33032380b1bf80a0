#include "engine/io/ImageFolder.h"

#include "engine/io/FileFailure.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace quelby {

namespace {

// Listing a folder: a folder that is missing altogether is a wrong path (3),
// whether or not its parent exists.
[[noreturn]] void throwListingError(int err, const std::string& folder)
{
    if (err == ENOENT) throw FileFailure(err, folder, fileErrorMessage(3));
    throw FileFailure(err, folder);
}

unsigned char folded(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Case-insensitive ASCII order, ties byte-wise, so every machine takes the
// files, and so picks the representative image, in the same order.
bool nameBefore(const std::string& a, const std::string& b)
{
    const auto foldedLess = [](char x, char y) { return folded(x) < folded(y); };
    if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), foldedLess)) return true;
    if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), foldedLess)) return false;
    return a < b;
}

// Whether a listed entry is taken as an image. Entries that cannot be looked
// at (a dangling link) are taken, so their read fails with a message instead
// of the data silently going missing; FIFOs, sockets and devices are not, so
// that none of them can block a run.
bool isImageEntry(int folderFd, const dirent& entry)
{
    if (entry.d_name[0] == '.') return false;
    if (entry.d_type == DT_REG) return true;
    if (entry.d_type == DT_DIR) return false;
    struct stat st {};
    if (::fstatat(folderFd, entry.d_name, &st, 0) != 0) return true;
    return S_ISREG(st.st_mode);
}

class FolderListing {
public:
    explicit FolderListing(const std::string& folder) : folder_(folder), dir_(::opendir(folder.c_str()))
    {
        if (dir_ == nullptr) throwListingError(errno, folder_);
    }
    ~FolderListing()
    {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    std::vector<std::string> imageNames()
    {
        std::vector<std::string> names;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir_);
            if (entry == nullptr) break;
            if (isImageEntry(::dirfd(dir_), *entry)) names.emplace_back(entry->d_name);
        }
        if (errno != 0) throwListingError(errno, folder_);
        return names;
    }

    void close()
    {
        DIR* dir = dir_;
        dir_ = nullptr;
        if (::closedir(dir) != 0) throwListingError(errno, folder_);
    }

private:
    std::string folder_;
    DIR* dir_;
};

}  // namespace

std::vector<std::string> ListImageFiles(const std::string& folder)
{
    FolderListing listing(folder);
    std::vector<std::string> names = listing.imageNames();
    listing.close();
    std::sort(names.begin(), names.end(), nameBefore);
    return names;
}

std::string ImageFilePath(const std::string& folder, const std::string& name) { return folder + "/" + name; }

int CountImageFiles(const std::string& folder) { return static_cast<int>(ListImageFiles(folder).size()); }

}  // namespace quelby
