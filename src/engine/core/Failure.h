#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quelby {

// The one failure type: a step that fails ends the handler it runs in, and the
// window shows what() in its error box. Messages are UTF-8.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}

    static Failure notANumber(std::string_view text);
    static Failure integerDivisionByZero();
    static Failure invalidOperation();
    static Failure divisionByZero();
    static Failure overflow();
    // A file failure with the system's code (or the record-level codes below).
    static Failure file(int code);
};

// Record-level file codes, beside the operating system's own.
inline constexpr int ShortReadCode = 100;
inline constexpr int ShortWriteCode = 101;

// The message of a file failure with this code.
std::string fileErrorMessage(int code);

// Maps an errno from a call on `path` to the code shown to the user: 2, 3, 4, 5 or
// 101 for the conditions that have a message of their own (ENOENT is 2 when the
// file alone is missing and 3 when a folder on its way is), otherwise the errno.
int fileErrorCode(int err, const std::string& path);

// The message of the file failure for errno `err` from a call on `path`, as
// throwFileError words it.
std::string fileErrorText(int err, const std::string& path);

// Throws the file failure for errno `err` from a call on `path`. An errno without
// a message of its own shows as "I/O エラー (errno)" even where its number equals
// one of the codes above (EIO is 5, and must not read as access denied).
[[noreturn]] void throwFileError(int err, const std::string& path);

}  // namespace quelby

namespace quelby {

// The text the error box shows: a full stop is appended when the message's last
// byte sorts above "." (letters, digits, every double-byte character).
std::string errorBoxText(std::string_view message);

// The application title: the program file's name without its folder and without
// everything from its first full stop on, first character kept, the rest lower case.
std::string applicationTitle(std::string_view programPath);

}  // namespace quelby
