#include "engine/io/DicomStructure.h"

#include "engine/io/DicomImage.h"
#include "engine/io/DicomValues.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

namespace quelby {

namespace {

// The checks before the DICOM library sees a file. The library asserts, and so
// aborts the process, when a file ends inside its header, and reads a file cut
// inside its pixel data as complete; it only ever sees files that pass this walk.
// Given the first bytes of a larger file, the walk checks against the file's
// size and notes when it needs a byte it was not given: a walk that needed none
// is the walk of the whole file.
class StructureWalk {
public:
    StructureWalk(std::span<const unsigned char> bytes, std::size_t fileSize, DicomStructure& found)
        : bytes_(bytes), size_(fileSize), found_(found)
    {
    }

    // Whether the walk needed bytes beyond those given.
    bool wanting() const { return wanting_; }

    bool fits()
    {
        std::size_t at = DicomPrefixBytes;
        std::string ts;
        // The file meta information: explicit VR little endian, group 0002.
        while (at + 4 <= size_ && u16(at, false) == 0x0002) {
            Element e;
            if (!header(at, Encoding::ExplicitLittle, e) || e.undefined || !within(e.value, e.length)) return false;
            if (u16(at + 2, false) == 0x0010 && given(e.value, e.length))
                ts.assign(reinterpret_cast<const char*>(bytes_.data() + e.value), e.length);
            if (u16(at + 2, false) == 0x0002) found_.sopClass = text(e);
            at = e.value + e.length;
        }
        while (!ts.empty() && (ts.back() == '\0' || ts.back() == ' ')) ts.pop_back();
        // The library's reading of the meta information cannot meet the end of the file.
        if (ts.empty() || !within(at, 4)) return false;
        found_.transferSyntax = ts;
        std::size_t end = 0;
        if (ts == "1.2.840.10008.1.2.1.99") {
            std::vector<unsigned char> inflated;
            if (!inflateRest(at, inflated)) return false;
            StructureWalk walk(inflated, inflated.size(), found_);
            const bool fits = walk.dataSet(0, inflated.size(), Encoding::ExplicitLittle, 0, false, end);
            found_.pixelData.reset();  // they pointed into the inflated copy
            found_.pixelDataOffset.reset();
            return fits;
        }
        const bool implicit = ts == "1.2.840.10008.1.2";
        found_.bigEndian = ts == "1.2.840.10008.1.2.2";
        found_.native = implicit || found_.bigEndian || ts == "1.2.840.10008.1.2.1";
        const Encoding encoding = implicit             ? Encoding::ImplicitLittle
                                  : found_.bigEndian ? Encoding::ExplicitBig
                                                     : Encoding::ExplicitLittle;
        return dataSet(at, size_, encoding, 0, false, end);
    }

private:
    enum class Encoding { ImplicitLittle, ExplicitLittle, ExplicitBig };
    static constexpr std::uint32_t Undefined = 0xFFFFFFFF;
    // Sequences within sequences; real objects nest a few, and the walk recurses once per level.
    static constexpr int DeepestNesting = 128;

    struct Element {
        std::uint16_t group = 0, element = 0;
        char vr[2] = {0, 0};  // explicit VR only
        bool sequence = false;   // SQ, or of unknown VR with an undefined length
        bool undefined = false;  // undefined length
        std::size_t value = 0;
        std::size_t length = 0;
    };

    // The raw deflate stream from `at` to the end of the file, whole, and
    // no more than readingCeiling of the file. What the header promises is
    // checked once the inflated data set is walked: its pixel data must hold
    // exactly the image its attributes describe.
    bool inflateRest(std::size_t at, std::vector<unsigned char>& out) const
    {
        if (bytes_.size() < size_) {
            wanting_ = true;
            return false;
        }
        const std::size_t ceiling = readingCeiling(bytes_.size());
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
        z.next_in = const_cast<unsigned char*>(bytes_.data() + at);
        z.avail_in = static_cast<uInt>(bytes_.size() - at);
        int status = Z_OK;
        while (status == Z_OK && out.size() < ceiling) {
            const std::size_t done = out.size();
            out.resize(done + 65536);
            z.next_out = out.data() + done;
            z.avail_out = 65536;
            status = inflate(&z, Z_NO_FLUSH);
            out.resize(done + 65536 - z.avail_out);
        }
        inflateEnd(&z);
        return status == Z_STREAM_END;
    }

