#include "qa/CsvTable.h"

#include "engine/core/InputError.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

namespace quelby {

namespace {

// Splits the text into records of fields; a quoted field may hold commas,
// doubled quotes and line breaks. Each record keeps the line it began on.
class CsvReader {
public:
    CsvReader(std::string_view text, const std::string& source) : text_(text), source_(source) {}

    // False at the end of the text.
    bool next(std::vector<std::string>& fields, int& line)
    {
        fields.clear();
        line = line_;
        if (at_ == text_.size()) return false;
        fields.emplace_back();
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"' && fields.back().empty()) readQuoted(fields.back());
            else if (c == ',') fields.emplace_back();
            else if (c == '\n') return ++line_, true;
            else if (c != '\r') fields.back() += c;
        }
        return true;
    }

private:
    void readQuoted(std::string& field)
    {
        const int opened = line_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"' && (at_ == text_.size() || text_[at_] != '"')) return;
            if (c == '"') ++at_;
            if (c == '\n') ++line_;
            field += c;
        }
        throw InputError(source_ + ": line " + std::to_string(opened) + ": a quoted field is not closed");
    }

    std::string_view text_;
    const std::string& source_;
    std::size_t at_ = 0;
    int line_ = 1;
};

}  // namespace

std::optional<std::size_t> CsvTable::column(const std::string& name) const
{
    const auto found = std::find(header.begin(), header.end(), name);
    if (found == header.end()) return std::nullopt;
    return static_cast<std::size_t>(found - header.begin());
}

CsvTable parseCsv(std::string_view text, const std::string& source)
{
    CsvReader reader(text, source);
    CsvTable table;
    int line = 0;
    if (!reader.next(table.header, line) || (table.header.size() == 1 && table.header[0].empty()))
        throw InputError(source + ": no header line");
    std::set<std::string> names;
    for (const std::string& name : table.header)
        if (!names.insert(name).second) throw InputError(source + ": the header names the column " + name + " twice");
    std::vector<std::string> fields;
    while (reader.next(fields, line)) {
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
        if (fields.size() > table.header.size())
            throw InputError(source + ": line " + std::to_string(line) + " has " + std::to_string(fields.size()) +
                             " fields, the header " + std::to_string(table.header.size()));
        if (fields.size() < table.header.size()) table.cutShortLines.push_back(line);
        else {
            table.rows.push_back(fields);
            table.lines.push_back(line);
        }
    }
    return table;
}

CsvTable readCsv(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open()) throw InputError(path + ": cannot be read");
    return parseCsv(text, path);
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (const char ch : text) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

std::string csvLine(const std::vector<std::string>& fields)
{
    std::string out;
    for (std::size_t k = 0; k < fields.size(); ++k) out += (k > 0 ? "," : "") + csvField(fields[k]);
    return out + "\n";
}

}  // namespace quelby
