// The window refuses a DICOM folder of more than one slice, echo, coil element
// or image type at the start of the series, and measures a one-slice folder as before.

#include "DicomSeries.h"
#include "ModalCatcher.h"
#include "ReferenceMaps.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>

#include <cstring>
#include <map>

using quelby::DicomLayout;
using quelby::TForm1;
using quelby::mapStore;

namespace {

using Attributes = std::map<std::uint32_t, std::string>;
using Samples = std::vector<std::int32_t>;

constexpr std::uint32_t ImageType = 0x00080008, EchoTime = 0x00180081, EchoNumbers = 0x00180086,
                        CoilElement = 0x0051100F;

// Four repetitions, distinct in every pixel.
std::vector<Samples> repetitions()
{
    std::vector<Samples> files(4, Samples(quelby::FramePixels));
    for (int k = 0; k < 4; ++k)
        for (int p = 0; p < quelby::FramePixels; ++p) files[k][p] = 500 + (p * 7 + k * 13) % 211;
    return files;
}

// The layout of file k of a folder.
using LayoutOf = std::function<DicomLayout(int k)>;

DicomLayout withAttributes(Attributes attributes)
{
    DicomLayout layout;
    layout.attributes = std::move(attributes);
    return layout;
}

}  // namespace

Q_DECLARE_METATYPE(LayoutOf)

namespace {

// Files 1 to 3 with the first value, file 4 with the second.
LayoutOf alternating(std::uint32_t tag, const std::string& first, const std::string& second)
{
    return [=](int k) { return withAttributes({{tag, k < 3 ? first : second}}); };
}

}  // namespace

class MixedFolderRefusalTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QTemporaryDir root;

    QString dicomFolder(const QString& name, const LayoutOf& layoutOf) const
    {
        const QString folder = root.path() + u'/' + name;
        QDir().mkpath(folder);
        const std::vector<Samples> files = repetitions();
        for (int k = 0; k < static_cast<int>(files.size()); ++k) {
            writeDicomImage(QStringLiteral("%1/IM_%2.dcm").arg(folder).arg(k + 1).toStdString(), layoutOf(k), files[k]);
        }
        return folder;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
        // Plain mode: the folder under test is SeriesA.
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QVERIFY(!form->CheckBox1->isChecked());
    }

    void cleanupTestCase() { delete form; }

    void mixedFoldersAreRefusedNamingWhatTheyHold_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<LayoutOf>("layoutOf");
        QTest::addColumn<QString>("message");
        // The library writes an axial orientation into every file.
        QTest::newRow("two slices along the normal") << "slices" << LayoutOf([](int k) {
            DicomLayout layout;
            layout.imagePosition = k < 3 ? "-120\\-120\\-10" : "-120\\-120\\-15.5";
            return layout;
        }) << "2 か所のスライス位置の画像を含む系列は測定できません (1 スライスのみ): IM_1.dcm -10.00 mm, IM_4.dcm -15.50 mm.";
        QTest::newRow("in-plane shifts are one slice") << "shifted" << LayoutOf([](int k) {
            DicomLayout layout;
            layout.imagePosition = k < 3 ? "-120\\-120\\-10" : "-110\\-125\\-10";
            layout.attributes[ImageType] = k < 2 ? "ORIGINAL\\PRIMARY\\M\\ND" : "ORIGINAL\\PRIMARY\\P\\ND";
            return layout;
        }) << "2 種類の画像タイプの画像を含む系列は測定できません (1 種類のみ): IM_1.dcm M, IM_3.dcm P.";
        QTest::newRow("two echoes") << "echoes" << LayoutOf([](int k) {
            return withAttributes({{EchoNumbers, k % 2 ? "2" : "1"}, {EchoTime, k % 2 ? "80" : "10"}});
        }) << "2 種類のエコーの画像を含む系列は測定できません (1 エコーのみ): IM_1.dcm エコー 1 (TE 10.00 ms), IM_2.dcm エコー 2 (TE 80.00 ms)";
        QTest::newRow("two coil elements")
            << "coils" << alternating(CoilElement, "H1", "H2")
            << "2 個のコイルエレメントの画像を含む系列は測定できません (1 エレメントのみ): IM_1.dcm H1, IM_4.dcm H2.";
        QTest::newRow("magnitude and phase")
            << "types" << alternating(ImageType, "ORIGINAL\\PRIMARY\\M\\ND", "ORIGINAL\\PRIMARY\\P\\ND")
            << "2 種類の画像タイプの画像を含む系列は測定できません (1 種類のみ): IM_1.dcm M, IM_4.dcm P.";
    }

    void mixedFoldersAreRefusedNamingWhatTheyHold()
    {
        QFETCH(QString, name);
        QFETCH(LayoutOf, layoutOf);
        QFETCH(QString, message);
        const QString folder = dicomFolder(name, layoutOf);
        const ModalCatcher boxes;
        windowtest::runOn(*form, folder, folder);
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().text, message);
        // Refused before the first file of the series is summed.
        QVERIFY(form->ProgressBar1->isVisible());
        QCOMPARE(mapStore().CountA, 4);
        const auto signal = quelby::pixelsOf(mapStore().SignalMapA);
        QVERIFY(std::all_of(signal.begin(), signal.end(), [](double v) { return v == 0.0; }));
    }

    // One slice written with its geometry, echo, coil and type on every file.
    void aOneSliceFolderIsMeasured()
    {
        const QString folder = dicomFolder(QStringLiteral("one"), [](int) {
            DicomLayout layout = withAttributes(
                {{EchoNumbers, "1"}, {EchoTime, "10"}, {CoilElement, "H1"}, {ImageType, "ORIGINAL\\PRIMARY\\M\\ND"}});
            layout.imagePosition = "-120\\-120\\-10";
            return layout;
        });
        const ModalCatcher boxes;
        windowtest::runOn(*form, folder, folder);
        QCOMPARE(boxes.seen().size(), 0);
        const quelby::test::ReferenceMaps expected = quelby::test::referenceMaps(repetitions());
        QVERIFY(std::memcmp(mapStore().SignalMapA[0].data(), expected.signal.data(), sizeof(quelby::Map)) == 0);
        QVERIFY(std::memcmp(mapStore().NoiseMapA[0].data(), expected.noise.data(), sizeof(quelby::Map)) == 0);
    }
};

QTEST_MAIN(MixedFolderRefusalTest)
#include "MixedFolderRefusalTest.moc"
