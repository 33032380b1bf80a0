#include "qa/HistoryCarry.h"

#include "engine/core/InputError.h"
#include "export/FileReplace.h"
#include "qa/CsvTable.h"
#include "qa/MeasureProgram.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace quelby {

namespace {

constexpr const char* Usage = "usage: quelby-measure history-carry OLD.csv NEW.csv --columns report.csv";

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// Written whole under a temporary name, then linked to `path`, which the link
// refuses when it exists: an existing file is never replaced.
void writeNew(const std::string& path, const std::string& text)
{
    std::filesystem::path target(path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    std::string temporary;
    try {
        temporary = writeTemporary(folder, text, 0666);
    } catch (const FileWriteError& e) {
        throw InputError(path + ": cannot be written (" + e.what() + ")");
    }
    const int linked = ::link(temporary.c_str(), path.c_str()), error = errno;
    ::unlink(temporary.c_str());
    if (linked != 0)
        throw InputError(path + (error == EEXIST ? ": exists; give a new file" : ": cannot be written (" +
                                                                                   std::string(std::strerror(error)) + ")"));
    try {
        syncFolder(folder);
    } catch (const FileWriteError& e) {
        throw InputError(path + ": cannot be synced (" + e.what() + ")");
    }
}

}  // namespace

CarriedHistory carryHistory(const std::string& oldPath, const std::vector<std::string>& header)
{
    const CsvTable old = readCsv(oldPath);
    const CsvTable target{header, {}, {}, {}};
    std::vector<std::string> dropped;
    for (const std::string& name : old.header)
        if (!target.column(name)) dropped.push_back(name);
    if (!dropped.empty())
        throw InputError(oldPath + ": the new columns lack " + joined(dropped) + "; their values would be lost");
    CarriedHistory carried{csvLine(header), old.rows.size(), {}, old.cutShortLines};
    for (const std::string& name : header)
        if (!old.column(name)) carried.addedColumns.push_back(name);
    for (const auto& row : old.rows) {
        std::vector<std::string> fields(header.size());
        for (std::size_t k = 0; k < old.header.size(); ++k) fields[*target.column(old.header[k])] = row[k];
        carried.text += csvLine(fields);
    }
    return carried;
}

int runHistoryCarry(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    try {
        if (args.size() != 4 || args[2] != "--columns") throw InputError(Usage);
        const std::string& oldPath = args[0];
        const std::string& newPath = args[1];
        std::error_code ec;
        if (std::filesystem::exists(newPath, ec)) throw InputError(newPath + ": exists; give a new file");
        const CarriedHistory carried = carryHistory(oldPath, readCsv(args[3]).header);
        writeNew(newPath, carried.text);
        out << newPath << ": " << carried.rows << " rows of " << oldPath << " carried";
        if (!carried.addedColumns.empty()) out << "; new columns, empty in them: " << joined(carried.addedColumns);
        out << "\n";
        for (const int line : carried.cutShortLines)
            err << "quelby-measure: " << oldPath << ": line " << line << " was cut short when written; left out\n";
        return ExitDone;
    } catch (const InputError& e) {
        err << "quelby-measure: " << e.what() << "\n";
        return ExitUnmeasurable;
    }
}

}  // namespace quelby
