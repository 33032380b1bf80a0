#include "qa/MeasureCommand.h"

#include <charconv>
#include <cmath>

namespace quelby {

namespace {

std::optional<double> numberIn(const std::string& text)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> wholeIn(const std::string& text)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

Detrend parseDetrend(const std::string& text)
{
    if (text == "smooth") return Detrend::Smooth;
    if (text == "linear") return Detrend::Linear;
    throw UsageError("--detrend: give smooth or linear, not " + text);
}

int parseWhole(const std::string& option, const std::string& text, int low, int high)
{
    const std::optional<int> k = wholeIn(text);
    if (!k || *k < low || *k > high)
        throw UsageError(option + ": give a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not " + text);
    return *k;
}

std::vector<std::string> parseSeriesUids(const std::string& text)
{
    std::vector<std::string> uids = split(text, ',');
    for (const std::string& uid : uids)
        if (uid.empty()) throw UsageError("--series: give one UID or several separated by commas, not " + text);
    return uids;
}

int parseEcho(const std::string& text)
{
    const std::optional<int> echo = wholeIn(text);
    if (!echo || *echo < 1) throw UsageError("--echo: give an echo number from 1, not " + text);
    return *echo;
}

std::string parseImageType(const std::string& text)
{
    if (text != "M" && text != "R" && text != "I") throw UsageError("--image-type: give M, R or I, not " + text);
    return text;
}

}  // namespace

double parseReduction(const std::string& text)
{
    double product = 1;
    for (const std::string& factor : split(text, 'x')) {
        const std::optional<double> value = numberIn(factor);
        if (!value || !(*value > 0) || !std::isfinite(*value))
            throw UsageError("-R: not a positive reduction factor: " + text);
        product *= *value;
    }
    // Below 1 the second series would have more data than the first: a mistyped or swapped factor.
    if (product < 1) throw UsageError("-R: a reduction factor is 1 or more, not " + text);
    return product;
}

RawLayout parseRawLayout(const std::string& text)
{
    const std::vector<std::string> parts = split(text, ':');
    const std::vector<std::string> size = split(parts[0], 'x');
    RawLayout layout;
    const std::optional<int> width = size.size() == 2 ? wholeIn(size[0]) : std::nullopt;
    const std::optional<int> height = size.size() == 2 ? wholeIn(size[1]) : std::nullopt;
    if (!width || !height || *width < 1 || *height < 1 || *width > 16384 || *height > 16384 || parts.size() > 3)
        throw UsageError("--raw: give WxH[:int16|uint16][:le|be], for example 256x256:int16:le, not " + text);
    layout.width = *width;
    layout.height = *height;
    for (std::size_t k = 1; k < parts.size(); ++k) {
        if (parts[k] == "int16") layout.kind = SampleKind::Int16;
        else if (parts[k] == "uint16") layout.kind = SampleKind::Uint16;
        else if (parts[k] == "le") layout.bigEndian = false;
        else if (parts[k] == "be") layout.bigEndian = true;
        else throw UsageError("--raw: unknown sample type or byte order: " + parts[k]);
    }
    return layout;
}

MeasureCommand parseMeasureCommand(const std::vector<std::string>& args)
{
    MeasureCommand c;
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 == args.size()) throw UsageError(arg + " needs a value");
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") c.help = true;
        else if (arg == "--version") c.version = true;
        else if (arg == "-q" || arg == "--quiet") c.quiet = true;
        else if (arg == "--rescale") c.stored = false;
        else if (arg == "--stored") c.stored = true;
        else if (arg == "--each") c.each = true;
        else if (arg == "-R" || arg == "--reduction") c.reduction = parseReduction(value());
        else if (arg == "-o" || arg == "--out") c.outFolder = value();
        else if (arg == "--raw") c.raw = parseRawLayout(value());
        else if (arg == "--series") c.choice.seriesUids = parseSeriesUids(value());
        else if (arg == "--echo") c.choice.echo = parseEcho(value());
        else if (arg == "--coil") c.choice.coil = value();
        else if (arg == "--image-type") c.choice.imageType = parseImageType(value());
        else if (arg == "--roi") c.roi = parseRoi(value());
        else if (arg == "--detrend") c.detrend = parseDetrend(value());
        else if (arg == "--pool") c.pool = parseWhole(arg, value(), 1, 64);
        else if (arg == "--stability") c.stability = true;
        else if (arg == "--stability-roi") c.stabilityRoi = parseWhole(arg, value(), 1, 1024);
        else if (arg == "--skip") c.skip = parseWhole(arg, value(), 0, 100000);
        else if (arg == "--dicom") c.dicom = true;
        else if (arg == "--history") c.historyFile = value();
        else if (arg == "--limits") c.limitsFile = value();
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option: " + arg);
        else folders.push_back(arg);
    }
    if (c.help || c.version) return c;
    if (folders.empty()) throw UsageError("give the folder of SERIES_A (and of SERIES_B for the g-factor map)");
    if (folders.size() > 2) throw UsageError("more than two series: " + folders[2]);
    if (c.outFolder.empty()) throw UsageError("-o needs a folder");
    c.seriesA = folders[0];
    if (folders.size() == 2) c.seriesB = folders[1];
    return c;
}

