#include "station/Credentials.h"

#include "station/StationError.h"
#include "export/FileReplace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/random.h>
#include <sys/stat.h>

namespace quelby {

namespace {

constexpr const char* User = "quelby";

std::string randomPassword()
{
    static constexpr char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    unsigned char bytes[24];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        throw StationError(std::string("no random bytes for the password: ") + std::strerror(errno));
    std::string password;
    for (const unsigned char b : bytes) password += alphabet[b % (sizeof alphabet - 1)];
    return password;
}

Credentials created(const std::string& dir, const std::string& path)
{
    const Credentials credentials{User, randomPassword()};
    const std::string line = credentials.user + ":" + credentials.password + "\n";
    try {
        const std::string temporary = writeTemporary(dir, line, 0600);
        if (std::rename(temporary.c_str(), path.c_str()) != 0) {
            const int error = errno;
            std::remove(temporary.c_str());
            throw FileWriteError(error);
        }
        syncFolder(dir);
    } catch (const FileWriteError& e) {
        throw StationError(path + ": cannot be written (" + e.what() + ")");
    }
    return credentials;
}

}  // namespace

Credentials stationCredentials(const std::string& dir)
{
    const std::string path = dir + "/credentials";
    std::ifstream in(path);
    if (!in) return created(dir, path);
    // Whoever may read the password may use the station.
    if (::chmod(path.c_str(), 0600) != 0) throw StationError(path + ": cannot be made private (" + std::strerror(errno) + ")");
    std::string line;
    std::getline(in, line);
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == line.size())
        throw StationError(path + ": give one line user:password");
    return {line.substr(0, colon), line.substr(colon + 1)};
}

}  // namespace quelby
