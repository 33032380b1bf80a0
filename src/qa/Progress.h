#pragma once

#include <algorithm>
#include <ostream>
#include <string>

namespace quelby {

// A one-line bar on standard error, redrawn in place, when it is a terminal.
class Progress {
public:
    Progress(std::ostream& err, bool shown) : err_(err), shown_(shown) {}
    ~Progress()
    {
        if (drawn_) err_ << "\r" << std::string(72, ' ') << "\r" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void step(int percent, const std::string& what)
    {
        if (!shown_) return;
        const int filled = percent * 30 / 100;
        err_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(30 - filled), ' ') << "] " << percent << " % "
             << what.substr(0, 30) << std::string(30 - std::min<std::size_t>(30, what.size()), ' ') << std::flush;
        drawn_ = true;
    }

private:
    std::ostream& err_;
    bool shown_;
    bool drawn_ = false;
};

}  // namespace quelby
