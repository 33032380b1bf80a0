#include "qa/MeasureProgram.h"

#include "engine/core/Failure.h"
#include "engine/core/InputError.h"
#include "engine/io/DicomStacks.h"
#include "qa/HistoryCarry.h"
#include "qa/MeasureCommand.h"
#include "qa/OutputFolder.h"
#include "qa/PictureDrawing.h"
#include "qa/PairMeasurement.h"
#include "qa/Report.h"
#include "qa/TrendProgram.h"

#include <algorithm>
#include <ostream>

#ifndef QUELBY_VERSION
#define QUELBY_VERSION "unknown"
#endif

namespace quelby {

namespace {

bool sameKeys(const StackKeys& a, const StackKeys& b)
{
    return a.echoNumber == b.echoNumber && a.coil == b.coil && a.imageType == b.imageType;
}

std::string keysText(const StackKeys& keys)
{
    std::string text = "echo " + (keys.echoNumber ? std::to_string(*keys.echoNumber) : std::string("none"));
    text += ", coil " + (keys.coil.empty() ? std::string("none") : keys.coil);
    return text + ", image type " + (keys.imageType.empty() ? std::string("none") : keys.imageType);
}

std::vector<Stack> stacksOf(const SeriesSource& source, std::vector<std::string>& warnings)
{
    return source.format == SeriesSource::Format::Dicom ? measurableStacks(source, warnings) : source.stacks;
}

// The stack of SERIES_B with the keys of SERIES_A's stack.
const Stack& partnerOf(const Stack& a, const std::vector<Stack>& stacksB)
{
    const Stack* found = nullptr;
    for (const Stack& b : stacksB)
        if (sameKeys(a.keys, b.keys)) {
            if (found)
                throw InputError("SERIES_B holds several stacks of " + keysText(a.keys) +
                                 "; pair them with the selectors");
            found = &b;
        }
    if (!found) throw InputError("SERIES_B holds no stack of " + keysText(a.keys) + " to pair with SERIES_A's");
    return *found;
}

// --each: every measurable stack into its own subfolder, and a report of them.
int measureEach(const MeasureCommand& c, const std::vector<std::string>& args, const SeriesSource& a,
                const SeriesSource* b, std::ostream& out, std::ostream& err)
{
    std::vector<std::string> warnings;
    const std::vector<Stack> stacksA = stacksOf(a, warnings);
    const std::vector<Stack> stacksB = b ? stacksOf(*b, warnings) : std::vector<Stack>{};
    std::vector<const Stack*> partners;
    for (const Stack& s : stacksA) partners.push_back(b ? &partnerOf(s, stacksB) : nullptr);
    OutputFolder top(c.outFolder);
    std::vector<StackOutput> outputs;
    const std::vector<std::string> names = stackNames(stacksA);
    int status = ExitDone;
    for (std::size_t k = 0; k < stacksA.size(); ++k) {
        const std::string& name = names[k];
        StackOutput entry{name, name, &stacksA[k], ExitDone};
        try {
            const SeriesStack pairB{b, partners[k]};
            entry.status = measurePair(c, args, {&a, &stacksA[k]}, b ? &pairB : nullptr, c.outFolder + "/" + name,
                                       out, err, {});
        } catch (const InputError& e) {
            entry.status = ExitUnmeasurable;
            warnings.push_back(name + ": " + e.what());
            if (!c.quiet) err << "quelby-measure: " << name << ": " << e.what() << "\n";
        }
        status = std::max(status, entry.status);
        outputs.push_back(entry);
    }
    top.write("report.json", stacksReportJson(args, outputs, warnings));
    top.finish();
    if (!c.quiet)
        for (const std::string& w : warnings) err << "quelby-measure: warning: " << w << "\n";
    return status;
}

// Which stack of a source to measure; a raw folder or a NIfTI file holds one.
Stack chosen(const SeriesSource& source, const StackChoice& choice, std::vector<std::string>& warnings)
{
    if (source.format == SeriesSource::Format::Dicom) return chooseStack(source, choice, warnings);
    if (source.stacks.empty()) throw InputError(source.path + ": no image");
    if (!choice.seriesUids.empty() || choice.echo || !choice.coil.empty() || !choice.imageType.empty())
        warnings.push_back(source.path +
                           ": holds one stack; --series, --echo, --coil and --image-type choose among DICOM images only");
    return source.stacks.front();
}

int measure(const MeasureCommand& c, const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    OutputFolder::checkUsable(c.outFolder);
    // Qt's libraries load on the helper while the series are read.
    loadPicturesAhead();
    const SeriesSource a = openSeriesSource(c.seriesA, c.raw);
    std::optional<SeriesSource> b;
    if (!c.seriesB.empty()) b = openSeriesSource(c.seriesB, c.raw);
    if (c.each) return measureEach(c, args, a, b ? &*b : nullptr, out, err);
    std::vector<std::string> warnings;
    const Stack stackA = chosen(a, c.choice, warnings);
    std::optional<Stack> stackB;
    if (b) stackB = chosen(*b, c.choice, warnings);
    const SeriesStack pairB{b ? &*b : nullptr, stackB ? &*stackB : nullptr};
    return measurePair(c, args, {&a, &stackA}, b ? &pairB : nullptr, c.outFolder, out, err, warnings);
}

}  // namespace

int runMeasure(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    // The subcommands over a history; anything else measures.
    if (args.size() > 1 && (args[1] == "trend" || args[1] == "history-carry")) {
        const std::vector<std::string> rest(args.begin() + 2, args.end());
        return args[1] == "trend" ? runTrend(rest, out, err) : runHistoryCarry(rest, out, err);
    }
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
