#include "engine/core/InputError.h"
#include "engine/io/DicomStacks.h"
#include "engine/io/DicomValues.h"
#include "engine/io/ImageFolder.h"
#include "export/DicomResults.h"
#include "DicomSeries.h"
#include "TempFolder.h"

#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace quelby;

namespace {

constexpr int Rows = 6, Columns = 8, Slices = 3, Repetitions = 2;

// A 3-slice series of 2 repetitions, tilted, without the Type 2 attributes of patient and study
// (and of the manufacturer, when `manufacturer` is empty).
SeriesSource writtenSeries(const test::TempFolder& tmp, const std::string& manufacturer = "Acme")
{
    for (int s = 0; s < Slices; ++s)
        for (int r = 0; r < Repetitions; ++r) {
            DicomLayout l;
            l.rows = Rows;
            l.columns = Columns;
            l.seriesUid = "1.2.826.0.1.3680043.9.8";
            l.pixelSpacing = "0.9\\0.8";
            l.imagePosition = "-10\\" + std::to_string(2.5 * s) + "\\" + std::to_string(4.0 * s);
            l.attributes = {{0x00200037, "1\\0\\0\\0\\0.8\\-0.6"},
                            {0x00200100, std::to_string(r + 1)},
                            {0x0020000D, "1.2.826.0.1.3680043.9.81"},
                            {0x00200052, "1.2.826.0.1.3680043.9.82"},
                            {0x00080070, manufacturer},
                            {0x00180050, "5"},
                            {0x00080018, "1.2.826.0.1.3680043.9.8." + std::to_string(s) + "." + std::to_string(r)}};
            l.omitted = {0x00100010, 0x00100020, 0x00100030, 0x00100040, 0x00080020, 0x00080030, 0x00080090,
                         0x00200010, 0x00080050};
            writeDicomImage(tmp.str() + "/s" + std::to_string(s) + "r" + std::to_string(r) + ".dcm", l,
                            std::vector<std::int32_t>(Rows * Columns, 100));
        }
    SeriesSource source;
    source.path = tmp.str();
    source.format = SeriesSource::Format::Dicom;
    for (const std::string& name : ListImageFiles(tmp.str())) source.files.push_back(ImageFilePath(tmp.str(), name));
    findDicomStacks(source);
    return source;
}

// Values across five orders of magnitude, negative ones and a pixel that is not a number.
std::vector<double> mapValues()
{
    std::vector<double> values(Rows * Columns * Slices);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = 1e-3 * std::pow(1.37, double(k)) - 2.1;
    values[7] = std::nan("");
    return values;
}

const gdcm::DataSet& item(const gdcm::DataSet& d, std::uint32_t tag, std::size_t k = 0)
{
    const gdcm::Tag t(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag & 0xFFFF));
    const gdcm::SmartPointer<gdcm::SequenceOfItems> sequence = d.GetDataElement(t).GetValueAsSQ();
    if (!sequence || sequence->GetNumberOfItems() <= k) throw std::runtime_error("no item " + std::to_string(k));
    return sequence->GetItem(k + 1).GetNestedDataSet();
}

std::size_t items(const gdcm::DataSet& d, std::uint32_t tag)
{
    const gdcm::SmartPointer<gdcm::SequenceOfItems> sequence =
        d.GetDataElement(gdcm::Tag(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag))).GetValueAsSQ();
    return sequence ? sequence->GetNumberOfItems() : 0;
}

std::string text(const gdcm::DataSet& d, std::uint32_t tag)
{
    const gdcm::ByteValue* v =
        d.GetDataElement(gdcm::Tag(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag))).GetByteValue();
    std::string t = v ? std::string(v->GetPointer(), v->GetLength()) : "";
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    return t;
}

std::vector<double> decimals(const gdcm::DataSet& d, std::uint32_t tag) { return decimalValues(text(d, tag)).value_or(std::vector<double>{}); }

std::vector<double> position(const Stack& stack, std::size_t s)
{
    return {(*stack.slices[s].origin)[0], (*stack.slices[s].origin)[1], (*stack.slices[s].origin)[2]};
}

// The lines of the validator's report that start with "Error".
std::string validatorErrors(const std::string& path)
{
    const std::string command = "/usr/bin/dciodvfy '" + path + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string errors, line;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) {
        line = buffer;
        if (line.rfind("Error", 0) == 0) errors += line;
    }
    if (pipe) ::pclose(pipe);
    return errors;
}

}  // namespace

