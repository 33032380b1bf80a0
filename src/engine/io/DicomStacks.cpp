#include "engine/io/DicomStacks.h"

#include "engine/core/InputError.h"
#include "engine/io/DicomHeader.h"
#include "engine/io/DicomImageCheck.h"
#include "engine/io/DicomImageFacts.h"
#include "engine/io/DicomStructure.h"
#include "engine/io/FileFailure.h"
#include "engine/io/InputFile.h"
#include "engine/io/SeriesJoin.h"
#include "engine/io/StackGrouping.h"
#include "engine/kernel/TwoThreads.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <new>
#include <set>

namespace quelby {

namespace {

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What the stacking takes from one file.
struct FileFacts {
    std::vector<DicomImageFacts> images;  // none when it holds none
    std::optional<SkippedFile> skipped;
    FileInstance instance;
};

// The images of file `index`.
FileFacts factsOf(const SeriesSource& source, std::uint32_t index)
{
    const std::string& path = source.files[index];
    const std::string name = fileName(path);
    const InputFile file(path);
    if (!file.startsAsDicom()) return {{}, SkippedFile{name, "not a DICOM file"}, {}};
    std::vector<unsigned char> bytes;
    const std::optional<DicomStructure> structure = readDicomHeader(file, bytes);
    if (!structure) throw InputError(name + ": a truncated or corrupt DICOM file");
    if (!meantAsImage(*structure)) return {{}, SkippedFile{name, "a DICOM object without an image"}, {}};
    if (const std::string defect = imageDefect(*structure); !defect.empty()) throw InputError(name + ": " + defect);
    FileFacts facts;
    facts.instance = {structure->seriesUid, structure->sopClass, structure->origin.sopInstanceUid,
                      structure->frames.has_value(), plainFrames(*structure, static_cast<std::size_t>(file.size()))};
    // Each frame is described on its own, from pixel data that may hold a few bytes per frame.
    const auto frames = static_cast<std::size_t>(structure->frames.value_or(1));
    if (frames > readingCeiling(static_cast<std::size_t>(file.size())) / sizeof(DicomImageFacts))
        throw InputError(name + ": " + std::to_string(frames) + " frames, more than can be held");
    facts.images = dicomImageFacts(*structure, index);
    return facts;
}

// factsOf, with the failures of the file said in English. Two threads read at once.
FileFacts readFacts(const SeriesSource& source, std::uint32_t index)
{
    try {
        return factsOf(source, index);
    } catch (const FileFailure& failure) {
        throw failure.inEnglish();
    } catch (const std::bad_alloc&) {
        throw InputError(fileName(source.files[index]) + ": too large to be read into memory");
    }
}

bool isPhase(const Stack& s) { return s.keys.imageType == "P"; }

bool holdsSeries(const Stack& s, const std::string& uid)
{
    return std::find(s.keys.seriesUids.begin(), s.keys.seriesUids.end(), uid) != s.keys.seriesUids.end();
}

bool picks(const StackChoice& c, const Stack& s)
{
    const auto named = [&](const std::string& uid) { return holdsSeries(s, uid); };
    return (c.seriesUids.empty() || std::any_of(c.seriesUids.begin(), c.seriesUids.end(), named)) &&
           (!c.echo || s.keys.echoNumber == c.echo) && (c.coil.empty() || s.keys.coil == c.coil) &&
           (c.imageType.empty() || s.keys.imageType == c.imageType);
}

// What a choice leaves to measure: the stacks it picks, phase images left out beside others.
std::vector<const Stack*> candidates(const std::vector<Stack>& stacks, const StackChoice& choice)
{
    std::vector<const Stack*> picked;
    for (const Stack& s : stacks)
        if (picks(choice, s)) picked.push_back(&s);
    if (!std::all_of(picked.begin(), picked.end(), [](const Stack* s) { return isPhase(*s); }))
        std::erase_if(picked, [](const Stack* s) { return isPhase(*s); });
    return picked;
}

std::string joined(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
    return text;
}

// The options that pick `stack` alone, fewest first: echo, coil, image type, series.
std::string optionPicking(const std::vector<Stack>& stacks, const Stack& stack)
{
    if (isPhase(stack)) return "phase images, not measured";
    const StackKeys& k = stack.keys;
    std::vector<std::pair<std::string, std::function<void(StackChoice&)>>> options;
    if (k.echoNumber)
        options.push_back({"--echo " + std::to_string(*k.echoNumber), [&](StackChoice& c) { c.echo = k.echoNumber; }});
    if (!k.coil.empty()) options.push_back({"--coil " + k.coil, [&](StackChoice& c) { c.coil = k.coil; }});
    if (!k.imageType.empty())
        options.push_back({"--image-type " + k.imageType, [&](StackChoice& c) { c.imageType = k.imageType; }});
    options.push_back({"--series " + joined(k.seriesUids, ","), [&](StackChoice& c) { c.seriesUids = k.seriesUids; }});
    std::vector<unsigned> masks(1u << options.size());
    for (unsigned m = 0; m < masks.size(); ++m) masks[m] = m;
    std::stable_sort(masks.begin(), masks.end(),
                     [](unsigned a, unsigned b) { return std::popcount(a) < std::popcount(b); });
    for (const unsigned mask : masks) {
        StackChoice choice;
        std::vector<std::string> words;
        for (std::size_t o = 0; o < options.size(); ++o)
            if (mask >> o & 1u) {
                options[o].second(choice);
                words.push_back(options[o].first);
            }
        if (candidates(stacks, choice) == std::vector<const Stack*>{&stack})
            return mask == 0 ? "taken without an option" : joined(words, " ");
    }
    return "no option picks it alone";
}

// " in FILE alone" for a stack of one image, so that a file whose keys are
// damaged is found among many.
std::string loneFile(const SeriesSource& source, const Stack& s)
{
    if (s.slices.size() != 1 || s.repetitions() != 1) return "";
    return " in " + fileName(source.files.at(s.slices[0].repetitions[0].file)) + " alone";
}

// "holds N stacks:" and a line for each, with the option that picks it.
std::string holdings(const SeriesSource& source)
{
    const std::size_t count = source.stacks.size();
    std::string text = "holds " + std::to_string(count) + (count == 1 ? " stack:" : " stacks:");
    for (const Stack& s : source.stacks)
        text += "\n  " + stackDescription(s) + loneFile(source, s) + ": " + std::to_string(s.slices.size()) + " slices x " +
                std::to_string(s.repetitions()) + " repetitions: " + optionPicking(source.stacks, s);
    return text;
}

std::string choiceText(const StackChoice& c)
{
    std::vector<std::string> words;
    if (!c.seriesUids.empty()) words.push_back("--series " + joined(c.seriesUids, ","));
    if (c.echo) words.push_back("--echo " + std::to_string(*c.echo));
    if (!c.coil.empty()) words.push_back("--coil " + c.coil);
    if (!c.imageType.empty()) words.push_back("--image-type " + c.imageType);
    return words.empty() ? "taken without an option" : joined(words, " ");
}

void warnPhaseLeftOut(const std::vector<Stack>& stacks, const StackChoice& choice, std::vector<std::string>& warnings)
{
    for (const Stack& s : stacks)
        if (isPhase(s) && picks(choice, s))
            warnings.push_back("phase images left out, not measured: " + stackDescription(s));
}

// The named series' stacks the choice picks, joined: one stack from each series.
Stack joinNamed(const SeriesSource& source, const std::vector<const Stack*>& picked, const StackChoice& choice)
{
    std::multiset<std::string> uids;
    for (const Stack* s : picked) uids.insert(s->keys.seriesUids.begin(), s->keys.seriesUids.end());
    for (const std::string& uid : choice.seriesUids) {
        if (uids.count(uid) > 1)
            throw InputError(source.path + ": series " + uid + " holds several stacks that " + choiceText(choice) +
                             " picks; it " + holdings(source));
        if (uids.count(uid) == 0)
            throw InputError(source.path + ": series " + uid + " holds nothing that " + choiceText(choice) +
                             " picks; it " + holdings(source));
    }
    if (picked.size() == 1) return *picked.front();
    std::vector<Stack> parts;
    for (const Stack* s : picked) parts.push_back(*s);
    return joinSeries(std::move(parts));
}

std::string safeName(const std::string& text)
{
    std::string name;
    for (const char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.';
        name += safe ? c : '_';
    }
    return name.empty() || name.front() == '.' ? "_" + name : name;
}

// The words of a stack's name, for the keys in which the stacks differ (all given keys when they differ in none).
std::vector<std::string> nameParts(const std::vector<Stack>& stacks, const Stack& s)
{
    const auto varies = [&](auto key) {
        return std::any_of(stacks.begin(), stacks.end(), [&](const Stack& t) { return key(t) != key(s); });
    };
    const auto series = [](const Stack& t) { return t.keys.seriesUids; };
    const auto echo = [](const Stack& t) { return std::pair{t.keys.echoNumber, t.keys.echoTimeMs}; };
    const auto coil = [](const Stack& t) { return t.keys.coil; };
    const auto type = [](const Stack& t) { return t.keys.imageType; };
    const bool any = varies(series) || varies(echo) || varies(coil) || varies(type);
    const StackKeys& k = s.keys;
    std::vector<std::string> parts;
    if (varies(series) || (!any && k.seriesNumber))
        parts.push_back(k.seriesNumber          ? "series" + std::to_string(*k.seriesNumber)
                        : k.description.empty() ? "series"
                                                : k.description);
    if ((varies(echo) || !any) && k.echoNumber) parts.push_back("echo" + std::to_string(*k.echoNumber));
    if ((varies(coil) || !any) && !k.coil.empty()) parts.push_back("coil_" + k.coil);
    if ((varies(type) || !any) && !k.imageType.empty()) parts.push_back(k.imageType);
    return parts;
}

}  // namespace

void findDicomStacks(SeriesSource& source)
{
    std::vector<FileFacts> facts(source.files.size());
    forEachOnTwoThreads(facts.size(), [&](std::size_t i) { facts[i] = readFacts(source, static_cast<std::uint32_t>(i)); });
    std::vector<DicomImageFacts> images;
    source.instances.assign(source.files.size(), {});
    for (std::size_t i = 0; i < facts.size(); ++i) {
        if (facts[i].skipped) source.skipped.push_back(*facts[i].skipped);
        source.instances[i] = std::move(facts[i].instance);
        images.insert(images.end(), std::make_move_iterator(facts[i].images.begin()),
                      std::make_move_iterator(facts[i].images.end()));
    }
    if (images.empty()) throw InputError(source.path + ": holds no DICOM image");
    source.stacks = groupDicomStacks(std::move(images), source.files);
    joinRepeatedSeries(source.stacks);
}

Stack chooseStack(const SeriesSource& source, const StackChoice& choice, std::vector<std::string>& warnings)
{
    for (const std::string& uid : choice.seriesUids)
        if (std::none_of(source.stacks.begin(), source.stacks.end(),
                         [&](const Stack& s) { return holdsSeries(s, uid); }))
            throw InputError(source.path + ": no series " + uid + "; it " + holdings(source));
    const std::vector<const Stack*> picked = candidates(source.stacks, choice);
    if (picked.empty())
        throw InputError(source.path + ": no stack is picked by " + choiceText(choice) + "; it " + holdings(source));
    if (isPhase(*picked.front()))
        throw InputError(source.path + ": " + choiceText(choice) +
                         " picks only phase images, which are not measured; it " + holdings(source));
    warnPhaseLeftOut(source.stacks, choice, warnings);
    if (choice.seriesUids.size() > 1) return joinNamed(source, picked, choice);
    if (picked.size() > 1) throw InputError(source.path + ": " + holdings(source));
    return *picked.front();
}

std::vector<Stack> measurableStacks(const SeriesSource& source, std::vector<std::string>& warnings)
{
    std::vector<Stack> measurable;
    for (const Stack& s : source.stacks)
        if (!isPhase(s)) measurable.push_back(s);
    if (measurable.empty()) throw InputError(source.path + ": holds only phase images, which are not measured");
    warnPhaseLeftOut(source.stacks, {}, warnings);
    return measurable;
}

std::vector<std::string> stackNames(const std::vector<Stack>& stacks)
{
    std::vector<std::string> names;
    for (const Stack& s : stacks) {
        const std::vector<std::string> parts = nameParts(stacks, s);
        const std::string base = safeName(parts.empty() ? "stack" : joined(parts, "_"));
        std::string name = base;
        for (int n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n)
            name = base + "_" + std::to_string(n);
        names.push_back(name);
    }
    return names;
}

}  // namespace quelby
