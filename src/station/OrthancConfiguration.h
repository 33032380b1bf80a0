#pragma once

#include "station/Credentials.h"
#include "station/StationCommand.h"

#include <nlohmann/json.hpp>

#include <string>

namespace quelby {

// Orthanc's configuration for the station: storage in DIR, no system
// plugin, DICOM echo and store from any AE to the station's title, REST for
// this machine only and for the station's user.
nlohmann::json orthancConfiguration(const StationCommand& command, const Credentials& credentials);

// The configuration with the site's own options from the object in
// `sitePath`, when there is one (DicomModalities, OrthancPeers, LuaScripts:
// forwarding to a central PACS). Refuses options the station sets, naming
// them. Throws StationError.
nlohmann::json withSiteOptions(nlohmann::json configuration, const std::string& sitePath);

// Writes it, with DIR/orthanc-site.json's options, to DIR/orthanc.json, readable by the owner only (it holds the
// password); returns the path. Throws StationError.
std::string writeOrthancConfiguration(const StationCommand& command, const Credentials& credentials);

}  // namespace quelby