    bool within(std::size_t at, std::size_t count) const { return at <= size_ && count <= size_ - at; }

    // Whether the bytes are among those given; notes it when they are not.
    bool given(std::size_t at, std::size_t count) const
    {
        const bool in = at <= bytes_.size() && count <= bytes_.size() - at;
        wanting_ |= !in;
        return in;
    }

    std::uint16_t u16(std::size_t at, bool big) const
    {
        if (!given(at, 2)) return 0;
        const unsigned a = bytes_[at], b = bytes_[at + 1];
        return static_cast<std::uint16_t>(big ? (a << 8 | b) : (b << 8 | a));
    }

    std::uint32_t u32(std::size_t at, bool big) const
    {
        const std::uint32_t lo = u16(at, big), hi = u16(at + 2, big);
        return big ? (lo << 16 | hi) : (hi << 16 | lo);
    }

    bool header(std::size_t at, Encoding encoding, Element& e) const
    {
        const bool big = encoding == Encoding::ExplicitBig;
        if (!within(at, 8) || !given(at, 8)) return false;
        e.group = u16(at, big);
        e.element = u16(at + 2, big);
        std::uint32_t length = 0;
        if (e.group == 0xFFFE || encoding == Encoding::ImplicitLittle) {
            length = u32(at + 4, big);
            e.value = at + 8;
            e.sequence = length == Undefined;
        } else {
            const char vr[2] = {static_cast<char>(bytes_[at + 4]), static_cast<char>(bytes_[at + 5])};
            e.vr[0] = vr[0];
            e.vr[1] = vr[1];
            const auto is = [&](const char* f) { return vr[0] == f[0] && vr[1] == f[1]; };
            static constexpr const char* longForms[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                                        "SV", "UC", "UN", "UR", "UT", "UV"};
            static constexpr const char* shortForms[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD",
                                                         "IS", "LO", "LT", "PN", "SH", "SL", "SS", "ST", "TM",
                                                         "UI", "UL", "US"};
            const bool longForm = std::any_of(std::begin(longForms), std::end(longForms), is);
            // The library reads an unknown VR otherwise than this walk would, and may abort on it.
            if (!longForm && std::none_of(std::begin(shortForms), std::end(shortForms), is)) return false;
            if (longForm) {
                if (!within(at, 12) || !given(at, 12)) return false;
                length = u32(at + 8, big);
                e.value = at + 12;
            } else {
                length = u16(at + 6, big);
                e.value = at + 8;
            }
            e.sequence = vr[0] == 'S' && vr[1] == 'Q';
        }
        e.undefined = length == Undefined;
        e.length = e.undefined ? 0 : length;
        return true;
    }

    // Elements from `at` up to `end`, or, when `inItem`, up to an item
    // delimiter; `after` is the byte past the last one.
    bool dataSet(std::size_t at, std::size_t end, Encoding encoding, int depth, bool inItem, std::size_t& after)
    {
        while (at < end) {
            Element e;
            if (!header(at, encoding, e)) return false;
            if (e.group == 0xFFFE && e.element == 0xE00D) {
                after = e.value;
                return inItem;
            }
            const bool big = encoding == Encoding::ExplicitBig;
            if (!expectedVr(e)) return false;
            if (depth == 0) capture(e, big);
            captureAnyDepth(e, big);
            const bool perFrame = depth == 0 && e.group == 0x5200 && e.element == 0x9230;
            if (perFrame) inPerFrame_ = true;
            const bool ok = skip(e, end, encoding, depth, at);
            if (perFrame) inPerFrame_ = false;
            if (!ok) return false;
        }
        after = at;
        return !inItem && at == end;
    }

