#include "qa/PairMeasurement.h"

#include "engine/core/InputError.h"
#include "export/DicomResults.h"
#include "export/NiftiMap.h"
#include "qa/MeasureProgram.h"
#include "qa/FigureText.h"
#include "qa/History.h"
#include "qa/HtmlReport.h"
#include "qa/Limits.h"
#include "qa/OutputFolder.h"
#include "qa/Progress.h"
#include "qa/Report.h"
#include "qa/StabilityPicture.h"
#include "qa/RunPictures.h"
#include "qa/StackFigures.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <unistd.h>

#ifndef QUELBY_VERSION
#define QUELBY_VERSION "unknown"
#endif

namespace quelby {

namespace {

std::string spacingText(const Stack& s)
{
    const auto& spacing = s.geometry.pixelSpacing;
    return spacing ? numberText(spacing->first) + " x " + numberText(spacing->second) + " mm" : "none";
}

std::string pointText(const std::optional<std::array<double, 3>>& p)
{
    if (!p) return "none";
    return "(" + numberText((*p)[0]) + ", " + numberText((*p)[1]) + ", " + numberText((*p)[2]) + ")";
}

// g pairs the slices of the two series by position: refused when they cannot be paired.
void pairSlices(const Stack& a, const Stack& b, std::vector<std::string>& warnings)
{
    if (a.slices.size() != b.slices.size())
        throw InputError("SERIES_A has " + std::to_string(a.slices.size()) + " slices and SERIES_B " +
                         std::to_string(b.slices.size()) + "; the g-factor pairs them one to one");
    if (a.slices.size() == 1) {
        if (a.slices[0].origin != b.slices[0].origin)
            warnings.push_back("slice position differs: " + pointText(a.slices[0].origin) + " in SERIES_A, " +
                               pointText(b.slices[0].origin) + " in SERIES_B");
        return;
    }
    const double tolerance = a.geometry.sliceSpacing.value_or(0) / 2;
    for (std::size_t s = 0; s < a.slices.size(); ++s) {
        const double pa = a.slices[s].positionMm, pb = b.slices[s].positionMm;
        if (std::fabs(pa - pb) > tolerance)
            throw InputError("slice " + std::to_string(s) + " lies at " + numberText(pa) + " mm in SERIES_A and at " +
                             numberText(pb) + " mm in SERIES_B, more than half the slice spacing apart");
    }
}

// What to say about two series that may not belong together.
void compare(const Stack& a, const Stack& b, std::vector<std::string>& warnings)
{
    if (a.keys.columns != b.keys.columns || a.keys.rows != b.keys.rows)
        throw InputError("SERIES_A is " + std::to_string(a.keys.columns) + " x " + std::to_string(a.keys.rows) +
                         " and SERIES_B " + std::to_string(b.keys.columns) + " x " + std::to_string(b.keys.rows) +
                         "; the g-factor needs one matrix");
    pairSlices(a, b, warnings);
    if (a.repetitions() != b.repetitions())
        warnings.push_back("SERIES_A has " + std::to_string(a.repetitions()) + " repetitions and SERIES_B " +
                           std::to_string(b.repetitions()));
    if (a.geometry.pixelSpacing != b.geometry.pixelSpacing)
        warnings.push_back("pixel spacing differs: " + spacingText(a) + " in SERIES_A, " + spacingText(b) +
                           " in SERIES_B");
    if (a.keys.protocol != b.keys.protocol)
        warnings.push_back("protocol differs: \"" + a.keys.protocol + "\" in SERIES_A, \"" + b.keys.protocol +
                           "\" in SERIES_B");
}

void checkRepetitions(const SeriesStack& s, const char* which, std::vector<std::string>& warnings)
{
    const std::size_t n = s.stack->repetitions();
    if (n < 2)
        throw InputError(s.source->path + ": " + std::to_string(n) + " repetition(s); at least 2 are needed for the noise");
    if (n < 16)
        warnings.push_back(std::string(which) + " has only " + std::to_string(n) +
                           " repetitions; the noise of a pixel is then uncertain by " +
                           std::to_string(static_cast<int>(100 / std::sqrt(2.0 * static_cast<double>(n - 1)))) +
                           " % or more");
}

void takeReduction(const MeasureCommand& c, const Stack& b, MeasureReport& report)
{
    if (c.reduction) {
        report.reduction = c.reduction;
        report.reductionSource = "option";
        if (b.reduction && *b.reduction != *c.reduction)
            report.warnings.push_back("-R " + numberText(*c.reduction) + " is used, but the files of SERIES_B give R = " +
                                      numberText(*b.reduction));
    } else if (b.reduction) {
        report.reduction = b.reduction;
        report.reductionSource = "header";
    } else {
        throw InputError("SERIES_B: its files give no Parallel Reduction Factor In-plane (0018,9069); give -R");
    }
}

// A series measured, and what its report names.
struct SeriesRun {
    MeasuredStack stack;
    std::optional<StabilityResult> stability;
    MeasuredSeries series;
};

// The maps and figures of a series: in `rois` where given (SERIES_B in SERIES_A's), and with
// --stability its stability figures too.
std::unique_ptr<SeriesRun> measureSeries(const MeasureCommand& c, const SeriesStack& s,
                                         const std::vector<const Roi*>& rois)
{
    auto run = std::make_unique<SeriesRun>();
    ImageReader reader(*s.source);
    const ImageSupplier supply = [&](const ImageRef& image, std::span<unsigned char> into) {
        return reader.read(image, into);
    };
    run->stack = measureStackFigures(*s.stack, supply, !c.stored, c.roi, rois, c.detrend);
    if (c.stability) run->stability = measureStability(*s.stack, supply, !c.stored, c.stabilityRoi, c.skip);
    run->series = {s.source, s.stack, &run->stack, {}, seriesIdentity(*s.source, *s.stack),
                   run->stability ? &*run->stability : nullptr};
    return run;
}

void phantomWarning(const MeasuredStack& m, std::vector<std::string>& warnings)
{
    const SliceResult& centre = m.slices[m.slices.size() / 2];
    const auto pixels = static_cast<double>(centre.roi.inside.size());
    const double share = static_cast<double>(centre.roi.phantomPixels) / pixels;
    if (share > 0.9)
        warnings.push_back("the phantom found covers " + std::to_string(static_cast<int>(100 * share)) +
                           " % of the image; a stored offset or a phantom filling the field of view? Give the ROI "
                           "with --roi");
}

// A map's slices one after the other, as the NIfTI file holds them.
std::vector<double> joinedSlices(const SliceValues& map)
{
    std::vector<double> all;
    for (const std::span<const double> values : map) all.insert(all.end(), values.begin(), values.end());
    return all;
}

// Everything one run writes but its reports: the maps and the pictures.
class RunFiles {
public:
    RunFiles(MeasureReport& report, const std::vector<std::vector<double>>& g) : report_(report), g_(g) {}

