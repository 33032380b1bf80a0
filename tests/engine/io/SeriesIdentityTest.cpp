#include "engine/io/SeriesIdentity.h"
#include "engine/io/DicomStacks.h"
#include "engine/io/ImageFolder.h"
#include "DicomSeries.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

using namespace quelby;

namespace quelby {
void PrintTo(const SourceInstance& i, std::ostream* out)
{
    *out << i.seriesUid << " " << i.sopClassUid << " " << i.sopInstanceUid << " frame " << i.frame.value_or(0);
}
}  // namespace quelby

namespace {

using Attributes = std::map<std::uint32_t, std::string>;

// One stack from the files written, each layout holding its slice, repetition and instance in `attributes`.
struct Written {
    SeriesSource source;
    Stack stack;
};

Written written(const test::TempFolder& tmp, const std::vector<DicomLayout>& layouts)
{
    Written w;
    w.source.path = tmp.str();
    w.source.format = SeriesSource::Format::Dicom;
    for (std::size_t k = 0; k < layouts.size(); ++k) {
        const DicomLayout& l = layouts[k];
        const std::string name = "f" + std::to_string(k) + ".dcm";
        writeDicomImage(tmp.str() + "/" + name, l,
                        std::vector<std::int32_t>(static_cast<std::size_t>(l.frames * l.rows * l.columns), 9));
    }
    for (const std::string& name : ListImageFiles(tmp.str())) w.source.files.push_back(ImageFilePath(tmp.str(), name));
    findDicomStacks(w.source);
    std::vector<std::string> warnings;
    w.stack = chooseStack(w.source, {}, warnings);
    return w;
}

DicomLayout image(int slice, int repetition, const Attributes& extra)
{
    DicomLayout l;
    l.rows = 4;
    l.columns = 4;
    l.seriesUid = "1.2.826.0.1.3680043.9.7";
    l.protocolName = "snr_qa";
    l.imagePosition = "0\\0\\" + std::to_string(5 * slice);
    l.attributes = extra;
    l.attributes[0x00200037] = "1\\0\\0\\0\\1\\0";
    l.attributes[0x00200100] = std::to_string(repetition + 1);
    l.attributes[0x00080032] = "10000" + std::to_string(repetition);
    l.attributes[0x00080018] = "1.2.826.0.1.3680043.9.7." + std::to_string(slice) + "." + std::to_string(repetition);
    if (extra.empty()) l.omitted = {0x0020000D, 0x00080020, 0x00080030, 0x00200052};
    return l;
}

const Attributes full = {{0x00080005, "ISO_IR 100"}, {0x0020000D, "1.2.826.0.1.3680043.9.1"},
                         {0x00200052, "1.2.826.0.1.3680043.9.2"}, {0x00200010, "QA7"},
                         {0x00080020, "20261209"}, {0x00080030, "0410"},
                         {0x00080050, "ACC1"}, {0x00080090, "Ref^Doc"},
                         {0x00100010, "Phantom^Sphere"}, {0x00100020, "PH-1"},
                         {0x00100030, "19990101"}, {0x00100040, "O"},
                         {0x00081010, "MRC40 "}, {0x00181000, "45123"},
                         {0x00080070, "Acme Medical"}, {0x00081090, "Model X"},
                         {0x00181250, "Head_32"}, {0x00180087, "2.89"},
                         {0x00180024, "*fl2d1"}, {0x00180080, "500"},
                         {0x00180081, "10"}, {0x00180050, "3"},
                         {0x00080022, "20261209"}, {0x00180015, "HEAD"},
                         {0x00185100, "HFS"}};

}  // namespace

