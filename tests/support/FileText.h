#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace quelby::test {

// A file's bytes as they are; empty when it cannot be read.
inline std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace quelby::test