    void addMaps(const MeasuredSeries& m, const char* suffix, const char* which)
    {
        for (const auto& [name, map, what] : {std::tuple{"signal_", &SliceMaps::signal, "signal, "},
                                              {"noise_", &SliceMaps::noise, "noise (SD, N-1), "},
                                              {"snr_", &SliceMaps::snr, "SNR, "}})
            addMap(std::string(name) + suffix, m, mapOf(*m.measured, map), std::string(what) + which);
    }

    void addG(const MeasuredSeries& a) { addMap("g", a, mapOf(g_), "g-factor"); }

    // With --stability: its maps and the picture of the centre slice.
    void addStability(const MeasuredSeries& m, const char* suffix, const char* which)
    {
        if (!m.stability) return;
        const StabilityMaps& maps = m.stability->maps;
        for (const auto& [name, map, what] :
             {std::tuple{"sfnr_", &StabilitySlice::sfnr, "SFNR, "},
              {"fluctuation_", &StabilitySlice::fluctuation, "fluctuation (quadratic fit residual SD), "},
              {"static_noise_", &StabilitySlice::staticNoise, "static noise (even minus odd frames), "}}) {
            SliceValues values;
            for (const StabilitySlice& slice : maps.slices) values.emplace_back(slice.*map);
            addMap(std::string(name) + suffix, m, values, std::string(what) + which);
        }
        const std::size_t centre = maps.slices.size() / 2;
        const std::optional<double> tr = m.stack->keys.repetitionTimeMs;
        std::string title = std::string(which) + ": stability";
        if (maps.slices.size() > 1) title += " of slice " + std::to_string(centre) + " (centre)";
        files_.push_back({std::string("stability_") + suffix + ".png", [&m, &maps, centre, tr, title] {
                              return stabilityPicture(m.stability->figures[centre], maps.slices[centre].sfnr,
                                                      maps.width, maps.height,
                                                      tr ? std::optional<double>(*tr / 1000) : std::nullopt, title);
                          }});
        report_.pictures.push_back(files_.back().name);
    }

