#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// A CSV file read whole: its header and rows, fields unquoted. A row of fewer
// fields than the header is one whose writing was cut off; it is kept apart,
// by its line, so that no reader takes its last field for a whole value.
struct CsvTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<int> lines;          // each row's first line, 1-based
    std::vector<int> cutShortLines;

    // The column's index, none when the header lacks it.
    std::optional<std::size_t> column(const std::string& name) const;
};

// Throws InputError naming `source` and the line for an unclosed quote, a row
// of more fields than the header, no header at all or a column named twice.
CsvTable parseCsv(std::string_view text, const std::string& source);

// Throws InputError also for a file that cannot be read.
CsvTable readCsv(const std::string& path);

// The field as CSV, quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

// The fields as one CSV line, its line break included.
std::string csvLine(const std::vector<std::string>& fields);

}  // namespace quelby