    // Past one element; an undefined length holds items up to the sequence
    // delimiter: a sequence, encapsulated pixel data, or UN holding an
    // implicit little endian sequence.
    bool skip(const Element& e, std::size_t end, Encoding encoding, int depth, std::size_t& next)
    {
        const bool pixelData = e.group == 0x7FE0 && e.element == 0x0010;
        if (!e.undefined) {
            if (!within(e.value, e.length) || e.value + e.length > end) return false;
            next = e.value + e.length;
            return !e.sequence || items(e.value, next, encoding, depth + 1);
        }
        const Encoding inner = e.sequence || pixelData ? encoding : Encoding::ImplicitLittle;
        std::size_t at = e.value;
        for (;;) {
            Element item;
            if (!header(at, inner, item) || item.group != 0xFFFE) return false;
            if (item.element == 0xE0DD) {
                next = item.value;
                return next <= end;
            }
            if (item.element != 0xE000 || !oneItem(item, end, inner, depth + 1, pixelData, at)) return false;
        }
    }

    // The items of a sequence of defined length.
    bool items(std::size_t at, std::size_t end, Encoding encoding, int depth)
    {
        while (at < end) {
            Element item;
            if (!header(at, encoding, item) || item.group != 0xFFFE || item.element != 0xE000) return false;
            if (!oneItem(item, end, encoding, depth, false, at)) return false;
        }
        return at == end;
    }

    bool oneItem(const Element& item, std::size_t end, Encoding encoding, int depth, bool fragment,
                 std::size_t& after)
    {
        if (depth > DeepestNesting) return false;
        // Each item of the top-level per-frame functional groups is one frame.
        if (inPerFrame_ && depth == 1) found_.frameOrder.emplace_back();
        if (item.undefined) return !fragment && dataSet(item.value, end, encoding, depth, true, after);
        if (!within(item.value, item.length) || item.value + item.length > end) return false;
        after = item.value + item.length;
        std::size_t ignored = 0;
        if (fragment && depth == 1) keepFragment(item);
        return fragment || dataSet(item.value, after, encoding, depth, false, ignored);
    }

    // What tells the frames of encapsulated pixel data apart: each opens with its codec's marker.
    void keepFragment(const Element& item)
    {
        std::uint32_t head = 0;
        if (!given(item.value, std::min<std::size_t>(item.length, 4))) return;
        for (std::size_t i = 0; i < 4; ++i)
            head = head << 8 | (i < item.length ? bytes_[item.value + i] : 0u);
        found_.fragmentHeads.push_back(head);
        found_.fragmentBytes += item.length;
    }

    // The image attributes the library reads, asserting, where the VR is not theirs.
    static bool expectedVr(const Element& e)
    {
        if (e.vr[0] == 0 || (e.group != 0x0028 && e.group != 0x0020 && e.group != 0x0018)) return true;
        static constexpr struct {
            std::uint32_t tag;
            const char* vr;
        } vrs[] = {{0x00280002, "US"}, {0x00280004, "CS"}, {0x00280006, "US"}, {0x00280008, "IS"},
                   {0x00280010, "US"}, {0x00280011, "US"}, {0x00280030, "DS"}, {0x00280034, "IS"},
                   {0x00280100, "US"}, {0x00280101, "US"}, {0x00280102, "US"}, {0x00280103, "US"},
                   {0x00281050, "DS"}, {0x00281051, "DS"}, {0x00281052, "DS"}, {0x00281053, "DS"},
                   {0x00200032, "DS"}, {0x00200037, "DS"}, {0x00180050, "DS"}, {0x00180088, "DS"}};
        const std::uint32_t tag = std::uint32_t{e.group} << 16 | e.element;
        for (const auto& expected : vrs)
            if (expected.tag == tag) return e.vr[0] == expected.vr[0] && e.vr[1] == expected.vr[1];
        return true;
    }

