#include "station/Ledger.h"

#include "station/StationError.h"
#include "export/FileReplace.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace quelby {

namespace {

constexpr const char* StateNames[] = {"none", "measured", "done", "failed"};

std::string key(const std::string& study, const std::string& rule)
{
    return study + "/" + rule;
}

Ledger::State stateNamed(const std::string& name, const std::string& path)
{
    for (int i = 0; i < 4; ++i)
        if (name == StateNames[i]) return static_cast<Ledger::State>(i);
    throw StationError(path + ": unknown state " + name);
}

}  // namespace

Ledger::Ledger(std::string dir) : dir_(std::move(dir))
{
    const std::string path = dir_ + "/ledger.json";
    std::ifstream in(path);
    if (!in) return;
    const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw StationError(path + ": not a ledger");
    for (const auto& [k, v] : json.items()) {
        if (!v.is_object() || !v.value("state", nlohmann::json()).is_string() || !v.value("output", nlohmann::json()).is_string())
            throw StationError(path + ": not a ledger");
        entries_[k] = {stateNamed(v["state"], path), v["output"]};
    }
}

Ledger::State Ledger::state(const std::string& study, const std::string& rule) const
{
    const auto found = entries_.find(key(study, rule));
    return found == entries_.end() ? State::None : found->second.state;
}

void Ledger::record(const std::string& study, const std::string& rule, State state, const std::string& output)
{
    entries_[key(study, rule)] = {state, output};
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [k, e] : entries_)
        json[k] = {{"state", StateNames[static_cast<int>(e.state)]}, {"output", e.output}};
    const std::string text = json.dump(1) + "\n";
    try {
        replaceFile(dir_ + "/ledger.json", dir_, text);
    } catch (const FileWriteError& e) {
        throw StationError(dir_ + "/ledger.json: cannot be written (" + e.what() + ")");
    }
}

}  // namespace quelby
