#include "qa/HistoryCarry.h"

#include "MeasureRun.h"
#include "TempFolder.h"
#include "engine/core/InputError.h"
#include "qa/CsvTable.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quelby {
namespace {

// Quoted fields keep their commas, quotes and line breaks; a row cut short is kept apart.
TEST(CsvTable, ReadsQuotedFieldsAndKeepsCutShortRowsApart)
{
    const CsvTable t = parseCsv("a,b,c\r\n1,\"x, \"\"y\"\"\",\n\n\"two\nlines\",,3\n4,5\n", "t.csv");
    EXPECT_EQ(t.header, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0], (std::vector<std::string>{"1", "x, \"y\"", ""}));
    EXPECT_EQ(t.rows[1], (std::vector<std::string>{"two\nlines", "", "3"}));
    EXPECT_EQ(t.lines, (std::vector<int>{2, 4}));
    EXPECT_EQ(t.cutShortLines, std::vector<int>{6});
    EXPECT_EQ(parseCsv(csvLine(t.rows[0]) + csvLine(t.rows[1]), "t").rows[0], t.rows[1]);

    const struct {
        std::string text, says;
    } refused[] = {
        {"", "t.csv: no header line"},
        {"a,b\n1,\"2\n", "t.csv: line 2: a quoted field is not closed"},
        {"a,b\n1,2\n1,2,3\n", "t.csv: line 3 has 3 fields, the header 2"},
        {"a,b,a\n1,2,3\n", "t.csv: the header names the column a twice"},
    };
    for (const auto& row : refused) {
        try {
            parseCsv(row.text, "t.csv");
            ADD_FAILURE() << row.text;
        } catch (const InputError& e) {
            EXPECT_EQ(e.what(), row.says);
        }
    }
}

// An old history under new columns: each value in its column by name, none dropped,
// the old file untouched and the new one never written over.
TEST(HistoryCarry, MapsColumnsByNameAndRefusesToDropOne)
{
    const test::TempFolder tmp;
    const std::string old = tmp.str() + "/old.csv", report = tmp.str() + "/report.csv",
                      narrow = tmp.str() + "/narrow.csv", carried = tmp.str() + "/new.csv";
    const std::string oldText = "software,snr_a,a_folder,warnings\nq,101.5,\"/d/a,1\",\nq,99,/d/b,\"w; \"\"x\"\"\"\nq,9\n";
    std::ofstream(old) << oldText;
    std::ofstream(report) << "software,run_time,a_folder,a_station,snr_a,warnings\nq,2026,/x,S,1,\n";
    std::ofstream(narrow) << "software,snr_a\nq,1\n";
    std::ostringstream out, err;
    ASSERT_EQ(runHistoryCarry({old, carried, "--columns", report}, out, err), 0) << err.str();
    EXPECT_EQ(test::fileText(carried), "software,run_time,a_folder,a_station,snr_a,warnings\n"
                                       "q,,\"/d/a,1\",,101.5,\n"
                                       "q,,/d/b,,99,\"w; \"\"x\"\"\"\n");
    const std::string first = test::fileText(carried);
    EXPECT_NE(out.str().find("2 rows of " + old + " carried; new columns, empty in them: run_time, a_station"),
              std::string::npos) << out.str();
    EXPECT_NE(err.str().find("line 4 was cut short when written; left out"), std::string::npos) << err.str();
    EXPECT_EQ(test::fileText(old), oldText);

    const struct {
        std::vector<std::string> args;
        std::string says;
    } refused[] = {
        {{old, tmp.str() + "/n2.csv", "--columns", narrow}, "the new columns lack a_folder, warnings"},
        {{old, carried, "--columns", report}, "new.csv: exists; give a new file"},
        {{old, tmp.str() + "/n3.csv"}, "usage: quelby-measure history-carry"},
        {{tmp.str() + "/absent.csv", tmp.str() + "/n4.csv", "--columns", report}, "absent.csv: cannot be read"},
    };
    for (const auto& row : refused) {
        std::ostringstream o, e;
        EXPECT_EQ(runHistoryCarry(row.args, o, e), 2);
        EXPECT_NE(e.str().find(row.says), std::string::npos) << e.str();
    }
    EXPECT_FALSE(std::filesystem::exists(tmp.str() + "/n2.csv"));
    EXPECT_EQ(test::fileText(carried), first);
}

}  // namespace
}  // namespace quelby
