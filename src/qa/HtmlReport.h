#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <utility>
#include <vector>

namespace quelby {

// report.html: the run's report.json `report` as one self-contained page for
// people, printing on A4: who and what was measured, the figures of each
// series and slice, the limits, the warnings and `pictures` (PNG bytes by file
// name) inline. Any field may be absent or null; every text is escaped.
std::string htmlReport(const nlohmann::json& report,
                       const std::vector<std::pair<std::string, std::vector<char>>>& pictures);

// A DICOM DT (or a TM alone) for people: "20261209101500.25+0100" reads
// "2026-12-09 10:15:00.25 +0100"; text that is not one comes back as it was.
std::string dicomDateTimeText(const std::string& dt);

}  // namespace quelby