    void addPictures()
    {
        for (OutputFolder::File& f : runPictures(report_, g_)) {
            report_.pictures.push_back(f.name);
            files_.push_back(std::move(f));
        }
    }

    // With --dicom: every map written so far as DICOM objects in its series' study, after its NIfTI file.
    void addDicom()
    {
        std::vector<DicomResultFile> results;
        int firstSeriesNumber = 1001;
        for (const MeasuredSeries* m : {report_.seriesA, report_.seriesB}) {
            if (!m) continue;
            DicomMapsRequest& request = requests_.emplace_back();
            request.stack = m->stack;
            request.identity = m->identity;
            request.sources = sourceInstances(*m->source, *m->stack);
            request.firstSeriesNumber = firstSeriesNumber;
            request.software = std::string("quelby-measure ") + QUELBY_VERSION;
            for (const WrittenMap& map : maps_)
                if (map.series == m)
                    request.maps.push_back({map.name, "Quelby " + map.what, joined_.emplace_back(joinedSlices(map.values))});
            for (DicomResultFile& f : dicomResults(request)) results.push_back(std::move(f));
            firstSeriesNumber += 100;
        }
        for (const DicomResultFile& f : results) files_.push_back({f.name, f.make});
        report_.dicom = dicomResultsJson(results);
    }

    std::vector<OutputFolder::File>& files() { return files_; }

private:
    void addMap(const std::string& name, const MeasuredSeries& m, const SliceValues& map, const std::string& what)
    {
        files_.push_back({name + ".nii.gz", [&m, map, what] { return niftiMapBytes(joinedSlices(map), *m.stack, what); }});
        report_.maps.push_back(files_.back().name);
        maps_.push_back({name, what, &m, map});
    }

    // A map as its NIfTI file holds it, for its DICOM objects.
    struct WrittenMap {
        std::string name, what;
        const MeasuredSeries* series;
        SliceValues values;
    };
    std::vector<WrittenMap> maps_;
    std::deque<std::vector<double>> joined_;    // the DICOM objects' values, until they are written
    std::deque<DicomMapsRequest> requests_;

    MeasureReport& report_;
    const std::vector<std::vector<double>>& g_;
    std::vector<OutputFolder::File> files_;
};

// The pictures' bytes as the two writing threads make them, for the page that shows them.
class MadePictures {
public:
    // `file`, keeping a copy of what it makes.
    OutputFolder::File kept(OutputFolder::File file)
    {
        return {file.name, [this, name = file.name, make = std::move(file.make)] {
                    std::vector<char> bytes = make();
                    const std::lock_guard<std::mutex> lock(mutex_);
                    bytes_[name] = bytes;
                    return bytes;
                }};
    }

