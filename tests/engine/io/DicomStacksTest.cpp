#include "engine/core/InputError.h"
#include "engine/io/DicomStacks.h"
#include "engine/io/DicomValues.h"
#include "engine/io/ImageFolder.h"
#include "DicomSeries.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

using namespace quelby;

namespace {

// One file to write and where each of its frames belongs: {slice, repetition} in its stack.
struct FileSpec {
    DicomLayout layout;
    std::vector<std::pair<int, int>> places;
};

constexpr std::uint32_t ImageType = 0x00080008, AcquisitionTime = 0x00080032, EchoTime = 0x00180081,
                        EchoNumbers = 0x00180086, TemporalPosition = 0x00200100, Orientation = 0x00200037,
                        InstanceNumber = 0x00200013, Coil = 0x0051100F;

DicomLayout image(const std::string& uid, double z = 0, int acquired = 0)
{
    DicomLayout l;
    l.rows = 6;
    l.columns = 8;
    l.seriesUid = uid;
    l.protocolName = "snr";
    l.imagePosition = "-10\\-20\\" + std::to_string(z);
    l.attributes = {{Orientation, "1\\0\\0\\0\\1\\0"}, {AcquisitionTime, "1200" + std::to_string(10 + acquired)}};
    return l;
}

// `slices` positions 5 mm apart, `reps` repetitions each, numbered against position order.
std::vector<FileSpec> multiSlice(const std::string& uid, int slices, int reps, std::map<std::uint32_t, std::string> extra = {})
{
    std::vector<FileSpec> files;
    for (int s = 0; s < slices; ++s)
        for (int r = 0; r < reps; ++r) {
            DicomLayout l = image(uid, 10.0 - 5 * (slices - 1 - s));
            l.instanceNumber = (slices - s) * 100 + reps - r;
            l.attributes[TemporalPosition] = std::to_string(r + 1);
            for (const auto& [tag, value] : extra) l.attributes[tag] = value;
            files.push_back({l, {{s, r}}});
        }
    return files;
}

std::vector<FileSpec> concat(std::vector<FileSpec> a, const std::vector<FileSpec>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An enhanced file of 3 slices × 4 temporal positions, its frames stored shuffled.
std::vector<FileSpec> enhanced(std::vector<double> intercepts)
{
    DicomLayout l = image("1.5");
    l.enhanced = true;
    l.frames = 12;
    FileSpec file{l, {}};
    std::vector<int> order(12);
    for (int k = 0; k < 12; ++k) order[k] = (k * 5) % 12;
    for (const int k : order) {
        const int slice = k / 4, rep = k % 4;
        file.layout.framePositions.push_back("0\\0\\" + std::to_string(-4.0 * slice));
        file.layout.stackPositions.push_back(static_cast<std::uint32_t>(3 - slice));
        file.layout.temporalPositions.push_back(static_cast<std::uint32_t>(rep + 1));
        file.places.push_back({2 - slice, rep});
    }
    file.layout.frameIntercepts = std::move(intercepts);
    return {file};
}

struct Layout {
    const char* name;
    std::function<std::vector<FileSpec>()> files;
    std::size_t stacks, slices, repetitions;  // of every stack
    std::string refusal;                       // findDicomStacks's, where it refuses
    std::vector<std::string> told;             // what chooseStack without a choice says: refusal or warnings
};

std::vector<Layout> layouts()
{
    const auto with = [](std::vector<FileSpec> files, std::uint32_t tag, const std::vector<std::string>& values) {
        for (std::size_t k = 0; k < files.size(); ++k) files[k].layout.attributes[tag] = values[k % values.size()];
        return files;
    };
    return {
        {"3 slices x 16 repetitions numbered out of position order", [] { return multiSlice("1.1", 3, 16); }, 1, 3, 16, "", {}},
        {"dual echo",
         [] { return concat(multiSlice("1.2", 1, 4, {{EchoNumbers, "1"}, {EchoTime, "10"}}),
                            multiSlice("1.2", 1, 4, {{EchoNumbers, "2"}, {EchoTime, "20"}})); },
         2, 1, 4, "", {"holds 2 stacks", "echo 1, TE 10 ms", "1 slices x 4 repetitions: --echo 1", "--echo 2"}},
        {"two coil elements",
         [] { return concat(multiSlice("1.3", 2, 3, {{Coil, "H12"}}), multiSlice("1.3", 2, 3, {{Coil, "H13"}})); },
         2, 2, 3, "", {"holds 2 stacks", "--coil H12", "--coil H13"}},
        {"magnitude and phase",
         [] { return concat(multiSlice("1.4", 1, 3, {{ImageType, "ORIGINAL\\PRIMARY\\M_SE\\M\\SE"}}),
                            multiSlice("1.4", 1, 3, {{ImageType, "ORIGINAL\\PRIMARY\\P_SE\\P\\SE"}})); },
         2, 1, 3, "", {"phase images left out, not measured: series (1.4), image type P"}},
        {"two single-image series of one protocol, the later one first by name",
         [] { return std::vector<FileSpec>{{image("1.6.2", 0, 9), {{0, 1}}}, {image("1.6.1", 0, 1), {{0, 0}}}}; },
         1, 1, 2, "", {"2 series joined as the repetitions of one acquisition, in acquisition order: 1.6.1, 1.6.2"}},
        {"unrelated series",
         [&] { return with(concat(multiSlice("1.7.1", 1, 2), multiSlice("1.7.2", 1, 2)), 0x00181030, {"a", "a", "b"}); },
         2, 1, 2, "", {"holds 2 stacks", "(1.7.1): 1 slices x 2 repetitions: --series 1.7.1", "--series 1.7.2"}},
        {"enhanced, slices x temporal positions stored shuffled", [] { return enhanced({}); }, 1, 3, 4, "", {}},
        {"enhanced, one frame rescaled otherwise",
         [] { return enhanced({5, 5, 5, 5, 5, 5, 7, 5, 5, 5, 5, 5}); }, 0, 0, 0,
         "file0.dcm: rescale slope and intercept 1, 7 differ from 1, 5", {}},
        {"unequal repetition counts", [] {
             std::vector<FileSpec> files = multiSlice("1.8", 2, 3);
             files.pop_back();
             return files;
         }, 0, 0, 0, "slice 2 of 2 (at 10 mm) holds 2 repetitions, slice 1 of 2 (at 5 mm) 3", {}},
        {"uneven spacing", [] {
             std::vector<FileSpec> files = multiSlice("1.9", 3, 2);
             for (FileSpec& f : files)
                 if (f.places[0].first == 2) f.layout.imagePosition = "-10\\-20\\13";
             return files;
         }, 1, 3, 2, "", {"slices unevenly spaced, 5 to 8 mm apart"}},
        {"\"+4\" instance numbers and \"+2.4678\" echo times", [&] {
             std::vector<FileSpec> files = with(multiSlice("1.10", 1, 2), EchoTime, {"+2.4678", " 2.4678 "});
             files[0].layout.attributes[InstanceNumber] = " +4";
             files[1].layout.attributes[InstanceNumber] = "+2 ";
             for (FileSpec& f : files) f.layout.attributes.erase(TemporalPosition), f.layout.attributes.erase(AcquisitionTime);
             std::swap(files[0].places, files[1].places);
             return files;
         }, 1, 1, 2, "", {}},
    };
}

TEST(DicomStacksTest, LayoutsGiveTheirStacksSlicesAndRepetitionsInOrder)
{
    for (const Layout& layout : layouts()) {
        SCOPED_TRACE(layout.name);
        const test::TempFolder tmp;
        std::vector<FileSpec> files = layout.files();
        // Names in a seeded shuffle, so that no order can come from them.
        std::mt19937 random(7);
        std::shuffle(files.begin(), files.end(), random);
        std::map<std::string, const FileSpec*> byName;
        for (std::size_t k = 0; k < files.size(); ++k) {
            const std::string name = "file" + std::to_string(k) + ".dcm";
            const FileSpec& f = files[k];
            writeDicomImage(tmp.str() + "/" + name, f.layout,
                            std::vector<std::int32_t>(static_cast<std::size_t>(f.layout.frames) * 48, 100));
            byName[ImageFilePath(tmp.str(), name)] = &f;
        }
        SeriesSource source;
        source.path = tmp.str();
        for (const std::string& name : ListImageFiles(tmp.str())) source.files.push_back(ImageFilePath(tmp.str(), name));
        try {
            findDicomStacks(source);
            EXPECT_EQ(layout.refusal, "");
        } catch (const InputError& e) {
            EXPECT_NE(layout.refusal, "");
            EXPECT_NE(std::string(e.what()).find(layout.refusal), std::string::npos) << e.what();
            continue;
        }
        ASSERT_EQ(source.stacks.size(), layout.stacks);
        std::string told;
        for (const Stack& stack : source.stacks) {
            ASSERT_EQ(stack.slices.size(), layout.slices);
            for (std::size_t s = 0; s < stack.slices.size(); ++s) {
                ASSERT_EQ(stack.slices[s].repetitions.size(), layout.repetitions);
                for (std::size_t r = 0; r < layout.repetitions; ++r) {
                    const ImageRef& at = stack.slices[s].repetitions[r];
                    EXPECT_EQ(byName.at(source.files[at.file])->places.at(at.frame), std::pair(int(s), int(r)))
                        << "slice " << s << " repetition " << r;
                }
            }
            for (const std::string& w : stack.warnings) told += w + "\n";
        }
        std::vector<std::string> warnings;
        try {
            for (const std::string& w : chooseStack(source, {}, warnings).warnings) told += w + "\n";
        } catch (const InputError& e) {
            told += e.what();
        }
        for (const std::string& w : warnings) told += w + "\n";
        for (const std::string& expected : layout.told) EXPECT_NE(told.find(expected), std::string::npos) << told;
    }
}

TEST(DicomStacksTest, ChoicesPickTheirStackOrListWhatIsThere)
{
    SeriesSource source;
    source.path = "here";
    const auto stack = [](std::string uid, std::optional<int> echo, std::string coil, std::string type) {
        Stack s;
        s.keys.seriesUids = {std::move(uid)};
        s.keys.echoNumber = echo;
        s.keys.coil = std::move(coil);
        s.keys.imageType = std::move(type);
        s.slices = {StackSlice{0, std::nullopt, {ImageRef{0, 0}, ImageRef{1, 0}}}};
        return s;
    };
    source.stacks = {stack("1.1", 1, "H1", "M"), stack("1.1", 2, "H1", "M"), stack("1.1", 1, "H2", "M"),
                     stack("1.1", 1, "H1", "P"), stack("1.2", std::nullopt, "", "M"), stack("1.3", std::nullopt, "", "M")};
    struct Row {
        StackChoice choice;
        int picked;  // index into source.stacks, or -1: refused with `told`
        std::string told;
    };
    const Row rows[] = {
        {{{}, 2, "", ""}, 1, ""},
        {{{}, std::nullopt, "H2", ""}, 2, ""},
        {{{"1.2"}, std::nullopt, "", ""}, 4, ""},
        {{{}, 1, "H1", "M"}, 0, ""},
        {{{}, 1, "H1", ""}, 0, ""},
        {{{}, 3, "", ""}, -1, "here: no stack is picked by --echo 3; it holds 6 stacks:"},
        {{{"9.9"}, std::nullopt, "", ""}, -1, "here: no series 9.9"},
        {{{}, 1, "H1", "P"}, -1, "picks only phase images"},
        {{}, -1, "here: holds 6 stacks:\n  series (1.1), echo 1, coil H1, image type M: 1 slices x 2 repetitions: "
                 "--echo 1 --coil H1\n  series (1.1), echo 2, coil H1, image type M: 1 slices x 2 repetitions: --echo 2\n"},
        {{{"1.1", "1.2"}, std::nullopt, "", "M"}, -1, "series 1.1 holds several stacks"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> warnings;
        try {
            const Stack chosen = chooseStack(source, row.choice, warnings);
            EXPECT_EQ(row.picked >= 0 ? source.stacks[row.picked].keys.echoNumber : std::nullopt, chosen.keys.echoNumber);
            EXPECT_EQ(row.picked >= 0 ? source.stacks[row.picked].keys.coil : "-", chosen.keys.coil);
        } catch (const InputError& e) {
            EXPECT_EQ(row.picked, -1);
            EXPECT_NE(std::string(e.what()).find(row.told), std::string::npos) << e.what();
        }
    }
    std::vector<std::string> warnings;
    const StackChoice both{{"1.2", "1.3"}, std::nullopt, "", ""};
    const Stack joined = chooseStack(source, both, warnings);
    EXPECT_EQ(joined.keys.seriesUids, both.seriesUids);
    EXPECT_EQ(joined.repetitions(), 4u);
    source.stacks.back().keys.rows = 2;
    EXPECT_THROW(chooseStack(source, both, warnings), InputError);
    std::vector<Stack> measurable = measurableStacks(source, warnings);
    EXPECT_EQ(stackNames(measurable), (std::vector<std::string>{"series_echo1_coil_H1", "series_echo2_coil_H1",
                                                                "series_echo1_coil_H2", "series", "series_2"}));
    EXPECT_EQ(warnings.size(), 1u);
}

TEST(DicomStacksTest, DecimalAndIntegerStringsAsDicomWritesThem)
{
    EXPECT_EQ(decimalValue(" +2.4678 "), 2.4678);
    EXPECT_EQ(decimalValue("-1e3"), -1000);
    EXPECT_EQ(integerValue("+4"), 4);
    EXPECT_EQ(integerValue(" -12 "), -12);
    for (const char* bad : {"", "+", "4.5", "1e2", "x", "4 4", "99999999999"}) EXPECT_FALSE(integerValue(bad)) << bad;
    EXPECT_EQ(decimalValues("0.8\\+0.9"), (std::vector<double>{0.8, 0.9}));
    EXPECT_FALSE(decimalValues("0.8\\"));
}

}  // namespace
