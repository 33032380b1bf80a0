#include "engine/io/OneAcquisition.h"

#include "engine/core/Failure.h"
#include "engine/io/DicomHeader.h"
#include "engine/io/DicomImageFacts.h"
#include "engine/io/FolderReader.h"
#include "engine/io/InputFile.h"
#include "engine/io/PatientAxes.h"
#include "engine/io/StackGrouping.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

namespace quelby {

namespace {

// Files named in a refusal at most, one of each kind found.
constexpr std::size_t NamedAtMost = 4;

struct FileFacts {
    std::string name;
    DicomImageFacts image;
};

// A tag's text as a refusal may show it: printable ASCII, at most 24 characters.
std::string shown(const std::string& text)
{
    std::string out;
    for (const char c : text)
        if (c >= ' ' && c <= '~' && out.size() < 24) out += c;
    return out;
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::vector<FileFacts> headersOf(const std::string& folder, const std::vector<std::string>& names)
{
    std::vector<FileFacts> facts;
    std::vector<unsigned char> bytes;
    for (const std::string& name : names) {
        std::optional<DicomStructure> header;
        try {
            header = readDicomHeader(InputFile(ImageFilePath(folder, name)), bytes);
        } catch (const Failure&) {
            continue;
        }
        // A file of several frames is refused by its frame count when it is read, so its first frame speaks for it.
        if (header) {
            std::vector<DicomImageFacts> images = dicomImageFacts(*header, 0);
            if (!images.empty()) facts.push_back({name, std::move(images.front())});
        }
    }
    return facts;
}

// The first file of each kind, by `same`, among the files that have a kind;
// refused when there is more than one kind.
template <class Kind>
void refuseSeveral(const std::vector<FileFacts>& files, const std::function<std::optional<Kind>(const DicomImageFacts&)>& kindOf,
                   const std::function<bool(const Kind&, const Kind&)>& same,
                   const std::function<std::string(const Kind&)>& describe, const char* what, const char* only)
{
    std::vector<std::pair<Kind, const std::string*>> kinds;
    for (const FileFacts& f : files) {
        const std::optional<Kind> kind = kindOf(f.image);
        if (!kind) continue;
        const auto known = [&](const auto& k) { return same(k.first, *kind); };
        if (std::none_of(kinds.begin(), kinds.end(), known)) kinds.emplace_back(*kind, &f.name);
    }
    if (kinds.size() < 2) return;
    std::string message = std::to_string(kinds.size()) + what + "を含む系列は測定できません (" + only + "): ";
    for (std::size_t k = 0; k < kinds.size() && k < NamedAtMost; ++k)
        message += (k > 0 ? ", " : "") + *kinds[k].second + " " + describe(kinds[k].first);
    if (kinds.size() > NamedAtMost) message += " ほか";
    throw Failure(message);
}

void refuseSeveralPositions(const std::vector<FileFacts>& files)
{
    std::optional<Vector3> normal;
    for (const FileFacts& f : files)
        if (!normal && f.image.orientation) normal = sliceNormal(*f.image.orientation);
    // Without an orientation, positions are told apart in space.
    const auto along = [&](const Vector3& p) { return normal ? dot(p, *normal) : 0.0; };
    refuseSeveral<Vector3>(
        files, [](const DicomImageFacts& f) { return f.position; },
        [&](const Vector3& a, const Vector3& b) {
            return normal ? std::fabs(along(a) - along(b)) < SamePositionMm : length(minus(a, b)) < SamePositionMm;
        },
        [&](const Vector3& p) {
            return normal ? number(along(p)) + " mm" : "(" + number(p[0]) + ", " + number(p[1]) + ", " + number(p[2]) + ")";
        },
        " か所のスライス位置の画像", "1 スライスのみ");
}

}  // namespace

void RefuseMixedAcquisitions(const std::string& folder, const std::vector<std::string>& names)
{
    if (ProbeSeriesFormat(folder, names) != SeriesFormat::Dicom) return;
    const std::vector<FileFacts> files = headersOf(folder, names);
    refuseSeveralPositions(files);
    using Echo = std::pair<std::optional<int>, std::optional<double>>;
    refuseSeveral<Echo>(
        files,
        [](const DicomImageFacts& f) -> std::optional<Echo> {
            if (!f.keys.echoNumber && !f.keys.echoTimeMs) return std::nullopt;
            return Echo{f.keys.echoNumber, f.keys.echoTimeMs};
        },
        // What one file leaves out does not tell it apart.
        [](const Echo& a, const Echo& b) {
            return (!a.first || !b.first || *a.first == *b.first) &&
                   (!a.second || !b.second || std::fabs(*a.second - *b.second) < 1e-6);
        },
        [](const Echo& e) {
            return (e.first ? "エコー " + std::to_string(*e.first) : std::string("エコー")) +
                   (e.second ? " (TE " + number(*e.second) + " ms)" : "");
        },
        " 種類のエコーの画像", "1 エコーのみ");
    const auto text = [](std::string StackKeys::*field) {
        return [field](const DicomImageFacts& f) -> std::optional<std::string> {
            if ((f.keys.*field).empty()) return std::nullopt;
            return f.keys.*field;
        };
    };
    const auto equal = [](const std::string& a, const std::string& b) { return a == b; };
    refuseSeveral<std::string>(files, text(&StackKeys::coil), equal, shown, " 個のコイルエレメントの画像",
                               "1 エレメントのみ");
    refuseSeveral<std::string>(files, text(&StackKeys::imageType), equal, shown, " 種類の画像タイプの画像",
                               "1 種類のみ");
}

}  // namespace quelby
