#include "qa/MeasureProgram.h"

#include "engine/core/Failure.h"
#include "export/FileReplace.h"
#include "qa/History.h"
#include "qa/MeasureCommand.h"
#include "export/NiftiMap.h"
#include "qa/Pictures.h"
#include "qa/Report.h"
#include "qa/RoiStatistics.h"
#include "engine/series/SeriesMaps.h"
#include "engine/kernel/TwoThreads.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <future>
#include <ostream>
#include <unistd.h>

#ifndef QUELBY_VERSION
#define QUELBY_VERSION "unknown"
#endif

namespace quelby {

namespace {

// A one-line bar on standard error, redrawn in place, when it is a terminal.
class Progress {
public:
    Progress(std::ostream& err, bool shown) : err_(err), shown_(shown) {}
    ~Progress()
    {
        if (drawn_) err_ << "\r" << std::string(72, ' ') << "\r" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void step(int percent, const std::string& what)
    {
        if (!shown_) return;
        const int filled = percent * 30 / 100;
        err_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(30 - filled), ' ') << "] " << percent << " % "
             << what.substr(0, 30) << std::string(30 - std::min<std::size_t>(30, what.size()), ' ') << std::flush;
        drawn_ = true;
    }

private:
    std::ostream& err_;
    bool shown_;
    bool drawn_ = false;
};

std::string spacingText(const Series& s)
{
    return s.pixelSpacing ? numberText(s.pixelSpacing->first) + " x " + numberText(s.pixelSpacing->second) + " mm"
                          : "none";
}

// What to say about two series that may not belong together.
void compare(const Series& a, const Series& b, std::vector<std::string>& warnings)
{
    if (a.width != b.width || a.height != b.height)
        throw InputError("SERIES_A is " + std::to_string(a.width) + " x " + std::to_string(a.height) +
                         " and SERIES_B " + std::to_string(b.width) + " x " + std::to_string(b.height) +
                         "; the g-factor needs one matrix");
    if (a.repetitions() != b.repetitions())
        warnings.push_back("SERIES_A has " + std::to_string(a.repetitions()) + " repetitions and SERIES_B " +
                           std::to_string(b.repetitions()));
    if (a.pixelSpacing != b.pixelSpacing)
        warnings.push_back("pixel spacing differs: " + spacingText(a) + " in SERIES_A, " + spacingText(b) +
                           " in SERIES_B");
    if (a.imagePosition != b.imagePosition)
        warnings.push_back("slice position differs: (" + a.imagePosition + ") in SERIES_A, (" + b.imagePosition +
                           ") in SERIES_B");
    if (a.protocol != b.protocol)
        warnings.push_back("protocol differs: \"" + a.protocol + "\" in SERIES_A, \"" + b.protocol + "\" in SERIES_B");
}

void fewRepetitions(const Series& s, const char* which, std::vector<std::string>& warnings)
{
    if (s.repetitions() < 16)
        warnings.push_back(std::string(which) + " has only " + std::to_string(s.repetitions()) +
                           " repetitions; the noise of a pixel is then uncertain by " +
                           std::to_string(static_cast<int>(100 / std::sqrt(2.0 * (s.repetitions() - 1)))) + " % or more");
}

class Outputs {
public:
    explicit Outputs(const std::string& folder) : folder_(folder)
    {
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
        if (!std::filesystem::is_directory(folder_))
            throw InputError(folder_ + ": the output folder cannot be made (" + ec.message() + ")");
    }

    void write(const std::string& name, std::span<const char> bytes)
    {
        const std::string path = folder_ + "/" + name;
        try {
            replaceFile(path, folder_, bytes, systemFileCalls(), false);
        } catch (const FileWriteError& e) {
            throw InputError(path + ": cannot be written (" + e.what() + ")");
        }
    }

    // The renames of all the files reach the disk together.
    void sync()
    {
        try {
            syncFolder(folder_);
        } catch (const FileWriteError& e) {
            throw InputError(folder_ + ": cannot be synced (" + e.what() + ")");
        }
    }

    // One output file and how its bytes are made.
    struct File {
        std::string name;
        std::function<std::vector<char>()> make;
    };

    // The files made and written two at a time, so that one waits for the disk
    // while the other is made.
    void write(const std::vector<File>& files)
    {
        forEachOnTwoThreads(files.size(), [&](std::size_t k) { write(files[k].name, files[k].make()); });
    }

private:
    std::string folder_;
};

// The largest value of the ROI that is not an outlier, for the top of a colour scale.
double roiHigh(const std::vector<double>& values, const Roi& roi)
{
    std::vector<double> inside;
    for (std::size_t p = 0; p < values.size(); ++p)
        if (roi.inside[p] && std::isfinite(values[p])) inside.push_back(values[p]);
    if (inside.empty()) return 1;
    const std::size_t at = inside.size() * 99 / 100;
    std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(at), inside.end());
    return inside[at] * 1.25;
}

std::string rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return numberText(std::round(value * scale) / scale);
}