    std::string text(const Element& e) const
    {
        if (!given(e.value, e.length)) return {};
        std::string t(reinterpret_cast<const char*>(bytes_.data() + e.value), e.length);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
        while (!t.empty() && t.front() == ' ') t.erase(0, 1);
        return t;
    }

    // A decimal string (DS) or, with eight bytes, a double (FD).
    std::optional<double> number(const Element& e, bool big, bool binary) const
    {
        if (!binary) return decimalValue(text(e));
        if (e.length != 8 || !given(e.value, 8)) return std::nullopt;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            const unsigned b = bytes_[e.value + static_cast<std::size_t>(big ? i : 7 - i)];
            bits = bits << 8 | b;
        }
        return std::bit_cast<double>(bits);
    }

    // Unsigned longs (UL), or attribute tags (AT) as group << 16 | element.
    std::vector<std::uint32_t> unsignedLongs(const Element& e, bool big, bool tags) const
    {
        std::vector<std::uint32_t> values;
        for (std::size_t at = e.value; at + 4 <= e.value + e.length; at += 4)
            values.push_back(tags ? std::uint32_t{u16(at, big)} << 16 | u16(at + 2, big) : u32(at, big));
        return values;
    }

    std::optional<std::uint32_t> unsignedLong(const Element& e, bool big) const
    {
        if (e.length != 4) return std::nullopt;
        return u32(e.value, big);
    }

    // The frame whose per-frame functional groups the walk is in, if any.
    DicomStructure::FrameFacts* frame() const
    {
        return inPerFrame_ && !found_.frameOrder.empty() ? &found_.frameOrder.back() : nullptr;
    }

    // Attributes an enhanced object keeps in its functional groups: the first
    // occurrence at any depth, and each frame's own.
    void captureAnyDepth(const Element& e, bool big)
    {
        if (e.undefined || !within(e.value, e.length)) return;
        const auto first = [](auto& into, auto value) {
            if (!into.has_value() && value.has_value()) into = value;
        };
        const auto firstText = [](std::string& into, const std::string& value) {
            if (into.empty()) into = value;
        };
        DicomStructure::FrameFacts* const own = frame();
        const std::uint32_t tag = std::uint32_t{e.group} << 16 | e.element;
        switch (tag) {
        case 0x00280030: firstText(found_.pixelSpacing, text(e)); break;
        case 0x00180050: first(found_.sliceThickness, number(e, big, false)); break;
        case 0x00180080: first(found_.repetitionTimeMs, number(e, big, false)); break;
        case 0x00180087: first(found_.origin.fieldStrengthT, number(e, big, false)); break;
        case 0x00181250: firstText(found_.origin.receiveCoil, text(e)); break;
        case 0x00189069: first(found_.reductionInPlane, number(e, big, true)); break;
        case 0x00189155: first(found_.reductionOutOfPlane, number(e, big, true)); break;
        case 0x00209165: {
            const std::vector<std::uint32_t> pointer = unsignedLongs(e, big, true);
            if (!inPerFrame_ && pointer.size() == 1) found_.dimensionPointers.push_back(pointer.front());
            break;
        }
        case 0x00200032:
            firstText(found_.imagePosition, text(e));
            if (own) own->imagePosition = text(e);
            break;
        case 0x00200037:
            firstText(found_.imageOrientation, text(e));
            if (own) own->imageOrientation = text(e);
            break;
        case 0x00281053:
            first(found_.rescaleSlope, number(e, big, false));
            if (own) own->rescaleSlope = number(e, big, false);
            break;
        case 0x00281052:
            first(found_.rescaleIntercept, number(e, big, false));
            if (own) own->rescaleIntercept = number(e, big, false);
            break;
        case 0x00189082:  // Effective Echo Time
            first(found_.echoTimeMs, number(e, big, true));
            if (own) own->echoTimeMs = number(e, big, true);
            break;
        case 0x00089208:  // Complex Image Component
            firstText(found_.imageType, imageTypeOf(text(e)));
            if (own) own->imageType = imageTypeOf(text(e));
            break;
        default: break;
        }
        if (!own) return;
        switch (tag) {
        case 0x00209128: own->temporal = unsignedLong(e, big); break;
        case 0x00209057: own->stack = unsignedLong(e, big); break;
        case 0x00209056: own->stackId = text(e); break;
        case 0x00209157: own->dimensionIndex = unsignedLongs(e, big, false); break;
        default: break;
        }
    }

