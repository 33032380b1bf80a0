#pragma once

#include "PhantomSeries.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace quelby {

// What the command line of quelby-phantom asks for.
struct PhantomCommand {
    enum class Kind { Help, Demo, Series };
    Kind kind = Kind::Help;
    std::string folder;
    PhantomSeries series;
};

// A command line that cannot be carried out; what() says why.
class PhantomUsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Reads the arguments after the program name. Throws PhantomUsageError.
PhantomCommand parsePhantomCommand(const std::vector<std::string>& args);

std::string phantomUsage(const std::string& program);

}  // namespace quelby