std::vector<std::string> seriesCaption(const char* name, const SeriesStatistics& st, std::size_t repetitions)
{
    std::string first = std::string(name) + ": SNR " + rounded(st.snr, 1);
    if (st.snrCi95) first += " (95 % CI " + rounded((*st.snrCi95)[0], 1) + " to " + rounded((*st.snrCi95)[1], 1) + ")";
    first += " in the ROI of " + std::to_string(st.pixels) + " pixels";
    return {first, "mean signal " + rounded(st.meanSignal, 1) + ", noise " + rounded(st.noise, 2) + ", drift " +
                       rounded(st.driftPercentTotal, 2) + " % over " + std::to_string(repetitions) + " repetitions"};
}

// The pictures of the run, as files to make.
void addPictures(MeasureReport& report, const SeriesMaps& mapsA, const SeriesMaps* mapsB, const std::vector<double>& g,
                 std::vector<Outputs::File>& files)
{
    preparePictures();
    const Roi& roi = *report.roi;
    const auto add = [&](const std::string& name, std::function<std::vector<char>()> make) {
        files.push_back({name, std::move(make)});
        report.pictures.push_back(name);
    };
    const double high = roiHigh(mapsA.snr, roi);
    const MeasureReport& r = report;
    add("snr_a.png", [&, high] {
        return mapPicture(mapsA.snr, mapsA.width, mapsA.height, roi, 0, high,
                          seriesCaption("SERIES_A", *r.statisticsA, r.seriesA->repetitions()));
    });
    add("drift_a.png", [&] { return driftPicture(*r.statisticsA, "SERIES_A: ROI mean signal per repetition"); });
    if (!mapsB) return;
    add("snr_b.png", [&, mapsB, high] {
        return mapPicture(mapsB->snr, mapsB->width, mapsB->height, roi, 0, high,
                          seriesCaption("SERIES_B", *r.statisticsB, r.seriesB->repetitions()));
    });
    add("drift_b.png", [&] { return driftPicture(*r.statisticsB, "SERIES_B: ROI mean signal per repetition"); });
    add("g.png", [&] {
        const GFactorSummary& s = *r.g;
        return mapPicture(g, mapsA.width, mapsA.height, roi, 0.5, std::max(2.0, roiHigh(g, roi) / 1.25),
                          {"g in the ROI where SNR_A >= 5: mean " + rounded(s.mean, 3) + ", median " +
                               rounded(s.median, 3) + ", 95th percentile " + rounded(s.p95, 3) + ", max " +
                               rounded(s.max, 3),
                           "R = " + numberText(*r.reduction) + ", " + rounded(100 * s.maskedFraction, 1) +
                               " % of the ROI masked"});
    });
}

