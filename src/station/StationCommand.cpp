#include "station/StationCommand.h"

#include "station/StationError.h"

#include <cctype>
#include <charconv>

namespace quelby {

namespace {

int wholeNumber(const std::string& option, const std::string& text, int low, int high)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw StationError(option + ": give a whole number from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not " + text);
    return value;
}

// An AE title: 1 to 16 printable characters, no backslash, not all spaces.
std::string aeTitle(const std::string& text)
{
    bool printable = !text.empty() && text.size() <= 16 && text.find_first_not_of(' ') != std::string::npos;
    for (const char c : text) printable = printable && std::isprint(static_cast<unsigned char>(c)) && c != '\\';
    if (!printable) throw StationError("--aet: give 1 to 16 printable characters, not " + text);
    return text;
}

}  // namespace

StationCommand parseStationCommand(const std::vector<std::string>& args)
{
    StationCommand command;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "-h" || option == "--help") {
            command.help = true;
            continue;
        }
        if (i + 1 >= args.size()) throw StationError(option + ": unknown option or missing value");
        const std::string& value = args[++i];
        if (option == "--dir") command.dir = value;
        else if (option == "--rules") command.rulesFile = value;
        else if (option == "--aet") command.aet = aeTitle(value);
        else if (option == "--dicom-port") command.dicomPort = wholeNumber(option, value, 1, 65535);
        else if (option == "--http-port") command.httpPort = wholeNumber(option, value, 1, 65535);
        else if (option == "--stable-age") command.stableAge = wholeNumber(option, value, 1, 86400);
        else if (option == "--measure") command.measure = value;
        else throw StationError(option + ": unknown option");
    }
    if (!command.help && command.dir.empty()) throw StationError("--dir: give the station's folder");
    if (!command.help && command.dicomPort == command.httpPort)
        throw StationError("--dicom-port and --http-port must differ");
    return command;
}

std::string stationUsage()
{
    return "usage: quelby-station --dir DIR [--rules RULES.json] [--aet QUELBY] [--dicom-port 4242]\n"
           "                      [--http-port 8042] [--stable-age 60] [--measure PATH]\n"
           "Receives QA studies by DICOM (Orthanc), measures each stable study by its rules with\n"
           "quelby-measure, stores the DICOM results back into the study and keeps DIR/history.csv\n"
           "and DIR/trend/trend.html. The REST and web interface answers on this machine only, to\n"
           "the user and password in DIR/credentials.\n";
}

}  // namespace quelby