TEST(SeriesIdentityTest, ASeriesGivesItsOriginAndOneWithoutGivesEmptyFields)
{
    struct Case {
        const char* name;
        Attributes attributes;
        SeriesIdentity expected;
    };
    SeriesIdentity named;
    named.characterSet = "ISO_IR 100";
    named.studyUid = "1.2.826.0.1.3680043.9.1";
    named.frameOfReferenceUid = "1.2.826.0.1.3680043.9.2";
    named.studyId = "QA7";
    named.studyDate = "20261209";
    named.studyTime = "0410";
    named.accessionNumber = "ACC1";
    named.referringPhysician = "Ref^Doc";
    named.patientName = "Phantom^Sphere";
    named.patientId = "PH-1";
    named.patientBirthDate = "19990101";
    named.patientSex = "O";
    named.bodyPart = "HEAD";
    named.patientPosition = "HFS";
    named.acquired = "20261209100000";
    named.station = "MRC40";
    named.serial = "45123";
    named.manufacturer = "Acme Medical";
    named.model = "Model X";
    named.receiveCoil = "Head_32";
    named.protocol = "snr_qa";
    named.sequence = "*fl2d1";
    named.fieldStrengthT = 2.89;
    named.repetitionTimeMs = 500;
    named.echoTimeMs = 10;
    named.sliceThicknessMm = 3;
    SeriesIdentity bare;
    bare.protocol = "snr_qa";
    bare.acquired = "100000";
    const Case cases[] = {{"every attribute", full, named}, {"none of them", {}, bare}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempFolder tmp;
        std::vector<DicomLayout> layouts;
        for (int r = 2; r >= 0; --r) layouts.push_back(image(0, r, c.attributes));
        const Written w = written(tmp, layouts);
        const SeriesIdentity id = seriesIdentity(w.source, w.stack);
        const SeriesIdentity& e = c.expected;
        const auto texts = [](const SeriesIdentity& i) {
            return std::vector<std::string>{i.characterSet, i.studyUid, i.frameOfReferenceUid, i.studyId, i.studyDate,
                                            i.studyTime, i.studyDescription, i.accessionNumber, i.referringPhysician,
                                            i.patientName, i.patientId, i.patientBirthDate, i.patientSex, i.bodyPart,
                                            i.patientPosition, i.acquired, i.station, i.serial, i.manufacturer,
                                            i.model, i.receiveCoil, i.protocol, i.sequence};
        };
        EXPECT_EQ(texts(id), texts(e));
        EXPECT_EQ(id.fieldStrengthT, e.fieldStrengthT);
        EXPECT_EQ(id.repetitionTimeMs, e.repetitionTimeMs);
        EXPECT_EQ(id.echoTimeMs, e.echoTimeMs);
        EXPECT_EQ(id.sliceThicknessMm, e.sliceThicknessMm);
    }
}

TEST(SeriesIdentityTest, InstancesFollowTheStacksSlicesAndRepetitions)
{
    const test::TempFolder classicFolder, enhancedFolder;
    std::vector<DicomLayout> classic;
    for (int s = 1; s >= 0; --s)
        for (int r = 2; r >= 0; --r) classic.push_back(image(s, r, {}));
    DicomLayout enhanced = image(0, 0, {});
    enhanced.enhanced = true;
    enhanced.frames = 4;
    enhanced.temporalPositions = {3, 1, 4, 2};
    enhanced.framePositions.assign(4, "0\\0\\0");
    const Written c = written(classicFolder, classic), e = written(enhancedFolder, {enhanced});

    const std::string mr = "1.2.840.10008.5.1.4.1.1.4", series = "1.2.826.0.1.3680043.9.7", root = series + ".";
    std::vector<std::vector<SourceInstance>> classicExpected(2);
    for (int s = 0; s < 2; ++s)
        for (int r = 0; r < 3; ++r)
            classicExpected[s].push_back({series, mr, root + std::to_string(s) + "." + std::to_string(r), std::nullopt});
    const std::string one = root + "0.0";
    const std::vector<std::vector<SourceInstance>> enhancedExpected = {
        {{series, mr + ".1", one, 2}, {series, mr + ".1", one, 4}, {series, mr + ".1", one, 1}, {series, mr + ".1", one, 3}}};
    EXPECT_EQ(sourceInstances(c.source, c.stack), classicExpected);
    EXPECT_EQ(sourceInstances(e.source, e.stack), enhancedExpected);

    Written raw = c;
    raw.source.format = SeriesSource::Format::Raw;
    EXPECT_TRUE(sourceInstances(raw.source, raw.stack).empty());
    EXPECT_EQ(seriesIdentity(raw.source, raw.stack).studyUid, "");
}