    // M, P, R or I from what scanners write: M, MAGNITUDE, Philips' M_SE, R_FFE …
    static std::string imageTypeOf(const std::string& value)
    {
        static constexpr std::string_view words[] = {"MAGNITUDE", "PHASE", "PHASE MAP", "REAL", "IMAGINARY"};
        const bool letter = value.size() == 1 || (value.size() > 2 && value[1] == '_');
        const bool word = std::find(std::begin(words), std::end(words), value) != std::end(words);
        if ((letter || word) && std::string_view("MPRI").find(value.front()) != std::string_view::npos)
            return value.substr(0, 1);
        return "";
    }

    // Value `index` of a multi-valued text, counted from 0.
    static std::string valueAt(const std::string& text, int index)
    {
        std::size_t from = 0;
        for (int k = 0; k < index; ++k) {
            const std::size_t at = text.find('\\', from);
            if (at == std::string::npos) return "";
            from = at + 1;
        }
        return text.substr(from, text.find('\\', from) - from);
    }

    // The image attributes of the top-level data set, values checked to lie within the file.
    void capture(const Element& e, bool big)
    {
        const bool pixelData = e.group == 0x7FE0 && e.element == 0x0010;
        found_.pixelDataGiven |= pixelData;
        if (e.undefined || !within(e.value, e.length)) return;
        if (pixelData) {
            // The only value a walk of the first bytes may leave unread.
            if (e.value + e.length <= bytes_.size()) found_.pixelData = bytes_.subspan(e.value, e.length);
            found_.pixelDataOffset = e.value;
            found_.pixelDataBytes = e.length;
            return;
        }
        if (captureDescription(e) || captureOrigin(e)) return;
        if (e.group != 0x0028) return;
        const auto text = [&] { return this->text(e); };
        const auto unreadable = [&] { found_.unreadable.push_back(std::uint32_t{e.group} << 16 | e.element); };
        const auto unsignedShort = [&](std::optional<int>& into) {
            if (e.length == 2)
                into = u16(e.value, big);
            else
                unreadable();
        };
        switch (e.element) {
        case 0x0002: unsignedShort(found_.samplesPerPixel); break;
        case 0x0004: found_.photometric = text(); break;
        case 0x0008:
            found_.frames = integerValue(text());
            if (!found_.frames) unreadable();
            break;
        case 0x0010: unsignedShort(found_.rows); break;
        case 0x0011: unsignedShort(found_.columns); break;
        case 0x0100: unsignedShort(found_.bitsAllocated); break;
        case 0x0103: unsignedShort(found_.pixelRepresentation); break;
        default: break;
        }
    }

