#include "engine/io/FileFailure.h"

#include <cstring>

namespace quelby {

FileFailure::FileFailure(int err, const std::string& path) : FileFailure(err, path, fileErrorText(err, path)) {}

FileFailure::FileFailure(int err, const std::string& path, const std::string& message)
    : Failure(message), error_(err), path_(path)
{
}

FileFailure FileFailure::shortRead(const std::string& path)
{
    return FileFailure(0, path, fileErrorMessage(ShortReadCode));
}

InputError FileFailure::inEnglish() const
{
    const std::string name = path_.substr(path_.rfind('/') + 1);
    if (error_ == 0) return InputError(name + ": ended while it was read");
    return InputError(name + ": cannot be read (" + std::strerror(error_) + ")");
}

}  // namespace quelby
