#include "MeasureRun.h"
#include "TempFolder.h"
#include "Unprivileged.h"
#include "engine/core/InputError.h"
#include "export/FileReplace.h"
#include "qa/History.h"
#include "qa/OutputFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace quelby;
using namespace quelby::test;

namespace {

// One call made to fail at its nth use; "full" stores `nth` bytes in all, then
// fails every write as a full disk does.
struct Injection {
    std::string call;
    int nth = 0;
    int error = 0;
};
Injection injection;
std::atomic<int> seen{0}, stored{0};

bool failsNow(const char* call)
{
    return injection.call == call && ++seen == injection.nth;
}

ssize_t injectedWrite(int fd, const void* bytes, size_t count)
{
    if (failsNow("write")) return errno = injection.error, -1;
    if (injection.call != "full") return ::write(fd, bytes, count);
    const int room = injection.nth - stored;
    if (room <= 0) return errno = ENOSPC, -1;
    const auto n = std::min(count, static_cast<size_t>(room));
    stored += static_cast<int>(n);
    return ::write(fd, bytes, n);
}

FileCalls injected(const Injection& i)
{
    injection = i;
    seen = stored = 0;
    FileCalls c = systemFileCalls();
    c.open = [](const char* p, int flags, mode_t mode) {
        return flags & O_CREAT && failsNow("create") ? (errno = injection.error, -1) : ::open(p, flags, mode);
    };
    c.write = injectedWrite;
    c.fdatasync = [](int fd) { return failsNow("fdatasync") ? (errno = injection.error, -1) : ::fdatasync(fd); };
    c.fsync = [](int fd) { return failsNow("fsync") ? (errno = injection.error, -1) : ::fsync(fd); };
    c.close = [](int fd) { return ::close(fd) == 0 && failsNow("close") ? (errno = injection.error, -1) : 0; };
    c.rename = [](const char* a, const char* b) { return failsNow("rename") ? (errno = injection.error, -1) : ::rename(a, b); };
    c.ftruncate = [](int fd, off_t n) { return failsNow("ftruncate") ? (errno = injection.error, -1) : ::ftruncate(fd, n); };
    return c;
}

std::map<std::string, std::string> filesIn(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        files[e.path().filename().string()] = fileText(e.path().string());
    return files;
}

void put(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

const std::string oldReport = R"({"software":"quelby-measure","maps":["signal_a.nii.gz","g.nii.gz"],"pictures":["g.png"]})";
const std::string newReport = R"({"software":"quelby-measure","maps":["signal_a.nii.gz","noise_a.nii.gz"],"pictures":[]})";
const std::vector<std::string> oldSet{"signal_a.nii.gz", "g.nii.gz", "g.png", "report.csv"};
const std::vector<std::string> newSet{"signal_a.nii.gz", "noise_a.nii.gz", "report.csv"};

// What a folder holds: "empty", "earlier" or "new" (a whole set and nothing of
// the other), "no report", or what is wrong with it.
std::string stateOf(const std::string& folder)
{
    const auto files = filesIn(folder);
    for (const auto& [name, text] : files)
        if (isTemporaryName(name)) return "a temporary";
    if (files.empty()) return "empty";
    if (!files.count("report.json")) return "no report";
    const bool earlier = files.at("report.json") == oldReport;
    const std::vector<std::string>& set = earlier ? oldSet : newSet;
    std::size_t matching = 1;
    for (const std::string& name : set)
        matching += files.count(name) && files.at(name) == (earlier ? "old " : "new ") + name;
    if (matching != files.size() || matching != set.size() + 1) return "mixed";
    return earlier ? "earlier" : "new";
}

// A run's writing, the maps two at a time and the reports after them.
std::string writeNewSet(const std::string& folder, const FileCalls& calls)
{
    try {
        OutputFolder out(folder, calls);
        std::vector<OutputFolder::File> maps;
        for (const char* name : {"signal_a.nii.gz", "noise_a.nii.gz"})
            maps.push_back({name, [name] {
                                const std::string text = "new " + std::string(name);
                                return std::vector<char>(text.begin(), text.end());
                            }});
        out.write(maps);
        out.write("report.json", newReport);
        out.write("report.csv", std::string("new report.csv"));
        out.finish();
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

// Which call fails → what the folder holds afterwards, with an earlier set and without.
TEST(OutputWriting, AFailureLeavesAWholeSetOrNoReportAndNoTemporary)
{
    struct Row {
        Injection fault;
        const char* afterEarlier;
        const char* afterNone;
        const char* cause;
    };
    const Row rows[] = {
        {{"", 0, 0}, "new", "new", ""},
        {{"create", 2, ENOSPC}, "earlier", "empty", "No space left on device"},
        {{"write", 3, EIO}, "earlier", "empty", "Input/output error"},
        {{"full", 20, 0}, "earlier", "empty", "the disk is full"},
        {{"fdatasync", 4, EIO}, "earlier", "empty", "Input/output error"},
        {{"close", 1, EDQUOT}, "earlier", "empty", "Disk quota exceeded"},
        {{"rename", 1, EXDEV}, "earlier", "empty", "Invalid cross-device link"},
        // After the earlier report is put aside: recognisably incomplete.
        {{"fsync", 1, EIO}, "no report", "empty", "Input/output error"},
        {{"rename", 4, EIO}, "no report", "no report", "Input/output error"},
        {{"fsync", 2, EIO}, "no report", "no report", "Input/output error"},
        // All in place; only the last sync is in doubt, and said so.
        {{"fsync", 3, EIO}, "new", "new", "Input/output error"},
    };
    TempFolder tmp;
    int k = 0;
    for (const Row& row : rows)
        for (const bool earlier : {true, false}) {
            SCOPED_TRACE(row.fault.call + " " + std::to_string(row.fault.nth) + (earlier ? " earlier" : " none"));
            const std::string folder = tmp.sub("run" + std::to_string(k++));
            if (earlier) {
                put(folder + "/report.json", oldReport);
                for (const std::string& name : oldSet) put(folder + "/" + name, "old " + name);
            }
            const std::string message = writeNewSet(folder, injected(row.fault));
            EXPECT_EQ(stateOf(folder), earlier ? row.afterEarlier : row.afterNone);
            if (*row.cause) EXPECT_NE(message.find(row.cause), std::string::npos) << message;
            else EXPECT_EQ(message, "");
        }
}

// A run killed once the earlier report was put aside leaves no report; the next
// run still removes the earlier outputs it does not write.
TEST(OutputWriting, TheNextRunKnowsTheEarlierOutputsOfAKilledRun)
{
    TempFolder tmp;
    const std::string folder = tmp.sub("killed");
    put(folder + "/.quelby-earlier-report.json", oldReport);
    for (const std::string& name : oldSet) put(folder + "/" + name, "old " + name);
    EXPECT_EQ(writeNewSet(folder, systemFileCalls()), "");
    EXPECT_EQ(stateOf(folder), "new");
    EXPECT_FALSE(std::filesystem::exists(folder + "/.quelby-earlier-report.json"));
}

// The temporaries a killed run left go with the next run, and only they.
TEST(OutputWriting, TheNextRunRemovesTheTemporariesAKilledRunLeft)
{
    TempFolder tmp;
    const std::string folder = tmp.str();
    for (const char* name : {".quelby-0a1b2c3d", ".quelby-ffffffff", ".quelby-notmine", ".quelby-0a1b2c3d9", "keep.txt"})
        put(folder + "/" + name, "left");
    EXPECT_EQ(writeNewSet(folder, systemFileCalls()), "");
    const auto files = filesIn(folder);
    for (const char* gone : {".quelby-0a1b2c3d", ".quelby-ffffffff"}) EXPECT_FALSE(files.count(gone)) << gone;
    for (const char* kept : {".quelby-notmine", ".quelby-0a1b2c3d9", "keep.txt"}) EXPECT_TRUE(files.count(kept)) << kept;
}

// A folder that takes no new file is refused before anything in it is touched.
TEST(OutputWriting, AFolderThatTakesNoNewFileIsRefusedAndKeptAsItWas)
{
    TempFolder tmp;
    const std::string series = tmp.sub("series"), folder = tmp.sub("out");
    for (int k = 0; k < 3; ++k) {
        std::string bytes(4 * 4 * 2, '\0');
        for (std::size_t p = 0; p < bytes.size(); p += 2) bytes[p] = static_cast<char>(100 + (p * 7 + k * 13) % 11);
        put(series + "/img" + std::to_string(k), bytes);
    }
    put(folder + "/report.json", oldReport);
    for (const std::string& name : oldSet) put(folder + "/" + name, "old " + name);
    std::filesystem::permissions(tmp.path(), std::filesystem::perms::all, std::filesystem::perm_options::add);
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    for (const auto& e : std::filesystem::directory_iterator(folder))
        std::filesystem::permissions(e.path(), std::filesystem::perms::all);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                             std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    const std::string result = asUnprivileged([&] {
        const Outcome o = measure({"--raw", "4x4", "--roi", "rect:0,0,3,3", series, "-o", folder}, folder);
        if (o.status != 2) return "exit " + std::to_string(o.status) + ": " + o.err;
        if (o.err.find(folder + ": the output folder takes no new file") == std::string::npos) return o.err;
        return stateOf(folder) == "earlier" ? std::string() : "the folder holds: " + stateOf(folder);
    });
    EXPECT_EQ(result, "");
}

// Which call fails → the history as it was and the real cause; a row cut short
// by an older version leaves the next row on a line of its own.
TEST(HistoryAppend, AFailedRowLeavesTheEarlierRowsAndSaysWhy)
{
    struct Row {
        Injection fault;
        const char* before;
        const char* after;
        const char* cause;
    };
    const Row rows[] = {
        {{"", 0, 0}, "", "h,x\n1,2\n", ""},
        {{"", 0, 0}, "h,x\n0,1\n", "h,x\n0,1\n1,2\n", ""},
        {{"", 0, 0}, "h,x\n0,", "h,x\n0,\n1,2\n", ""},
        {{"write", 1, ENOSPC}, "h,x\n0,1\n", "h,x\n0,1\n", "No space left on device"},
        {{"full", 2, 0}, "h,x\n0,1\n", "h,x\n0,1\n", "No space left on device"},
        {{"full", 3, 0}, "", "", "No space left on device"},
        {{"fsync", 1, EIO}, "h,x\n0,1\n", "h,x\n0,1\n", "Input/output error"},
    };
    TempFolder tmp;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault.call + " " + std::to_string(row.fault.nth) + " after \"" + row.before + "\"");
        const std::string path = tmp.str() + "/history.csv";
        put(path, row.before);
        std::string message;
        try {
            errno = ENOENT;  // a stale error must not be the one told
            appendHistory(path, "h,x\n", "1,2\n", injected(row.fault));
        } catch (const InputError& e) {
            message = e.what();
        }
        EXPECT_EQ(fileText(path), row.after);
        if (*row.cause) EXPECT_NE(message.find(row.cause), std::string::npos) << message;
        else EXPECT_EQ(message, "");
    }
}