std::string measureUsage()
{
    return "usage: quelby-measure [OPTIONS] SERIES_A [SERIES_B]\n"
           "       quelby-measure trend HISTORY.csv -o DIR [--baseline N] [--limits FILE]\n"
           "       quelby-measure history-carry OLD.csv NEW.csv --columns report.csv\n"
           "\n"
           "Pixel-by-pixel signal, noise and SNR maps of a series of repeated acquisitions\n"
           "(the consecutive imaging method), slice by slice, and, with SERIES_B acquired\n"
           "with parallel imaging, the g-factor map g = SNR_A / (SNR_B * sqrt(R)).\n"
           "SERIES_A and SERIES_B are folders (DICOM or raw files) or 4-D NIfTI files.\n"
           "\n"
           "  -R, --reduction R  reduction factor of SERIES_B, e.g. 2 or 2x2; by default\n"
           "                     Parallel Reduction Factor In-plane (0018,9069) of its files\n"
           "  -o, --out DIR      output folder (quelby-out), created if missing\n"
           "  --raw WxH[:int16|uint16][:le|be]\n"
           "                     how files that are not DICOM are read: their last W*H\n"
           "                     samples (256x256:int16:le)\n"
           "  --series UID[,UID...]\n"
           "                     the series to measure when a folder holds several; several\n"
           "                     UIDs are joined as the repetitions of one acquisition\n"
           "  --echo N           the images of echo N\n"
           "  --coil NAME        the images of coil element NAME\n"
           "  --image-type M|R|I magnitude, real or imaginary images\n"
           "  --each             measure every stack of images, each into its own subfolder\n"
           "  --stored           measure stored pixel values (by default Rescale Slope and\n"
           "                     Intercept are applied first)\n"
           "  --rescale          apply Rescale Slope and Intercept (the default)\n"
           "  --roi auto|circle:X,Y,R|rect:X0,Y0,X1,Y1\n"
           "                     where the figures are taken (auto: the centred disc of 75 %\n"
           "                     of the phantom found in each slice's mean image of\n"
           "                     SERIES_A); pixels, column X and row Y from the top left\n"
           "  --detrend smooth|linear\n"
           "                     also give the SNR without signal shifts between repetitions\n"
           "                     (smooth: a 2nd-order surface per repetition; linear: each\n"
           "                     pixel's linear trend)\n"
           "  --pool K           average g over K x K blocks before its summary\n"
           "  --stability        also the time-series stability figures of each slice: SFNR,\n"
           "                     static-noise SNR, percent fluctuation, drift, Weisskoff RDC\n"
           "  --stability-roi N  the side of their square ROI (21)\n"
           "  --skip K           leave the first K frames out of them (0)\n"
           "  --dicom            also write the maps as DICOM Parametric Maps and derived MR\n"
           "                     images into OUT/dicom, in the source's study\n"
           "  --history FILE     append this run's figures to FILE (CSV)\n"
           "  --limits FILE      check the figures against FILE (JSON), for example\n"
           "                     {\"snr_a\": {\"min\": 120}, \"g_max\": {\"max\": 1.6}}\n"
           "  -q, --quiet        no progress and no warnings on standard error\n"
           "  -h, --help         show this text\n"
           "  --version          show the version\n"
           "\n"
           "Writes signal_a, noise_a, snr_a (and signal_b, noise_b, snr_b, g) as float32\n"
           "NIfTI-1 .nii.gz of every slice, pictures (snr_a.png, g.png, drift_a.png ...),\n"
           "report.json (the figures of every slice) and report.csv (the centre slice's)\n"
           "into the output folder.\n"
           "Exit status: 0 done, 1 a limit not met, 2 bad usage or input that cannot be measured.\n";
}

}  // namespace quelby
