#include "export/DicomResults.h"

#include "engine/core/InputError.h"
#include "engine/core/Percentile.h"
#include "export/DicomDecimal.h"
#include "export/DicomUid.h"
#include "export/DicomWriterLibrary.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace quelby {

namespace {

// What every object of one run shares.
struct Common {
    std::string studyUid, frameOfReferenceUid, date, time;
};

Common commonOf(const DicomMapsRequest& r)
{
    Common c;
    // A source without a valid study or frame of reference gets new ones rather than an object that fails.
    c.studyUid = validDicomUid(r.identity.studyUid) ? r.identity.studyUid : newDicomUid();
    c.frameOfReferenceUid =
        validDicomUid(r.identity.frameOfReferenceUid) ? r.identity.frameOfReferenceUid : newDicomUid();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[16], time[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    std::strftime(time, sizeof time, "%H%M%S", &local);
    c.date = date;
    c.time = time;
    return c;
}

// The finite values, and the 1st and 99th percentiles of them, for the display window.
struct Range {
    double lowest = 0, highest = 0, low = 0, high = 0;
};

Range rangeOf(std::span<const double> values)
{
    std::vector<double> finite;
    finite.reserve(values.size());
    for (const double v : values)
        if (std::isfinite(v)) finite.push_back(v);
    Range r;
    if (finite.empty()) return r;
    const auto [lo, hi] = std::minmax_element(finite.begin(), finite.end());
    r.lowest = *lo;
    r.highest = *hi;
    r.low = rankPercentile(finite, 1);
    r.high = rankPercentile(finite, 99);
    return r;
}

void setWindow(DicomObjectPlan& p, const Range& r, double leastWidth)
{
    p.windowCenter = decimalString((r.low + r.high) / 2);
    p.windowWidth = decimalString(std::max(r.high - r.low, leastWidth));
}

DicomObjectPlan basePlan(const DicomMapsRequest& r, const DicomMap& m, const Common& c)
{
    const Stack& s = *r.stack;
    DicomObjectPlan p;
    p.identity = r.identity;
    p.studyUid = c.studyUid;
    p.frameOfReferenceUid = c.frameOfReferenceUid;
    p.contentDate = c.date;
    p.contentTime = c.time;
    p.software = r.software;
    p.seriesDescription = m.description;
    const DicomMapCodes codes = dicomMapCodes(m.name);
    p.unit = codes.unit;
    p.derivation = codes.derivation;
    p.contentLabel = codes.label;
    p.rows = s.keys.rows;
    p.columns = s.keys.columns;
    p.pixelSpacing = *s.geometry.pixelSpacing;
    p.orientation = *s.geometry.orientation;
    p.sliceThickness = s.geometry.sliceThickness;
    p.sliceSpacing = s.geometry.sliceSpacing;
    return p;
}

DicomObjectPlan parametricPlan(DicomObjectPlan p, const DicomMapsRequest& r, const DicomMap& m, const Range& range)
{
    p.kind = DicomObjectPlan::Kind::Parametric;
    p.seriesUid = newDicomUid();
    p.instanceUid = newDicomUid();
    for (const StackSlice& slice : r.stack->slices) p.positions.push_back(*slice.origin);
    p.sources = r.sources;
    // The same float rounding as the NIfTI map's.
    p.values.reserve(m.values.size());
    for (const double v : m.values) p.values.push_back(static_cast<float>(v));
    p.lowest = range.lowest;
    p.highest = range.highest;
    setWindow(p, range, 0);
    return p;
}

// A slope and an intercept whose texts read back as themselves, so that the
// stored values give the map within half a step; the finite range in 0 … 65000
// of the 65535 steps, the rest a margin for the texts' rounding.
struct Scale {
    double slope = 1, intercept = 0;
};

Scale scaleOf(const Range& range)
{
    Scale s;
    s.intercept = std::stod(decimalString(range.lowest));
    if (s.intercept > range.lowest) s.intercept = std::stod(decimalString(std::nextafter(s.intercept, -INFINITY)));
    const double span = range.highest - s.intercept;
    if (span > 0) s.slope = std::stod(decimalString(span / 65000));
    if (!(s.slope > 0)) s.slope = 1;
    return s;
}

std::vector<std::uint16_t> storedValues(std::span<const double> values, const Scale& s)
{
    std::vector<std::uint16_t> stored;
    stored.reserve(values.size());
    for (const double v : values) {
        // Not a number, and the infinities, at the bottom of the range.
        const double step = std::isfinite(v) ? std::round((v - s.intercept) / s.slope) : 0.0;
        stored.push_back(static_cast<std::uint16_t>(std::clamp(step, 0.0, 65535.0)));
    }
    return stored;
}

std::vector<DicomObjectPlan> mrPlans(const DicomObjectPlan& base, const DicomMapsRequest& r, const DicomMap& m,
                                     const Range& range)
{
    const Scale scale = scaleOf(range);
    const std::string series = newDicomUid();
    const std::size_t pixels = static_cast<std::size_t>(base.rows) * static_cast<std::size_t>(base.columns);
    std::vector<DicomObjectPlan> plans;
    for (std::size_t k = 0; k < r.stack->slices.size(); ++k) {
        DicomObjectPlan p = base;
        p.kind = DicomObjectPlan::Kind::Mr;
        p.seriesUid = series;
        p.instanceUid = newDicomUid();
        p.instanceNumber = static_cast<int>(k + 1);
        p.positions = {*r.stack->slices[k].origin};
        if (k < r.sources.size()) p.sources = {r.sources[k]};
        p.slope = decimalString(scale.slope);
        p.intercept = decimalString(scale.intercept);
        // A window narrower than one rescaled unit is no window to a viewer: at least one step.
        setWindow(p, range, scale.slope);
        p.stored = storedValues(m.values.subspan(k * pixels, pixels), scale);
        plans.push_back(std::move(p));
    }
    return plans;
}

std::string number(std::size_t k)
{
    std::string text = std::to_string(k);
    return std::string(text.size() < 3 ? 3 - text.size() : 0, '0') + text;
}

void addFiles(std::vector<DicomResultFile>& files, const DicomMap& m, const char* kind,
              std::vector<DicomObjectPlan> plans, int seriesNumber)
{
    const bool single = plans.size() == 1 && plans.front().kind == DicomObjectPlan::Kind::Parametric;
    for (std::size_t k = 0; k < plans.size(); ++k) {
        plans[k].seriesNumber = seriesNumber;
        const std::string name = "dicom/" + m.name + (single ? "_pm.dcm" : "_mr_" + number(k + 1) + ".dcm");
        auto plan = std::make_shared<const DicomObjectPlan>(std::move(plans[k]));
        files.push_back({m.name, kind, plan->seriesUid, name, [plan] { return dicomWriter()(*plan); }});
    }
}

}  // namespace

DicomMapCodes dicomMapCodes(std::string_view mapName)
{
    const std::string_view stem = mapName.substr(0, mapName.find('_'));
    const DicomCode none{"1", "UCUM", "no units"}, arbitrary{"{a.u.}", "UCUM", "arbitrary unit"};
    if (stem == "signal") return {arbitrary, {"113049", "DCM", "Pixel by pixel mean"}, "SIGNAL"};
    if (stem == "noise") return {arbitrary, {"113061", "DCM", "Standard Deviation"}, "NOISE"};
    if (stem == "static") return {arbitrary, {"113061", "DCM", "Standard Deviation"}, "STATIC_NOISE"};
    if (stem == "fluctuation") return {none, {"113061", "DCM", "Standard Deviation"}, "FLUCTUATION"};
    if (stem == "g") return {none, {"113046", "DCM", "Pixel by pixel division"}, "G_FACTOR"};
    if (stem == "sfnr") return {none, {"113060", "DCM", "Signal to Noise"}, "SFNR"};
    return {none, {"113060", "DCM", "Signal to Noise"}, "SNR"};
}

void checkDicomResultsPossible(const SeriesSource& source, const Stack& stack, const std::string& label)
{
    const char* refusal = nullptr;
    if (source.format != SeriesSource::Format::Dicom)
        refusal = "is not DICOM: its results would belong to no patient, study or frame of reference";
    else if (!stack.geometry.orientation || !stack.geometry.pixelSpacing ||
             std::any_of(stack.slices.begin(), stack.slices.end(), [](const StackSlice& s) { return !s.origin; }))
        refusal = "gives no full geometry (pixel spacing, orientation and each slice's position)";
    else if (!stack.geometry.sliceThickness)
        refusal = "gives no Slice Thickness (0018,0050), which a parametric map must state";
    if (refusal) throw InputError("--dicom: " + label + " (" + source.path + ") " + refusal);
}

std::vector<DicomResultFile> dicomResults(const DicomMapsRequest& request)
{
    const Stack& s = *request.stack;
    const std::size_t pixels = static_cast<std::size_t>(s.keys.rows) * static_cast<std::size_t>(s.keys.columns);
    const Common common = commonOf(request);
    std::vector<DicomResultFile> files;
    for (std::size_t k = 0; k < request.maps.size(); ++k) {
        const DicomMap& m = request.maps[k];
        if (pixels == 0 || m.values.size() != pixels * s.slices.size())
            throw std::invalid_argument("the map " + m.name + " does not fill its stack");
        const Range range = rangeOf(m.values);
        const DicomObjectPlan base = basePlan(request, m, common);
        const int series = request.firstSeriesNumber + 2 * static_cast<int>(k);
        addFiles(files, m, "parametric", {parametricPlan(base, request, m, range)}, series);
        addFiles(files, m, "mr", mrPlans(base, request, m, range), series + 1);
    }
    return files;
}

nlohmann::json dicomResultsJson(const std::vector<DicomResultFile>& files)
{
    nlohmann::json entries = nlohmann::json::array();
    for (const DicomResultFile& f : files) {
        if (entries.empty() || entries.back()["series_uid"] != f.seriesUid)
            entries.push_back({{"map", f.map}, {"kind", f.kind}, {"series_uid", f.seriesUid},
                               {"files", nlohmann::json::array()}});
        entries.back()["files"].push_back(f.name);
    }
    return entries;
}

}  // namespace quelby