    // What tells the images of a folder apart and orders them; whether `e` was one.
    bool captureDescription(const Element& e)
    {
        const std::uint32_t tag = std::uint32_t{e.group} << 16 | e.element;
        DicomStructure& f = found_;
        switch (tag) {
        case 0x0020000E: f.seriesUid = text(e); return true;
        case 0x00080016: f.sopClass = text(e); return true;
        case 0x0008103E: f.seriesDescription = text(e); return true;
        case 0x00181030: f.protocolName = text(e); return true;
        case 0x00180024: f.sequenceName = text(e); return true;
        case 0x00200011: f.seriesNumber = integerValue(text(e)); return true;
        case 0x00200013: f.instanceNumber = integerValue(text(e)); return true;
        case 0x00200012: f.acquisitionNumber = integerValue(text(e)); return true;
        case 0x00200100: f.temporalPositionId = integerValue(text(e)); return true;
        case 0x00180086: f.echoNumber = integerValue(valueAt(text(e), 0)); return true;
        case 0x00180081: f.echoTimeMs = decimalValue(text(e)); return true;
        case 0x00080008: f.imageType = imageTypeOf(valueAt(text(e), 2)); return true;
        case 0x0051100F:
        case 0x0021114F: f.coil = text(e); return true;
        case 0x00080022: f.acquisitionDate = text(e); return true;
        case 0x00080032: f.acquisitionTime = text(e); return true;
        case 0x00080023: f.contentDate = text(e); return true;
        case 0x00080033: f.contentTime = text(e); return true;
        case 0x0008002A: f.acquisitionDateTime = text(e); return true;
        default: return false;
        }
    }

    // Who and what made the image; whether `e` was one of them.
    bool captureOrigin(const Element& e)
    {
        using Origin = DicomStructure::Origin;
        static constexpr struct {
            std::uint32_t tag;
            std::string Origin::*field;
        } texts[] = {{0x00080005, &Origin::characterSet},     {0x00080018, &Origin::sopInstanceUid},
                     {0x0020000D, &Origin::studyUid},         {0x00200052, &Origin::frameOfReferenceUid},
                     {0x00200010, &Origin::studyId},          {0x00080020, &Origin::studyDate},
                     {0x00080030, &Origin::studyTime},        {0x00081030, &Origin::studyDescription},
                     {0x00080050, &Origin::accessionNumber},  {0x00080090, &Origin::referringPhysician},
                     {0x00100010, &Origin::patientName},      {0x00100020, &Origin::patientId},
                     {0x00100030, &Origin::patientBirthDate}, {0x00100040, &Origin::patientSex},
                     {0x00081010, &Origin::station},          {0x00181000, &Origin::serial},
                     {0x00080070, &Origin::manufacturer},     {0x00081090, &Origin::model},
                     {0x00180015, &Origin::bodyPart},         {0x00185100, &Origin::patientPosition},
                     {0x00180020, &Origin::scanningSequence}, {0x00180021, &Origin::sequenceVariant}};
        const std::uint32_t tag = std::uint32_t{e.group} << 16 | e.element;
        for (const auto& t : texts)
            if (t.tag == tag) {
                found_.origin.*t.field = text(e);
                return true;
            }
        return false;
    }

    std::span<const unsigned char> bytes_;
    std::size_t size_;
    DicomStructure& found_;
    bool inPerFrame_ = false;
    mutable bool wanting_ = false;
};


}  // namespace

std::optional<DicomStructure> walkDicomStructure(std::span<const unsigned char> file)
{
    return walkDicomHeader(file, file.size()).structure;
}

DicomHeaderWalk walkDicomHeader(std::span<const unsigned char> firstBytes, std::size_t fileSize)
{
    DicomStructure found;
    StructureWalk walk(firstBytes.first(std::min(firstBytes.size(), fileSize)), fileSize, found);
    const bool fits = walk.fits();
    if (walk.wanting()) return {std::nullopt, true};
    if (!fits) return {};
    // Values the library asserts on rather than refuses.
    const auto within = [](const std::optional<int>& v, int low, int high) { return !v || (*v >= low && *v <= high); };
    if (!within(found.samplesPerPixel, 1, 4) || !within(found.bitsAllocated, 1, 64) || !within(found.rows, 1, 65535) ||
        !within(found.columns, 1, 65535) || !within(found.frames, 1, 1 << 24) || !within(found.pixelRepresentation, 0, 1))
        return {};
    return {std::move(found), false};
}

}  // namespace quelby