    std::vector<std::pair<std::string, std::vector<char>>> inOrder(const std::vector<std::string>& names) const
    {
        std::vector<std::pair<std::string, std::vector<char>>> pictures;
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& name : names)
            if (const auto found = bytes_.find(name); found != bytes_.end()) pictures.emplace_back(name, found->second);
        return pictures;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<char>> bytes_;
};

// g slice by slice, A and B paired by position, and its summary in each slice's ROI.
std::vector<std::vector<double>> gFactorSlices(const MeasuredStack& a, MeasuredSeries& b, double reduction, int pool)
{
    std::vector<std::vector<double>> g;
    for (std::size_t s = 0; s < a.slices.size(); ++s) {
        const SliceResult& sa = a.slices[s];
        g.push_back(gFactorMap(sa.maps.snr, b.measured->slices[s].maps.snr, reduction));
        b.g.push_back(gFactorSummary(g.back(), sa.maps.snr, a.width, sa.roi, pool));
    }
    return g;
}

// The maps, pictures and reports into the folder; the CSV report.
std::string writeOutputs(MeasureReport& report, const std::vector<std::vector<double>>& g, const std::string& folder,
                         bool dicom)
{
    OutputFolder outputs(folder);
    RunFiles files(report, g);
    // The pictures, which take longest, first: the two threads then end together.
    files.addPictures();
    files.addStability(*report.seriesA, "a", "SERIES_A");
    files.addMaps(*report.seriesA, "a", "SERIES_A");
    if (report.seriesB) {
        files.addStability(*report.seriesB, "b", "SERIES_B");
        files.addMaps(*report.seriesB, "b", "SERIES_B");
        files.addG(*report.seriesA);
    }
    if (dicom) files.addDicom();
    MadePictures pictures;
    for (OutputFolder::File& f : files.files())
        if (std::find(report.pictures.begin(), report.pictures.end(), f.name) != report.pictures.end())
            f = pictures.kept(std::move(f));
    outputs.write(files.files());
    const std::string csv = reportCsv(report), json = reportJson(report);
    outputs.write("report.html", htmlReport(nlohmann::json::parse(json), pictures.inOrder(report.pictures)));
    outputs.write("report.json", json);
    outputs.write("report.csv", csv);
    outputs.finish();
    return csv;
}

// Now, UTC, to the second: when a history row was made.
std::string utcNow()
{
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A g below 1 in the mean means SERIES_B is the less noisy series: swapped, or R is not its factor.
void gBelowOneWarning(const MeasureReport& report, std::vector<std::string>& warnings)
{
    if (report.g && std::isfinite(report.g->mean) && report.g->mean < 1)
        warnings.push_back("the ROI mean g is " + figureText(report.g->mean) +
                           ", below 1: are SERIES_A and SERIES_B swapped, or is R = " + numberText(*report.reduction) +
                           " not SERIES_B's reduction factor?");
}

// Why a method of the centre slice gave no SNR.
void methodWarnings(const MeasureReport& report, std::vector<std::string>& warnings)
{
    for (const auto& [name, m] : {std::pair{"SERIES_A", report.seriesA}, {"SERIES_B", report.seriesB}})
        if (m && m->centre().methods)
            for (const std::string& w : m->centre().methods->warnings) warnings.push_back(std::string(name) + ": " + w);
}

void shiftWarnings(const MeasureReport& report, std::vector<std::string>& warnings)
{
    for (const auto& [name, m] : {std::pair{"SERIES_A", report.seriesA}, {"SERIES_B", report.seriesB}})
        if (m && !shiftWarning(m->centre().statistics).empty())
            warnings.push_back(std::string(name) + ": " + shiftWarning(m->centre().statistics));
}

void tell(const MeasureCommand& c, const MeasureReport& report, const std::string& folder, std::ostream& out,
          std::ostream& err)
{
    if (!c.quiet) {
        const SeriesStatistics& st = report.seriesA->centre().statistics;
        for (const std::string& w : report.warnings) err << "quelby-measure: warning: " << w << "\n";
        out << "SERIES_A: SNR " << numberText(std::round(st.snr * 10) / 10) << " in the ROI of " << st.pixels
            << " pixels\n";
        if (report.g)
            out << "g: mean " << numberText(std::round(report.g->mean * 1000) / 1000) << ", max "
                << numberText(std::round(report.g->max * 1000) / 1000) << "\n";
        out << "Wrote " << report.maps.size() << " maps, " << report.pictures.size() << " pictures, ";
        if (!report.dicom.is_null()) out << "their DICOM objects, ";
        out << "report.html, report.json and report.csv to " << folder << "\n";
    }
    for (const std::string& v : report.violations) err << "quelby-measure: limit not met: " << v << "\n";
}

}  // namespace

int measurePair(const MeasureCommand& c, const std::vector<std::string>& args, const SeriesStack& a,
                const SeriesStack* b, const std::string& folder, std::ostream& out, std::ostream& err,
                std::vector<std::string> warnings)
{
    Progress progress(err, !c.quiet && ::isatty(2));
    MeasureReport report;
    report.commandLine = args;
    report.runTime = utcNow();
    report.warnings = std::move(warnings);
    report.roiKind = c.roi.kind == RoiRequest::Kind::Auto ? "auto" : c.roi.kind == RoiRequest::Kind::Circle ? "circle" : "rect";
    // A mistyped limits file is refused before anything is measured.
    const std::vector<Limit> limits = c.limitsFile.empty() ? std::vector<Limit>{} : readLimits(c.limitsFile);
    checkRepetitions(a, "SERIES_A", report.warnings);
    if (c.dicom) checkDicomResultsPossible(*a.source, *a.stack, "SERIES_A");
    if (c.dicom && b) checkDicomResultsPossible(*b->source, *b->stack, "SERIES_B");
    if (b) {
        checkRepetitions(*b, "SERIES_B", report.warnings);
        compare(*a.stack, *b->stack, report.warnings);
        takeReduction(c, *b->stack, report);
    } else if (c.reduction) {
        report.warnings.push_back("-R is used only with SERIES_B");
    }
    for (const SeriesStack* s : {&a, b})
        if (s) {
            for (const std::string& w : s->source->warnings) report.warnings.push_back(s->source->path + ": " + w);
            for (const SkippedFile& f : s->source->skipped)
                report.warnings.push_back(s->source->path + ": " + f.name + " skipped: " + f.reason);
            for (const std::string& w : s->stack->warnings) report.warnings.push_back(s->source->path + ": " + w);
        }

    progress.step(10, "measuring SERIES_A");
    const std::unique_ptr<SeriesRun> runA = measureSeries(c, a, {});
    phantomWarning(runA->stack, report.warnings);
    report.seriesA = &runA->series;
    std::unique_ptr<SeriesRun> runB;
    std::vector<std::vector<double>> g;
    if (b) {
        progress.step(45, "measuring SERIES_B");
        std::vector<const Roi*> rois;
        for (const SliceResult& slice : runA->stack.slices) rois.push_back(&slice.roi);
        runB = measureSeries(c, *b, rois);
        MeasuredSeries& seriesB = runB->series;
        g = gFactorSlices(runA->stack, seriesB, *report.reduction, c.pool);
        report.seriesB = &seriesB;
        report.g = seriesB.g[seriesB.g.size() / 2];
        gBelowOneWarning(report, report.warnings);
    }
    if (c.detrend == Detrend::None) shiftWarnings(report, report.warnings);
    methodWarnings(report, report.warnings);
    if (!c.limitsFile.empty()) {
        report.limitsFile = c.limitsFile;
        report.limitChecks = checkLimits(limits, reportFigures(report));
        report.violations = limitViolations(report.limitChecks);
    }
    progress.step(75, "writing the maps and pictures");
    const std::string csv = writeOutputs(report, g, folder, c.dicom);
    if (!c.historyFile.empty()) {
        const std::size_t headerEnd = csv.find('\n') + 1;
        appendHistory(c.historyFile, csv.substr(0, headerEnd), csv.substr(headerEnd));
    }
    progress.step(100, "done");
    tell(c, report, folder, out, err);
    return report.violations.empty() ? ExitDone : ExitLimitsNotMet;
}

}  // namespace quelby
