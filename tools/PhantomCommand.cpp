#include "PhantomCommand.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>

namespace quelby {

namespace {

template <class Number>
Number parseWhole(const std::string& option, const std::string& text)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end)
        throw PhantomUsageError(option + ": not a whole number: " + text);
    return value;
}

double parseReal(const std::string& option, const std::string& text)
{
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || !std::isfinite(value))
        throw PhantomUsageError(option + ": not a number: " + text);
    return value;
}

void require(bool ok, const std::string& option, const std::string& what)
{
    if (!ok) throw PhantomUsageError(option + " " + what);
}

using Setter = std::function<void(PhantomCommand&, const std::string& option, const std::string& value)>;

const std::map<std::string, Setter>& valueOptions()
{
    static const std::map<std::string, Setter> options = {
        {"--demo",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             require(c.kind != PhantomCommand::Kind::Series, o, "cannot be combined with --out");
             c.kind = PhantomCommand::Kind::Demo;
             c.folder = v;
         }},
        {"--out",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             require(c.kind != PhantomCommand::Kind::Demo, o, "cannot be combined with --demo");
             c.kind = PhantomCommand::Kind::Series;
             c.folder = v;
         }},
        {"--files",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             c.series.files = parseWhole<int>(o, v);
             require(c.series.files >= 1 && c.series.files <= 9999, o, "must be from 1 to 9999");
         }},
        {"--signal", [](PhantomCommand& c, const std::string& o, const std::string& v) { c.series.signal = parseReal(o, v); }},
        {"--sigma",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             c.series.sigma = parseReal(o, v);
             require(c.series.sigma >= 0.0, o, "must not be negative");
         }},
        {"--header",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             c.series.headerBytes = parseWhole<int>(o, v);
             require(c.series.headerBytes >= 0 && c.series.headerBytes <= (1 << 30), o, "must be from 0 to 1073741824");
         }},
        {"--seed",
         [](PhantomCommand& c, const std::string& o, const std::string& v) { c.series.seed = parseWhole<std::uint64_t>(o, v); }},
        {"--reduction",
         [](PhantomCommand& c, const std::string& o, const std::string& v) {
             c.series.reduction = parseReal(o, v);
             require(c.series.reduction > 0.0, o, "must be above 0");
         }},
    };
    return options;
}

}  // namespace

PhantomCommand parsePhantomCommand(const std::vector<std::string>& args)
{
    PhantomCommand command;
    bool help = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--parallel") {
            command.series.parallel = true;
        } else if (arg == "--dicom") {
            command.series.dicom = true;
        } else if (const auto option = valueOptions().find(arg); option != valueOptions().end()) {
            if (i + 1 == args.size()) throw PhantomUsageError(arg + " needs a value");
            option->second(command, arg, args[++i]);
        } else {
            throw PhantomUsageError("unknown argument: " + arg);
        }
    }
    if (help) return PhantomCommand{};
    if (command.kind == PhantomCommand::Kind::Help) throw PhantomUsageError("give --demo DIR or --out DIR");
    require(!command.folder.empty(), command.kind == PhantomCommand::Kind::Demo ? "--demo" : "--out", "needs a folder");
    require(command.kind != PhantomCommand::Kind::Demo || !command.series.parallel, "--parallel",
            "cannot be combined with --demo, which writes both series");
    return command;
}

std::string phantomUsage(const std::string& program)
{
    return "usage: " + program + " --demo DIR [options]\n"
           "       " + program + " --out DIR [--parallel] [options]\n"
           "\n"
           "Writes series of 256 x 256 signed 16-bit little-endian phantom images:\n"
           "a disc of radius 100 pixels at signal S on a background of 0, with Gaussian\n"
           "noise of sigma s, or s * g * sqrt(R) with --parallel, where\n"
           "g = 1 + 0.5 * exp(-d^2 / (2 * 60^2)) and d is the distance from the centre.\n"
           "Files are named img0001.raw, img0002.raw, ... (img0001.dcm ... with --dicom).\n"
           "\n"
           "  --demo DIR       write DIR/SeriesA (plain) and DIR/SeriesB (parallel imaging)\n"
           "  --out DIR        write one series into DIR\n"
           "  --parallel       with --out: the series acquired with parallel imaging\n"
           "  --dicom          write DICOM files (explicit VR little endian) instead of raw ones\n"
           "  --files N        files per series, 1 to 9999 (32)\n"
           "  --signal S       signal inside the disc (1600)\n"
           "  --sigma s        noise without parallel imaging (10)\n"
           "  --reduction R    reduction factor of parallel imaging (2)\n"
           "  --header H       bytes before each image (0); the reader counts 2-byte\n"
           "                   records from the first byte, so an odd H shifts the image\n"
           "  --seed K         seed of the noise (1)\n"
           "  --help           show this text\n";
}

}  // namespace quelby
