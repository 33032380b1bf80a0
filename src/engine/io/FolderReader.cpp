#include "engine/io/FolderReader.h"

#include "engine/core/Failure.h"
#include "engine/io/DicomFrames.h"
#include "engine/io/InputFile.h"
#include "engine/io/RawImage.h"

#include <cstdio>

namespace quelby {

namespace {

// The window's raw rule: 256 × 256 signed samples, little endian.
const RawLayout WindowRaw{ImageSide, ImageSide, SampleKind::Int16, false};

constexpr const char* StrayFileText = "DICOM 画像ではありません (DICOM の系列に混ざっています)";

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string dicomProblemText(const DicomError& error)
{
    switch (error.problem()) {
    case DicomProblem::NoImage: return "画像を含まない DICOM ファイルです";
    case DicomProblem::Undecodable:
        return "転送構文 " + (error.transferSyntax().empty() ? std::string("(不明)") : error.transferSyntax()) +
               " の画素データは復号できません";
    case DicomProblem::Corrupt: break;
    }
    return "DICOM ファイルが壊れているか途中で切れています";
}

// Why the window cannot measure this image, or empty when it can.
std::string unmeasurableReason(const DicomPixelFormat& f)
{
    char text[160];
    if (!f.isMonochrome || f.samplesPerPixel != 1 || f.bitsAllocated != 16) {
        std::snprintf(text, sizeof text, "%d サンプル %d ビットの%s画像は測定できません (16 ビットのグレースケールのみ)",
                      f.samplesPerPixel, f.bitsAllocated, f.isMonochrome ? "" : "カラー");
        return text;
    }
    if (f.frames != 1) {
        std::snprintf(text, sizeof text, "%d フレームの画像は測定できません (1 フレームのみ)", f.frames);
        return text;
    }
    if (f.rows != ImageSide || f.columns != ImageSide) {
        std::snprintf(text, sizeof text, "%d × %d の画像は測定できません (256 × 256 のみ)", f.columns, f.rows);
        return text;
    }
    return {};
}

[[noreturn]] void throwUnmeasurable(const std::string& path, const std::string& reason)
{
    throw Failure(nameOf(path) + ": " + reason);
}

SampleKind readDicomImage(const InputFile& file, ImageBytesBuffer& bytes)
{
    // Kept between files, so that a run allocates the file's room once.
    static DicomFrames frames;
    try {
        const std::string reason = unmeasurableReason(frames.open(file));
        if (!reason.empty()) throwUnmeasurable(file.path(), reason);
        return frames.frame(0, bytes);
    } catch (const DicomError& error) {
        throwUnmeasurable(file.path(), dicomProblemText(error));
    }
}

}  // namespace

SeriesFormat ProbeSeriesFormat(const std::string& folder, const std::vector<std::string>& names)
{
    const std::string* firstOther = nullptr;
    bool anyDicom = false;
    for (const std::string& name : names) {
        bool dicom = false;
        try {
            dicom = InputFile(ImageFilePath(folder, name)).startsAsDicom();
        } catch (const Failure&) {
            continue;
        }
        anyDicom |= dicom;
        if (!dicom && firstOther == nullptr) firstOther = &name;
    }
    if (!anyDicom) return SeriesFormat::Raw;
    if (firstOther != nullptr) throw Failure(*firstOther + ": " + StrayFileText);
    return SeriesFormat::Dicom;
}

SampleKind ReadImageFile(const std::string& path, ImageBytesBuffer& bytes, SeriesFormat format)
{
    InputFile file(path);
    if (format == SeriesFormat::Dicom) {
        // The folder may have changed since it was probed.
        if (!file.startsAsDicom()) throwUnmeasurable(path, StrayFileText);
        const SampleKind kind = readDicomImage(file, bytes);
        file.close();
        return kind;
    }
    readRawImage(file, WindowRaw, bytes);
    file.close();
    return SampleKind::Int16;
}

}  // namespace quelby