TEST(DicomResultsTest, BothKindsPassTheValidatorAndHoldTheMapWhereTheSourceLies)
{
    if (!std::filesystem::exists("/usr/bin/dciodvfy")) GTEST_SKIP() << "dciodvfy is not installed";
    for (const char* manufacturer : {"Acme", ""}) {
        SCOPED_TRACE(manufacturer);
        const test::TempFolder source, out;
        const SeriesSource series = writtenSeries(source, manufacturer);
        std::vector<std::string> warnings;
        const Stack stack = chooseStack(series, {}, warnings);
        ASSERT_EQ(stack.slices.size(), std::size_t{Slices});
        checkDicomResultsPossible(series, stack, "SERIES_A");
        const std::vector<double> values = mapValues();
        DicomMapsRequest request;
        request.stack = &stack;
        request.identity = seriesIdentity(series, stack);
        request.sources = sourceInstances(series, stack);
        request.maps = {{"snr_a", "Quelby SNR map (SERIES_A)", values}, {"g", "Quelby g-factor map", values}};
        request.software = "quelby-measure test";
        const std::vector<DicomResultFile> files = dicomResults(request);
        ASSERT_EQ(files.size(), std::size_t{2 * (1 + Slices)});

        for (const DicomResultFile& f : files) {
            SCOPED_TRACE(f.name);
            const std::string path = out.str() + "/" + f.name.substr(f.name.find('/') + 1);
            const std::vector<char> bytes = f.make();
            std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            EXPECT_EQ(validatorErrors(path), "");
            gdcm::Reader reader;
            reader.SetFileName(path.c_str());
            ASSERT_TRUE(reader.Read());
            const gdcm::DataSet& d = reader.GetFile().GetDataSet();
            EXPECT_EQ(text(d, 0x0020000D), "1.2.826.0.1.3680043.9.81");
            EXPECT_EQ(text(d, 0x00200052), "1.2.826.0.1.3680043.9.82");
            EXPECT_EQ(text(d, 0x0020000E), f.seriesUid);
            if (f.kind == "parametric") {
                const gdcm::ByteValue* pixels = d.GetDataElement(gdcm::Tag(0x7FE0, 0x0008)).GetByteValue();
                ASSERT_NE(pixels, nullptr);
                std::vector<float> stored(values.size()), expected;
                ASSERT_EQ(pixels->GetLength(), stored.size() * sizeof(float));
                std::memcpy(stored.data(), pixels->GetPointer(), pixels->GetLength());
                for (const double v : values) expected.push_back(static_cast<float>(v));
                EXPECT_EQ(std::memcmp(stored.data(), expected.data(), pixels->GetLength()), 0);
                for (std::size_t s = 0; s < Slices; ++s) {
                    const gdcm::DataSet& frame = item(d, 0x52009230, s);
                    EXPECT_EQ(decimals(item(frame, 0x00209113), 0x00200032), position(stack, s));
                    const gdcm::DataSet& derived = item(frame, 0x00089124);
                    ASSERT_EQ(items(derived, 0x00082112), std::size_t{Repetitions});
                    for (std::size_t r = 0; r < Repetitions; ++r)
                        EXPECT_EQ(text(item(derived, 0x00082112, r), 0x00081155), request.sources[s][r].sopInstanceUid);
                }
            } else {
                const std::size_t s = static_cast<std::size_t>(std::stoi(text(d, 0x00200013)) - 1);
                ASSERT_LT(s, std::size_t{Slices});
                EXPECT_EQ(decimals(d, 0x00200032), position(stack, s));
                EXPECT_EQ(text(item(d, 0x00082112, 1), 0x00081155), request.sources[s][1].sopInstanceUid);
                const double slope = decimals(d, 0x00281053).at(0), intercept = decimals(d, 0x00281052).at(0);
                const gdcm::ByteValue* pixels = d.GetDataElement(gdcm::Tag(0x7FE0, 0x0010)).GetByteValue();
                ASSERT_NE(pixels, nullptr);
                std::vector<std::uint16_t> stored(Rows * Columns);
                ASSERT_EQ(pixels->GetLength(), stored.size() * 2);
                std::memcpy(stored.data(), pixels->GetPointer(), pixels->GetLength());
                for (std::size_t k = 0; k < stored.size(); ++k) {
                    const double v = values[s * stored.size() + k];
                    if (std::isfinite(v)) {
                        EXPECT_LE(std::abs(stored[k] * slope + intercept - v), slope / 2) << k;
                    }
                }
                EXPECT_GT(decimals(d, 0x00281051).at(0), 0);
            }
        }
        const nlohmann::json listed = dicomResultsJson(files);
        ASSERT_EQ(listed.size(), 4u);
        EXPECT_EQ(listed[0]["map"], "snr_a");
        EXPECT_EQ(listed[0]["kind"], "parametric");
        EXPECT_EQ(listed[0]["files"], nlohmann::json::array({"dicom/snr_a_pm.dcm"}));
        EXPECT_EQ(listed[1]["kind"], "mr");
        EXPECT_EQ(listed[1]["files"].size(), std::size_t{Slices});
        EXPECT_EQ(listed[3]["series_uid"], files.back().seriesUid);
    }
}

TEST(DicomResultsTest, SourcesWithoutAStudyOrGeometryAreRefused)
{
    const test::TempFolder tmp;
    const SeriesSource series = writtenSeries(tmp);
    std::vector<std::string> warnings;
    const Stack placed = chooseStack(series, {}, warnings);
    SeriesSource raw = series, nifti = series;
    raw.format = SeriesSource::Format::Raw;
    nifti.format = SeriesSource::Format::Nifti;
    Stack unplaced = placed;
    unplaced.slices[1].origin.reset();
    Stack unspaced = placed;
    unspaced.geometry.pixelSpacing.reset();
    Stack unthick = placed;
    unthick.geometry.sliceThickness.reset();
    const struct {
        const SeriesSource& source;
        const Stack& stack;
        const char* refusal;
    } cases[] = {{series, placed, ""}, {raw, placed, "is not DICOM"}, {nifti, placed, "is not DICOM"},
                 {series, unplaced, "no full geometry"}, {series, unspaced, "no full geometry"},
                 {series, unthick, "no Slice Thickness"}};
    for (const auto& c : cases) {
        std::string told;
        try {
            checkDicomResultsPossible(c.source, c.stack, "SERIES_B");
        } catch (const InputError& e) {
            told = e.what();
        }
        EXPECT_EQ(told.empty(), std::string(c.refusal).empty()) << told;
        EXPECT_NE(told.find(c.refusal), std::string::npos) << told;
        if (!told.empty()) {
            EXPECT_NE(told.find("SERIES_B"), std::string::npos) << told;
        }
    }
}
