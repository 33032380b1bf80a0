#include "export/DicomDecimal.h"
#include "export/DicomObjectPlan.h"
#include "export/GdcmSequence.h"

#include <gdcmDataSet.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

// The DICOM library's data-set writer, in a module of its own, so that only a
// run asked for DICOM results loads the library.
namespace quelby {

namespace {

constexpr const char* ParametricMapStorage = "1.2.840.10008.5.1.4.1.1.30";
constexpr const char* MrImageStorage = "1.2.840.10008.5.1.4.1.1.4";

gdcm::Tag tagOf(std::uint32_t tag)
{
    return gdcm::Tag(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag & 0xFFFF));
}

void putBytes(gdcm::DataSet& data, std::uint32_t tag, gdcm::VR vr, const char* bytes, std::size_t size)
{
    gdcm::DataElement e(tagOf(tag));
    e.SetVR(vr);
    e.SetByteValue(bytes, static_cast<std::uint32_t>(size));
    data.Replace(e);
}

// A text as its VR pads it to an even length.
void put(gdcm::DataSet& data, std::uint32_t tag, gdcm::VR vr, std::string value)
{
    if (value.size() % 2 != 0) value.push_back(vr == gdcm::VR::UI ? '\0' : ' ');
    putBytes(data, tag, vr, value.data(), value.size());
}

// A text from a source file, made to fit a single value of its VR: no control
// characters but the escapes of ISO 2022 character sets, no value separator,
// and no longer than the VR allows.
void putFitted(gdcm::DataSet& data, std::uint32_t tag, gdcm::VR vr, const std::string& untrusted)
{
    static const std::map<int, std::size_t> longest = {
        {gdcm::VR::AE, 16}, {gdcm::VR::CS, 16}, {gdcm::VR::DA, 8},  {gdcm::VR::DS, 16}, {gdcm::VR::LO, 64},
        {gdcm::VR::PN, 64}, {gdcm::VR::SH, 16}, {gdcm::VR::TM, 14}, {gdcm::VR::ST, 1024}};
    std::string value;
    for (const char c : untrusted)
        if ((static_cast<unsigned char>(c) >= 0x20 || c == 0x1B) && c != '\\' && c != 0x7F) value.push_back(c);
    const auto limit = longest.find(static_cast<int>(vr));
    if (limit != longest.end() && value.size() > limit->second) value.resize(limit->second);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    put(data, tag, vr, value);
}

template <typename T>
void putBinary(gdcm::DataSet& data, std::uint32_t tag, gdcm::VR vr, const std::vector<T>& values)
{
    putBytes(data, tag, vr, reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

void putSequence(gdcm::DataSet& data, std::uint32_t tag, const std::vector<gdcm::DataSet>& items)
{
    putGdcmSequence(data, tagOf(tag), items);
}

void putItem(gdcm::DataSet& data, std::uint32_t tag, const gdcm::DataSet& item) { putSequence(data, tag, {item}); }

gdcm::DataSet code(const DicomCode& c)
{
    gdcm::DataSet item;
    put(item, 0x00080100, gdcm::VR::SH, c.value);
    put(item, 0x00080102, gdcm::VR::SH, c.scheme);
    put(item, 0x00080104, gdcm::VR::LO, c.meaning);
    return item;
}

std::string decimals(std::initializer_list<double> values)
{
    std::string text;
    for (const double v : values) text += (text.empty() ? "" : "\\") + decimalString(v);
    return text;
}

std::string optionalDecimal(const std::optional<double>& value) { return value ? decimalString(*value) : ""; }

void putPatientAndStudy(gdcm::DataSet& d, const DicomObjectPlan& p)
{
    const SeriesIdentity& id = p.identity;
    if (!id.characterSet.empty()) put(d, 0x00080005, gdcm::VR::CS, id.characterSet);
    putFitted(d, 0x00100010, gdcm::VR::PN, id.patientName);
    putFitted(d, 0x00100020, gdcm::VR::LO, id.patientId);
    putFitted(d, 0x00100030, gdcm::VR::DA, id.patientBirthDate);
    putFitted(d, 0x00100040, gdcm::VR::CS, id.patientSex);
    put(d, 0x0020000D, gdcm::VR::UI, p.studyUid);
    putFitted(d, 0x00080020, gdcm::VR::DA, id.studyDate);
    putFitted(d, 0x00080030, gdcm::VR::TM, id.studyTime);
    putFitted(d, 0x00080090, gdcm::VR::PN, id.referringPhysician);
    putFitted(d, 0x00200010, gdcm::VR::SH, id.studyId);
    putFitted(d, 0x00080050, gdcm::VR::SH, id.accessionNumber);
    if (!id.studyDescription.empty()) putFitted(d, 0x00081030, gdcm::VR::LO, id.studyDescription);
    put(d, 0x00200052, gdcm::VR::UI, p.frameOfReferenceUid);
    put(d, 0x00201040, gdcm::VR::LO, "");
}

// The scanner that acquired the source, beside this program as the equipment that made the object.
gdcm::DataSet acquisitionEquipment(const SeriesIdentity& id)
{
    gdcm::DataSet item;
    putItem(item, 0x0040A170, code({"109101", "DCM", "Acquisition Equipment"}));
    putFitted(item, 0x00080070, gdcm::VR::LO, id.manufacturer);
    putFitted(item, 0x00081010, gdcm::VR::SH, id.station);
    putFitted(item, 0x00081090, gdcm::VR::LO, id.model);
    putFitted(item, 0x00181000, gdcm::VR::LO, id.serial);
    return item;
}

void putSeriesAndEquipment(gdcm::DataSet& d, const DicomObjectPlan& p)
{
    put(d, 0x00080060, gdcm::VR::CS, "MR");
    put(d, 0x0020000E, gdcm::VR::UI, p.seriesUid);
    put(d, 0x00200011, gdcm::VR::IS, std::to_string(p.seriesNumber));
    putFitted(d, 0x0008103E, gdcm::VR::LO, p.seriesDescription);
    put(d, 0x00080021, gdcm::VR::DA, p.contentDate);
    put(d, 0x00080031, gdcm::VR::TM, p.contentTime);
    put(d, 0x00200060, gdcm::VR::CS, "");
    putFitted(d, 0x00185100, gdcm::VR::CS, p.identity.patientPosition);
    if (!p.identity.bodyPart.empty()) putFitted(d, 0x00180015, gdcm::VR::CS, p.identity.bodyPart);
    put(d, 0x00080070, gdcm::VR::LO, "Quelby");
    put(d, 0x00081090, gdcm::VR::LO, "quelby-measure");
    put(d, 0x00181000, gdcm::VR::LO, "none");
    putFitted(d, 0x00181020, gdcm::VR::LO, p.software);
    // The item's manufacturer is required: a source that names none is not described by guesswork.
    if (!p.identity.manufacturer.empty()) putSequence(d, 0x0018A001, {acquisitionEquipment(p.identity)});
}

void putInstance(gdcm::DataSet& d, const DicomObjectPlan& p, const char* sopClass, const std::string& imageType)
{
    put(d, 0x00080016, gdcm::VR::UI, sopClass);
    put(d, 0x00080018, gdcm::VR::UI, p.instanceUid);
    put(d, 0x00200013, gdcm::VR::IS, std::to_string(p.instanceNumber));
    put(d, 0x00080023, gdcm::VR::DA, p.contentDate);
    put(d, 0x00080033, gdcm::VR::TM, p.contentTime);
    put(d, 0x00080012, gdcm::VR::DA, p.contentDate);
    put(d, 0x00080013, gdcm::VR::TM, p.contentTime);
    put(d, 0x00080008, gdcm::VR::CS, imageType);
    put(d, 0x00280301, gdcm::VR::CS, "NO");
    const std::vector<std::uint16_t> one{1}, rows{static_cast<std::uint16_t>(p.rows)},
        columns{static_cast<std::uint16_t>(p.columns)};
    putBinary(d, 0x00280002, gdcm::VR::US, one);
    put(d, 0x00280004, gdcm::VR::CS, "MONOCHROME2");
    putBinary(d, 0x00280010, gdcm::VR::US, rows);
    putBinary(d, 0x00280011, gdcm::VR::US, columns);
}

// The images a frame was made from, each as the source of an image processing operation.
gdcm::DataSet derivation(const DicomObjectPlan& p, const std::vector<SourceInstance>& sources)
{
    gdcm::DataSet item;
    putFitted(item, 0x00082111, gdcm::VR::ST, p.derivation.meaning + " over the repetitions, pixel by pixel");
    putItem(item, 0x00089215, code(p.derivation));
    std::vector<gdcm::DataSet> images;
    for (const SourceInstance& s : sources) {
        gdcm::DataSet image;
        put(image, 0x00081150, gdcm::VR::UI, s.sopClassUid);
        put(image, 0x00081155, gdcm::VR::UI, s.sopInstanceUid);
        if (s.frame) put(image, 0x00081160, gdcm::VR::IS, std::to_string(*s.frame));
        putItem(image, 0x0040A170, code({"121322", "DCM", "Source image for image processing operation"}));
        images.push_back(image);
    }
    putSequence(item, 0x00082112, images);
    return item;
}

// Every source instance, series by series.
void putCommonReferences(gdcm::DataSet& d, const DicomObjectPlan& p)
{
    std::map<std::string, std::set<std::pair<std::string, std::string>>> bySeries;
    for (const auto& frame : p.sources)
        for (const SourceInstance& s : frame) bySeries[s.seriesUid].insert({s.sopClassUid, s.sopInstanceUid});
    std::vector<gdcm::DataSet> series;
    for (const auto& [uid, instances] : bySeries) {
        gdcm::DataSet item;
        std::vector<gdcm::DataSet> referenced;
        for (const auto& [sopClass, sopInstance] : instances) {
            gdcm::DataSet r;
            put(r, 0x00081150, gdcm::VR::UI, sopClass);
            put(r, 0x00081155, gdcm::VR::UI, sopInstance);
            referenced.push_back(r);
        }
        putSequence(item, 0x0008114A, referenced);
        put(item, 0x0020000E, gdcm::VR::UI, uid);
        series.push_back(item);
    }
    if (!series.empty()) putSequence(d, 0x00081115, series);
}

std::string frameType(const DicomObjectPlan& p) { return "DERIVED\\PRIMARY\\" + p.contentLabel + "\\NONE"; }

gdcm::DataSet sharedGroups(const DicomObjectPlan& p)
{
    gdcm::DataSet shared, measures, orientation, transformation, window, mapping, types;
    const auto [r, c] = p.pixelSpacing;
    put(measures, 0x00280030, gdcm::VR::DS, decimals({r, c}));
    put(measures, 0x00180050, gdcm::VR::DS, optionalDecimal(p.sliceThickness));
    if (p.sliceSpacing) put(measures, 0x00180088, gdcm::VR::DS, decimalString(*p.sliceSpacing));
    putItem(shared, 0x00289110, measures);
    const auto& o = p.orientation;
    put(orientation, 0x00200037, gdcm::VR::DS, decimals({o[0], o[1], o[2], o[3], o[4], o[5]}));
    putItem(shared, 0x00209116, orientation);
    put(transformation, 0x00281052, gdcm::VR::DS, "0");
    put(transformation, 0x00281053, gdcm::VR::DS, "1");
    put(transformation, 0x00281054, gdcm::VR::LO, "US");
    putItem(shared, 0x00289145, transformation);
    put(window, 0x00281050, gdcm::VR::DS, p.windowCenter);
    put(window, 0x00281051, gdcm::VR::DS, p.windowWidth);
    putItem(shared, 0x00289132, window);
    putFitted(mapping, 0x00283003, gdcm::VR::LO, p.seriesDescription);
    putFitted(mapping, 0x00409210, gdcm::VR::SH, p.contentLabel);
    putItem(mapping, 0x004008EA, code(p.unit));
    putBinary(mapping, 0x00409213, gdcm::VR::FD, std::vector<double>{p.lowest});
    putBinary(mapping, 0x00409214, gdcm::VR::FD, std::vector<double>{p.highest});
    putBinary(mapping, 0x00409224, gdcm::VR::FD, std::vector<double>{0.0});
    putBinary(mapping, 0x00409225, gdcm::VR::FD, std::vector<double>{1.0});
    putItem(shared, 0x00409096, mapping);
    put(types, 0x00089007, gdcm::VR::CS, frameType(p));
    putItem(shared, 0x00409092, types);
    return shared;
}

std::vector<gdcm::DataSet> perFrameGroups(const DicomObjectPlan& p)
{
    std::vector<gdcm::DataSet> frames;
    for (std::size_t k = 0; k < p.positions.size(); ++k) {
        gdcm::DataSet frame, content, plane;
        const auto index = static_cast<std::uint32_t>(k + 1);
        putBinary(content, 0x00209157, gdcm::VR::UL, std::vector<std::uint32_t>{index});
        put(content, 0x00209056, gdcm::VR::SH, "1");
        putBinary(content, 0x00209057, gdcm::VR::UL, std::vector<std::uint32_t>{index});
        putItem(frame, 0x00209111, content);
        const auto& x = p.positions[k];
        put(plane, 0x00200032, gdcm::VR::DS, decimals({x[0], x[1], x[2]}));
        putItem(frame, 0x00209113, plane);
        if (k < p.sources.size() && !p.sources[k].empty()) putItem(frame, 0x00089124, derivation(p, p.sources[k]));
        frames.push_back(frame);
    }
    return frames;
}

// The frames are indexed by their place in the one stack, so viewers order them by position.
void putDimensions(gdcm::DataSet& d, const std::string& organization)
{
    gdcm::DataSet org, stackId, position;
    put(org, 0x00209164, gdcm::VR::UI, organization);
    putItem(d, 0x00209221, org);
    const auto pointer = [](std::uint32_t tag) {
        return std::vector<std::uint16_t>{static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag)};
    };
    put(position, 0x00209164, gdcm::VR::UI, organization);
    putBinary(position, 0x00209165, gdcm::VR::AT, pointer(0x00209057));
    putBinary(position, 0x00209167, gdcm::VR::AT, pointer(0x00209111));
    put(position, 0x00209421, gdcm::VR::LO, "slice");
    putItem(d, 0x00209222, position);
}

void putParametricMap(gdcm::DataSet& d, const DicomObjectPlan& p)
{
    putInstance(d, p, ParametricMapStorage, frameType(p));
    put(d, 0x00280302, gdcm::VR::CS, "NO");
    // Quality control of the scanner, not an image for diagnosis.
    put(d, 0x00189004, gdcm::VR::CS, "SERVICE");
    put(d, 0x00280008, gdcm::VR::IS, std::to_string(p.positions.size()));
    putBinary(d, 0x00280100, gdcm::VR::US, std::vector<std::uint16_t>{32});
    put(d, 0x00282110, gdcm::VR::CS, "00");
    put(d, 0x20500020, gdcm::VR::CS, "IDENTITY");
    put(d, 0x00700080, gdcm::VR::CS, p.contentLabel);
    putFitted(d, 0x00700081, gdcm::VR::LO, p.seriesDescription);
    put(d, 0x00700084, gdcm::VR::PN, "");
    put(d, 0x00089206, gdcm::VR::CS, "VOLUME");
    putSequence(d, 0x00400555, {});
    putDimensions(d, p.seriesUid + ".1");
    putItem(d, 0x52009229, sharedGroups(p));
    putSequence(d, 0x52009230, perFrameGroups(p));
    putCommonReferences(d, p);
    putBinary(d, 0x7FE00008, gdcm::VR::OF, p.values);
}

void putMrImage(gdcm::DataSet& d, const DicomObjectPlan& p)
{
    const SeriesIdentity& id = p.identity;
    putInstance(d, p, MrImageStorage, "DERIVED\\SECONDARY\\OTHER");
    const auto& o = p.orientation;
    const auto& x = p.positions.front();
    put(d, 0x00280030, gdcm::VR::DS, decimals({p.pixelSpacing.first, p.pixelSpacing.second}));
    put(d, 0x00200037, gdcm::VR::DS, decimals({o[0], o[1], o[2], o[3], o[4], o[5]}));
    put(d, 0x00200032, gdcm::VR::DS, decimals({x[0], x[1], x[2]}));
    put(d, 0x00180050, gdcm::VR::DS, optionalDecimal(p.sliceThickness));
    putBinary(d, 0x00280100, gdcm::VR::US, std::vector<std::uint16_t>{16});
    putBinary(d, 0x00280101, gdcm::VR::US, std::vector<std::uint16_t>{16});
    putBinary(d, 0x00280102, gdcm::VR::US, std::vector<std::uint16_t>{15});
    putBinary(d, 0x00280103, gdcm::VR::US, std::vector<std::uint16_t>{0});
    // A derived image keeps the acquisition it came from; research mode where the source does not say.
    putFitted(d, 0x00180020, gdcm::VR::CS, id.scanningSequence.empty() ? "RM" : id.scanningSequence);
    putFitted(d, 0x00180021, gdcm::VR::CS, id.sequenceVariant.empty() ? "NONE" : id.sequenceVariant);
    put(d, 0x00180022, gdcm::VR::CS, "");
    put(d, 0x00180023, gdcm::VR::CS, "2D");
    put(d, 0x00180080, gdcm::VR::DS, optionalDecimal(id.repetitionTimeMs));
    put(d, 0x00180081, gdcm::VR::DS, optionalDecimal(id.echoTimeMs));
    put(d, 0x00180091, gdcm::VR::IS, "");
    if (id.fieldStrengthT) put(d, 0x00180087, gdcm::VR::DS, decimalString(*id.fieldStrengthT));
    put(d, 0x00281052, gdcm::VR::DS, p.intercept);
    put(d, 0x00281053, gdcm::VR::DS, p.slope);
    put(d, 0x00281054, gdcm::VR::LO, "US");
    put(d, 0x00281050, gdcm::VR::DS, p.windowCenter);
    put(d, 0x00281051, gdcm::VR::DS, p.windowWidth);
    if (!p.sources.empty() && !p.sources.front().empty()) {
        const gdcm::DataSet made = derivation(p, p.sources.front());
        for (const std::uint32_t tag : {0x00082111u, 0x00089215u, 0x00082112u}) d.Replace(made.GetDataElement(tagOf(tag)));
    }
    putBinary(d, 0x7FE00010, gdcm::VR::OW, p.stored);
}

void write(const DicomObjectPlan& p, DicomWritten& out)
{
    gdcm::Trace::SetWarning(false);
    gdcm::Writer writer;
    gdcm::DataSet& d = writer.GetFile().GetDataSet();
    putPatientAndStudy(d, p);
    putSeriesAndEquipment(d, p);
    if (p.kind == DicomObjectPlan::Kind::Parametric)
        putParametricMap(d, p);
    else
        putMrImage(d, p);
    gdcm::FileMetaInformation& meta = writer.GetFile().GetHeader();
    meta.SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    meta.FillFromDataSet(d);
    std::ostringstream stream;
    writer.SetStream(stream);
    if (!writer.Write()) {
        out.error = "the DICOM library cannot encode it";
        return;
    }
    const std::string bytes = std::move(stream).str();
    out.bytes.assign(bytes.begin(), bytes.end());
}

}  // namespace

}  // namespace quelby

extern "C" __attribute__((visibility("default"))) void quelby_dicom_writer_write(const quelby::DicomObjectPlan& plan,
                                                                                quelby::DicomWritten& written)
{
    try {
        quelby::write(plan, written);
    } catch (const std::exception& e) {
        written.error = e.what();
    }
}
