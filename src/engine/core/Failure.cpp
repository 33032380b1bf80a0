#include "engine/core/Failure.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>

namespace quelby {

Failure Failure::notANumber(std::string_view text)
{
    std::string message(1, '\'');
    message.append(text).append("' は浮動小数点数ではありません");
    return Failure(message);
}

Failure Failure::integerDivisionByZero() { return Failure("ゼロによる除算"); }
Failure Failure::invalidOperation() { return Failure("不正な浮動小数点数演算命令"); }
Failure Failure::divisionByZero() { return Failure("0 による浮動小数点数除算"); }
Failure Failure::overflow() { return Failure("浮動小数点数のオーバーフロー"); }
Failure Failure::file(int code) { return Failure(fileErrorMessage(code)); }

std::string fileErrorMessage(int code)
{
    switch (code) {
    case 2: return "ファイルが見つかりません";
    case 3: return "ファイル名の指定が間違っています";
    case 4: return "オープンしたファイルが多すぎます";
    case 5: return "ファイルへのアクセスが拒否されました";
    case ShortReadCode: return "ファイルの末尾以降を読み込みました";
    case ShortWriteCode: return "ディスクがいっぱいです";
    case 106: return "入力値が数値ではありません";
    default: return "I/O エラー (" + std::to_string(code) + ")";
    }
}

namespace {

bool parentIsFolder(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<int> namedFileErrorCode(int err, const std::string& path)
{
    switch (err) {
    case ENOENT: return parentIsFolder(path) ? 2 : 3;
    case ENOTDIR: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case ENOSPC: return ShortWriteCode;
    default: return std::nullopt;
    }
}

}  // namespace

int fileErrorCode(int err, const std::string& path) { return namedFileErrorCode(err, path).value_or(err); }

std::string fileErrorText(int err, const std::string& path)
{
    if (const auto code = namedFileErrorCode(err, path)) return fileErrorMessage(*code);
    return "I/O エラー (" + std::to_string(err) + ")";
}

void throwFileError(int err, const std::string& path) { throw Failure(fileErrorText(err, path)); }

}  // namespace quelby

namespace quelby {

std::string errorBoxText(std::string_view message)
{
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
    return text;
}

std::string applicationTitle(std::string_view programPath)
{
    std::string_view name = programPath.substr(programPath.find_last_of('/') + 1);
    name = name.substr(0, name.find('.'));
    std::string title(name);
    for (std::size_t i = 1; i < title.size(); ++i)
        if (title[i] >= 'A' && title[i] <= 'Z') title[i] = static_cast<char>(title[i] - 'A' + 'a');
    return title;
}

}  // namespace quelby
