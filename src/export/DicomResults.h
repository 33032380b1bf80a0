#pragma once

#include "engine/io/SeriesIdentity.h"
#include "engine/io/Stack.h"
#include "export/DicomObjectPlan.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// One map of a stack to write as DICOM.
struct DicomMap {
    std::string name;         // as its NIfTI file's, "snr_a"
    std::string description;  // the series description, "Quelby SNR map (SERIES_A)"
    // Slice after slice in position order, each row by row, as niftiMapBytes takes them.
    std::span<const double> values;
};

// The maps of one source stack, and what the derived objects say of it.
struct DicomMapsRequest {
    const Stack* stack = nullptr;
    SeriesIdentity identity;                            // seriesIdentity(source, stack)
    std::vector<std::vector<SourceInstance>> sources;   // sourceInstances(source, stack)
    std::vector<DicomMap> maps;
    int firstSeriesNumber = 1001;  // map k gives series firstSeriesNumber + 2k (parametric) and + 2k + 1 (MR)
    std::string software;          // "quelby-measure 1.2"
};

// One file of the results: `name` relative to the output folder ("dicom/snr_a_pm.dcm"), its bytes made by `make`.
struct DicomResultFile {
    std::string map, kind;  // "parametric" or "mr"
    std::string seriesUid, name;
    std::function<std::vector<char>()> make;
};

// The unit and the derivation of a map, by its name's stem ("snr_a" → SNR).
struct DicomMapCodes {
    DicomCode unit, derivation;
    std::string label;  // a short upper-case name, "SNR"
};
DicomMapCodes dicomMapCodes(std::string_view mapName);

// Throws InputError when the source cannot give DICOM results: they belong
// to the source's patient, study and frame of reference, which raw and NIfTI
// files do not have, and need its geometry. `label` names the source, "SERIES_A".
void checkDicomResultsPossible(const SeriesSource& source, const Stack& stack, const std::string& label);

// For each map a parametric map (one multi-frame file of float values) and a
// derived MR series (one 16-bit image per slice), in a new series each. The
// bytes are made when `make` is called, by the writer module, loaded then;
// `make` throws InputError when it cannot be loaded or cannot encode. Throws
// std::invalid_argument when a map's values do not fill the stack.
std::vector<DicomResultFile> dicomResults(const DicomMapsRequest& request);

// report.json's "dicom": [{map, kind, series_uid, files: [...]}], one entry per series.
nlohmann::json dicomResultsJson(const std::vector<DicomResultFile>& files);

}  // namespace quelby
