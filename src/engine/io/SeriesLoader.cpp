#include "engine/io/SeriesLoader.h"

#include "engine/io/DicomImage.h"
#include "engine/io/DicomStructure.h"
#include "engine/core/Failure.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

namespace {

// Room for a series' samples, in huge pages where the system gives them: tens
// of megabytes touched once, which in small pages cost a fault every 4 KiB.
void reserveSamples(std::vector<unsigned char>& samples, std::size_t bytes)
{
    samples.reserve(bytes);
    const auto start = reinterpret_cast<std::uintptr_t>(samples.data());
    constexpr std::uintptr_t HugePage = 2 << 20;
    const std::uintptr_t first = (start + HugePage - 1) / HugePage * HugePage;
    const std::uintptr_t end = (start + bytes) / HugePage * HugePage;
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

// One file opened read-only, closed on every way out.
class File {
public:
    File(const std::string& path, const std::string& name) : name_(name), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        if (fd_ < 0) fail();
    }
    ~File() { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::size_t size() const
    {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) fail();
        return static_cast<std::size_t>(st.st_size);
    }

    void read(std::size_t offset, unsigned char* into, std::size_t count) const
    {
        for (std::size_t done = 0; done < count;) {
            const ssize_t n = ::pread(fd_, into + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail();
            if (n == 0) throw InputError(name_ + ": ended while it was read");
            done += static_cast<std::size_t>(n);
        }
    }

private:
    [[noreturn]] void fail() const { throw InputError(name_ + ": cannot be read (" + std::strerror(errno) + ")"); }

    std::string name_;
    int fd_;
};

std::string dimensions(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

std::optional<std::pair<double, double>> spacingOf(const std::string& text)
{
    const auto slash = text.find('\\');
    if (slash == std::string::npos) return std::nullopt;
    try {
        return std::pair{std::stod(text.substr(0, slash)), std::stod(text.substr(slash + 1))};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// One DICOM file of the folder that holds an image.
struct DicomFile {
    std::string name;
    std::vector<unsigned char> bytes;
    DicomStructure structure;
};

struct Frame {
    const DicomFile* file;
    int index;  // within its file
};

std::string seriesList(const std::map<std::string, std::vector<const DicomFile*>>& groups)
{
    std::ostringstream text;
    for (const auto& [uid, files] : groups)
        text << "\n  " << (uid.empty() ? "(no UID)" : uid) << "  \"" << files.front()->structure.seriesDescription
             << "\"  " << files.size() << " files";
    return text.str();
}

class DicomSeriesReader {
public:
    DicomSeriesReader(Series& series, const SeriesOptions& options) : s_(series), options_(options) {}

    void read(std::vector<DicomFile>& files)
    {
        std::map<std::string, std::vector<const DicomFile*>> groups;
        for (const DicomFile& f : files) groups[f.structure.seriesUid].push_back(&f);
        const std::vector<const DicomFile*>& chosen = choose(groups);
        for (const auto& [uid, members] : groups)
            if (&members != &chosen)
                for (const DicomFile* f : members) s_.skipped.push_back({f->name, "another series: " + uid});

        std::vector<const DicomFile*> ordered = chosen;
        std::stable_sort(ordered.begin(), ordered.end(), [](const DicomFile* a, const DicomFile* b) {
            const int ia = a->structure.instanceNumber.value_or(INT32_MAX);
            const int ib = b->structure.instanceNumber.value_or(INT32_MAX);
            return ia != ib ? ia < ib : a->name < b->name;
        });
        describe(*ordered.front());
        std::size_t bytes = 0;
        for (const DicomFile* f : ordered) {
            const DicomStructure& d = f->structure;
            bytes += 2 * static_cast<std::size_t>(d.rows.value_or(0)) * static_cast<std::size_t>(d.columns.value_or(0)) *
                     static_cast<std::size_t>(std::max(1, d.frames.value_or(1)));
        }
        reserveSamples(s_.samples, bytes);
        for (const DicomFile* f : ordered) append(*f);
        agreeOnReduction(ordered);
    }

private:
    const std::vector<const DicomFile*>& choose(const std::map<std::string, std::vector<const DicomFile*>>& groups)
    {
        if (!options_.seriesUid.empty()) {
            const auto found = groups.find(options_.seriesUid);
            if (found == groups.end())
                throw InputError(s_.folder + ": no series " + options_.seriesUid + "; it holds:" + seriesList(groups));
            return found->second;
        }
        if (groups.size() > 1)
            throw InputError(s_.folder + ": holds " + std::to_string(groups.size()) +
                             " series; choose one with --series:" + seriesList(groups));
        return groups.begin()->second;
    }

    void describe(const DicomFile& first)
    {
        const DicomStructure& d = first.structure;
        s_.seriesUid = d.seriesUid;
        s_.description = d.seriesDescription;
        s_.protocol = d.protocolName;
        s_.imagePosition = d.imagePosition;
        s_.pixelSpacing = spacingOf(d.pixelSpacing);
        if (options_.rescale) s_.rescale = std::pair{d.rescaleSlope.value_or(1.0), d.rescaleIntercept.value_or(0.0)};
    }

    // The file's frames in acquisition order, appended to the series.
    void append(const DicomFile& f)
    {
        DicomImage image = openImage(f);
        const DicomPixelFormat& format = image.format();
        if (!format.isMonochrome || format.samplesPerPixel != 1 || (format.bitsAllocated != 8 && format.bitsAllocated != 16))
            throw InputError(f.name + ": " + std::to_string(format.samplesPerPixel) + " samples of " +
                             std::to_string(format.bitsAllocated) + " bits per pixel; only 8- or 16-bit grey images are measured");
        if (s_.kinds.empty()) {
            s_.width = format.columns;
            s_.height = format.rows;
        } else if (format.columns != s_.width || format.rows != s_.height) {
            throw InputError(f.name + ": a " + dimensions(format.columns, format.rows) + " image in a series of " +
                             dimensions(s_.width, s_.height) + " images");
        }
        if (options_.rescale) {
            const std::pair rescale{f.structure.rescaleSlope.value_or(1.0), f.structure.rescaleIntercept.value_or(0.0)};
            if (rescale != *s_.rescale)
                throw InputError(f.name + ": its rescale slope and intercept differ from the other files' (--rescale)");
        }
        const std::size_t frameBytes = s_.pixels() * static_cast<std::size_t>(format.bitsAllocated / 8);
        const std::vector<int> order = frameOrder(f, format.frames);
        const bool inPlace = format.bitsAllocated == 16 && std::is_sorted(order.begin(), order.end());
        // 16-bit frames in order decode straight into the series.
        std::vector<unsigned char> decoded(inPlace ? 0 : image.pixelBytes());
        const std::size_t at = s_.samples.size();
        if (inPlace) s_.samples.resize(at + image.pixelBytes());
        try {
            image.decodePixels(inPlace ? std::span(s_.samples).subspan(at) : std::span(decoded));
        } catch (const DicomError& e) {
            throw InputError(f.name + ": " + problemText(e));
        }
        const SampleKind kind = format.isSigned ? SampleKind::Int16 : SampleKind::Uint16;
        if (inPlace) {
            s_.kinds.insert(s_.kinds.end(), static_cast<std::size_t>(format.frames), kind);
            return;
        }
        for (const int k : order) {
            const unsigned char* frame = decoded.data() + frameBytes * static_cast<std::size_t>(k);
            const std::size_t to = s_.samples.size();
            s_.samples.resize(to + 2 * s_.pixels());
            if (format.bitsAllocated == 16) {
                std::memcpy(s_.samples.data() + to, frame, 2 * s_.pixels());
            } else {
                // 8-bit samples widen to 16 bits, sign and all.
                for (std::size_t p = 0; p < s_.pixels(); ++p) {
                    const auto value = format.isSigned ? static_cast<std::uint16_t>(static_cast<std::int8_t>(frame[p]))
                                                       : static_cast<std::uint16_t>(frame[p]);
                    s_.samples[to + 2 * p] = static_cast<unsigned char>(value & 0xFF);
                    s_.samples[to + 2 * p + 1] = static_cast<unsigned char>(value >> 8);
                }
            }
            s_.kinds.push_back(kind);
        }
    }

    static DicomImage openImage(const DicomFile& f)
    {
        try {
            return DicomImage(f.bytes);
        } catch (const DicomError& e) {
            throw InputError(f.name + ": " + problemText(e));
        }
    }

    // An enhanced object's frames by temporal position, then stack position.
    static std::vector<int> frameOrder(const DicomFile& f, int frames)
    {
        std::vector<int> order(static_cast<std::size_t>(frames));
        for (int k = 0; k < frames; ++k) order[static_cast<std::size_t>(k)] = k;
        const auto& given = f.structure.frameOrder;
        if (given.size() != order.size()) return order;
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            const auto key = [&](int k) {
                const auto& o = given[static_cast<std::size_t>(k)];
                return std::pair{o.temporal.value_or(0), o.stack.value_or(0)};
            };
            return key(a) < key(b);
        });
        return order;
    }

    void agreeOnReduction(const std::vector<const DicomFile*>& files)
    {
        std::optional<double> agreed;
        for (const DicomFile* f : files) {
            const auto& d = f->structure;
            if (!d.reductionInPlane) return;
            const double r = *d.reductionInPlane * d.reductionOutOfPlane.value_or(1.0);
            if (agreed && *agreed != r) {
                s_.warnings.push_back("the files give different parallel reduction factors");
                return;
            }
            agreed = r;
        }
        s_.reduction = agreed;
    }

    static std::string problemText(const DicomError& e)
    {
        switch (e.problem()) {
        case DicomProblem::NoImage: return "a DICOM object without an image";
        case DicomProblem::Undecodable: return "pixel data in transfer syntax " + e.transferSyntax() + ", which cannot be decoded";
        case DicomProblem::Corrupt: break;
        }
        return "a truncated or corrupt DICOM file";
    }

    Series& s_;
    const SeriesOptions& options_;
};

void readRaw(Series& s, const std::vector<std::string>& names, const RawLayout& layout)
{
    s.width = layout.width;
    s.height = layout.height;
    const std::size_t bytes = 2 * s.pixels();
    reserveSamples(s.samples, bytes * names.size());
    s.samples.resize(bytes * names.size());
    for (const std::string& name : names) {
        const File file(ImageFilePath(s.folder, name), name);
        const std::size_t size = file.size();
        if (size < bytes)
            throw InputError(name + ": " + std::to_string(size) + " bytes, less than one " +
                             dimensions(s.width, s.height) + " image of 16-bit samples (--raw)");
        // The last whole 2-byte records, counted from the first byte, as the window reads them.
        const std::size_t at = bytes * s.kinds.size();
        file.read(2 * (size / 2) - bytes, s.samples.data() + at, bytes);
        if (layout.bigEndian)
            for (std::size_t i = at; i < at + bytes; i += 2) std::swap(s.samples[i], s.samples[i + 1]);
        s.kinds.push_back(layout.kind);
    }
}

}  // namespace

Series loadSeries(const std::string& folder, const SeriesOptions& options)
{
    if (!std::filesystem::is_directory(folder)) throw InputError(folder + ": no such folder");
    Series s;
    s.folder = folder;
    std::vector<std::string> names;
    try {
        names = ListImageFiles(folder);
    } catch (const Failure&) {
        throw InputError(folder + ": cannot be listed (" + std::strerror(errno) + ")");
    }

    std::vector<DicomFile> images;
    std::vector<SkippedFile> others;
    for (const std::string& name : names) {
        const File file(ImageFilePath(folder, name), name);
        const std::size_t size = file.size();
        std::array<unsigned char, DicomPrefixBytes> prefix{};
        if (size >= prefix.size()) file.read(0, prefix.data(), prefix.size());
        if (!hasDicomPrefix(std::span<const unsigned char>(prefix.data(), std::min(size, prefix.size())))) {
            others.push_back({name, "not a DICOM file"});
            continue;
        }
        std::vector<unsigned char> bytes(size);
        file.read(0, bytes.data(), size);
        std::optional<DicomStructure> structure = walkDicomStructure(bytes);
        if (!structure) throw InputError(name + ": a truncated or corrupt DICOM file");
        const bool image = structure->pixelData.has_value() || !structure->native;
        if (!image || !structure->rows) {
            s.skipped.push_back({name, "a DICOM object without an image"});
            continue;
        }
        images.push_back({name, std::move(bytes), std::move(*structure)});
    }
    if (images.empty() && s.skipped.empty()) {
        readRaw(s, names, options.raw);
    } else {
        s.dicom = true;
        s.skipped.insert(s.skipped.end(), others.begin(), others.end());
        if (images.empty()) throw InputError(folder + ": no DICOM image");
        DicomSeriesReader(s, options).read(images);
    }
    if (s.repetitions() < 2)
        throw InputError(folder + ": " + std::to_string(s.repetitions()) +
                         " repetition(s); at least 2 are needed for the noise");
    return s;
}

}  // namespace quelby