int measure(const MeasureCommand& c, const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Progress progress(err, !c.quiet && ::isatty(2));
    MeasureReport report;
    report.commandLine = args;
    std::vector<std::string>& warnings = report.warnings;

    progress.step(0, "reading the series");
    // SERIES_B is read on another thread meanwhile; a failure of A is told first.
    std::future<Series> readingB;
    if (!c.seriesB.empty()) readingB = std::async(std::launch::async, [&] { return loadSeries(c.seriesB, c.series); });
    const Series a = [&] {
        try {
            return loadSeries(c.seriesA, c.series);
        } catch (...) {
            if (readingB.valid()) readingB.wait();
            throw;
        }
    }();
    report.seriesA = &a;
    fewRepetitions(a, "SERIES_A", warnings);
    std::optional<Series> b;
    if (!c.seriesB.empty()) {
        b = readingB.get();
        report.seriesB = &*b;
        fewRepetitions(*b, "SERIES_B", warnings);
        compare(a, *b, warnings);
        if (c.reduction) {
            report.reduction = c.reduction;
            report.reductionSource = "option";
            if (b->reduction && *b->reduction != *c.reduction)
                warnings.push_back("-R " + numberText(*c.reduction) + " is used, but the files of SERIES_B give R = " +
                                   numberText(*b->reduction));
        } else if (b->reduction) {
            report.reduction = b->reduction;
            report.reductionSource = "header";
        } else {
            throw InputError("SERIES_B: its files give no Parallel Reduction Factor In-plane (0018,9069); give -R");
        }
    } else if (c.reduction) {
        warnings.push_back("-R is used only with SERIES_B");
    }
    for (const Series* s : {&a, b ? static_cast<const Series*>(&*b) : nullptr})
        if (s)
            for (const std::string& w : s->warnings) warnings.push_back(s->folder + ": " + w);

    progress.step(45, "measuring SERIES_A");
    const SeriesMaps mapsA = measureSeries(a);
    struct Map {
        const char* name;
        const std::vector<double>* values;
        const char* what;
    };
    std::vector<Map> maps{{"signal_a", &mapsA.signal, "signal, SERIES_A"},
                          {"noise_a", &mapsA.noise, "noise (SD, N-1), SERIES_A"},
                          {"snr_a", &mapsA.snr, "SNR, SERIES_A"}};
    SeriesMaps mapsB;
    std::vector<double> g;
    if (b) {
        progress.step(60, "measuring SERIES_B");
        mapsB = measureSeries(*b);
        g = gFactorMap(mapsA, mapsB, *report.reduction);
        maps.insert(maps.end(), {{"signal_b", &mapsB.signal, "signal, SERIES_B"},
                                 {"noise_b", &mapsB.noise, "noise (SD, N-1), SERIES_B"},
                                 {"snr_b", &mapsB.snr, "SNR, SERIES_B"},
                                 {"g", &g, "g-factor"}});
    }
    progress.step(70, "taking the ROI figures");
    const Roi roi = makeRoi(c.roi, mapsA);
    report.roi = &roi;
    report.roiKind = c.roi.kind == RoiRequest::Kind::Auto ? "auto" : c.roi.kind == RoiRequest::Kind::Circle ? "circle" : "rect";
    // The two series' figures at once.
    std::future<SeriesStatistics> figuresB;
    if (b) figuresB = std::async(std::launch::async, [&] { return seriesStatistics(*b, mapsB, roi, c.detrend); });
    const SeriesStatistics statisticsA = seriesStatistics(a, mapsA, roi, c.detrend);
    report.statisticsA = &statisticsA;
    std::optional<SeriesStatistics> statisticsB;
    if (b) {
        statisticsB = figuresB.get();
        report.statisticsB = &*statisticsB;
        report.g = gFactorSummary(g, mapsA, roi, c.pool);
    }
    if (c.detrend == Detrend::None)
        for (const auto& [name, st] : {std::pair{"SERIES_A", report.statisticsA}, {"SERIES_B", report.statisticsB}})
            if (st && !shiftWarning(*st).empty()) warnings.push_back(std::string(name) + ": " + shiftWarning(*st));
    if (!c.limitsFile.empty()) {
        report.limitsFile = c.limitsFile;
        report.violations = checkLimits(c.limitsFile, reportFigures(report));
    }

    progress.step(75, "writing the maps and pictures");
    Outputs outputs(c.outFolder);
    std::vector<Outputs::File> files;
    for (const Map& m : maps) {
        files.push_back({std::string(m.name) + ".nii.gz",
                         [&a, m] { return niftiMapBytes(*m.values, a.width, a.height, a.pixelSpacing, m.what); }});
        report.maps.push_back(files.back().name);
    }
    addPictures(report, mapsA, b ? &mapsB : nullptr, g, files);
    outputs.write(files);
    progress.step(95, "writing the report");
    const std::string json = reportJson(report), csv = reportCsv(report);
    outputs.write("report.json", json);
    outputs.write("report.csv", csv);
    outputs.sync();
    if (!c.historyFile.empty()) {
        const std::size_t headerEnd = csv.find('\n') + 1;
        appendHistory(c.historyFile, csv.substr(0, headerEnd), csv.substr(headerEnd));
    }
    progress.step(100, "done");

    if (!c.quiet) {
        for (const std::string& w : warnings) err << "quelby-measure: warning: " << w << "\n";
        out << "SERIES_A: SNR " << numberText(std::round(statisticsA.snr * 10) / 10) << " in the ROI of "
            << statisticsA.pixels << " pixels\n";
        if (report.g) out << "g: mean " << numberText(std::round(report.g->mean * 1000) / 1000) << ", max "
                          << numberText(std::round(report.g->max * 1000) / 1000) << "\n";
        out << "Wrote " << report.maps.size() << " maps, " << report.pictures.size()
            << " pictures, report.json and report.csv to " << c.outFolder << "\n";
    }
    for (const std::string& v : report.violations) err << "quelby-measure: limit not met: " << v << "\n";
    return report.violations.empty() ? ExitDone : ExitLimitsNotMet;
}

}  // namespace

int runMeasure(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    MeasureCommand command;
    try {
        command = parseMeasureCommand(std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()));
    } catch (const UsageError& e) {
        err << "quelby-measure: " << e.what() << "\nTry 'quelby-measure --help'.\n";
        return ExitUnmeasurable;
    }
    if (command.help) {
        out << measureUsage();
        return ExitDone;
    }
    if (command.version) {
        out << "quelby-measure " << QUELBY_VERSION << "\n";
        return ExitDone;
    }
    try {
        return measure(command, args, out, err);
    } catch (const InputError& e) {
        err << "quelby-measure: " << e.what() << "\n";
    } catch (const Failure& e) {
        err << "quelby-measure: " << e.what() << "\n";
    } catch (const std::exception& e) {
        err << "quelby-measure: " << e.what() << "\n";
    }
    return ExitUnmeasurable;
}

}  // namespace quelby
