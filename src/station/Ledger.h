#pragma once

#include <map>
#include <string>

namespace quelby {

// How far the run of one (study, rule) has come, kept in DIR/ledger.json and
// replaced whole (synced, renamed) at every step, so that a station killed at
// any moment finds the last step that reached the disk.
//   Measured: quelby-measure ended with a result and its row in the run's
//             own history file; the store-back and the merge into the
//             station's history are still to come (both may be repeated).
//   Done:     the row is in the station's history.
//   Failed:   the input cannot be measured; error.txt says why.
class Ledger {
public:
    enum class State { None, Measured, Done, Failed };

    // Reads the ledger of `dir`; an absent one is empty. Throws StationError for one that cannot be read.
    explicit Ledger(std::string dir);

    State state(const std::string& study, const std::string& rule) const;
    // Records the step and its results folder. Throws StationError when it cannot reach the disk.
    void record(const std::string& study, const std::string& rule, State state, const std::string& output);

private:
    struct Entry {
        State state;
        std::string output;
    };
    std::string dir_;
    std::map<std::string, Entry> entries_;
};

}  // namespace quelby
