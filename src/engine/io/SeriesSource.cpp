#include "engine/io/SeriesSource.h"

#include "engine/io/DicomFrames.h"
#include "engine/io/DicomStacks.h"
#include "engine/io/FileFailure.h"
#include "engine/io/ImageFolder.h"
#include "engine/io/NiftiSource.h"
#include "engine/io/RawImage.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/stat.h>

namespace quelby {

namespace {

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string dimensions(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

std::string problemText(const DicomError& e)
{
    switch (e.problem()) {
    case DicomProblem::NoImage: return "a DICOM object without an image";
    case DicomProblem::Undecodable: return "pixel data in transfer syntax " + e.transferSyntax() + ", which cannot be decoded";
    case DicomProblem::Corrupt: break;
    }
    return e.detail().empty() ? "a truncated or corrupt DICOM file" : e.detail();
}

std::vector<std::string> listedFiles(const std::string& folder)
{
    try {
        std::vector<std::string> paths = ListImageFiles(folder);
        for (std::string& name : paths) name = ImageFilePath(folder, name);
        return paths;
    } catch (const FileFailure& failure) {
        throw InputError(folder + ": cannot be listed (" + std::strerror(failure.error()) + ")");
    }
}

bool anyDicom(const std::vector<std::string>& files)
{
    for (const std::string& path : files) try {
            if (InputFile(path).startsAsDicom()) return true;
        } catch (const FileFailure& failure) {
            throw failure.inEnglish();
        }
    return false;
}

// One stack, one slice, every file a repetition in listing order.
void findRawStack(SeriesSource& source)
{
    const std::int64_t bytes = rawImageBytes(source.raw);
    Stack stack;
    stack.keys.rows = source.raw.height;
    stack.keys.columns = source.raw.width;
    StackSlice& slice = stack.slices.emplace_back();
    for (std::size_t k = 0; k < source.files.size(); ++k) {
        std::int64_t size = 0;
        try {
            size = InputFile(source.files[k]).size();
        } catch (const FileFailure& failure) {
            throw failure.inEnglish();
        }
        if (size < bytes)
            throw InputError(nameOf(source.files[k]) + ": " + std::to_string(size) + " bytes, less than one " +
                             dimensions(source.raw.width, source.raw.height) + " image of 16-bit samples (--raw)");
        slice.repetitions.push_back({static_cast<std::uint32_t>(k), 0});
    }
    source.stacks.push_back(std::move(stack));
}

}  // namespace

SeriesSource openSeriesSource(const std::string& path, const RawLayout& raw)
{
    if (raw.width <= 0 || raw.height <= 0) throw InputError("--raw: the matrix must be at least 1 x 1");
    SeriesSource source;
    source.path = path;
    source.raw = raw;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw InputError(path + ": no such folder");
    if (!S_ISDIR(st.st_mode)) {
        if (!isNiftiPath(path)) throw InputError(path + ": is a file, not a folder");
        openNiftiSource(source);
        return source;
    }
    source.files = listedFiles(path);
    if (anyDicom(source.files)) {
        source.format = SeriesSource::Format::Dicom;
        findDicomStacks(source);
    } else {
        findRawStack(source);
    }
    return source;
}

namespace {

// A plain frame read where the walk found it, without walking the file again;
// nothing when the file is no longer the one walked.
std::optional<SampleKind> readPlainFrame(const std::string& path, const PlainFrames& plain, std::uint32_t frame,
                                         std::span<unsigned char> into)
{
    if (frame >= plain.count || into.size() != plain.frameBytes) return std::nullopt;
    InputFile file(path);
    if (static_cast<std::size_t>(file.size()) != plain.fileBytes) return std::nullopt;
    file.readAt(static_cast<std::int64_t>(plain.offset + frame * plain.frameBytes), into);
    file.close();
    return plain.kind;
}

}  // namespace

struct ImageReader::State {
    std::mutex mutex;  // for what is kept: the file walked last, the NIfTI reader
    DicomFrames frames;
    std::unique_ptr<NiftiImages> nifti;
};

ImageReader::ImageReader(const SeriesSource& source) : source_(source), state_(std::make_unique<State>())
{
    if (source.format == SeriesSource::Format::Nifti) state_->nifti = std::make_unique<NiftiImages>(source);
}

ImageReader::~ImageReader() = default;

SampleKind ImageReader::read(const ImageRef& image, std::span<unsigned char> into)
{
    if (state_->nifti) {
        const std::lock_guard lock(state_->mutex);
        return state_->nifti->read(image, into);
    }
    if (image.file >= source_.files.size()) throw InputError(source_.path + ": no file " + std::to_string(image.file));
    const std::string& path = source_.files[image.file];
    try {
        if (source_.format == SeriesSource::Format::Raw) {
            InputFile file(path);
            readRawImage(file, source_.raw, into);
            file.close();
            return source_.raw.kind;
        }
        if (image.file < source_.instances.size() && source_.instances[image.file].plain)
            if (const auto kind = readPlainFrame(path, *source_.instances[image.file].plain, image.frame, into))
                return *kind;
        const std::lock_guard lock(state_->mutex);
        if (!state_->frames.holds(path)) {
            InputFile file(path);
            state_->frames.open(file);
            file.close();
        }
        const DicomPixelFormat& f = state_->frames.format();
        if (!f.isMonochrome || f.samplesPerPixel != 1 || (f.bitsAllocated != 8 && f.bitsAllocated != 16))
            throw InputError(nameOf(path) + ": " + std::to_string(f.samplesPerPixel) + " samples of " +
                             std::to_string(f.bitsAllocated) +
                             " bits per pixel; only 8- or 16-bit grey images are measured");
        return state_->frames.frame(static_cast<int>(image.frame), into);
    } catch (const FileFailure& failure) {
        throw failure.inEnglish();
    } catch (const DicomError& error) {
        throw InputError(nameOf(path) + ": " + problemText(error));
    } catch (const std::bad_alloc&) {
        throw InputError(nameOf(path) + ": too large to be read into memory");
    }
}

}  // namespace quelby
