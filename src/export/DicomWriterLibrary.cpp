#include "export/DicomWriterLibrary.h"

#include "engine/core/InputError.h"
#include "engine/io/ModuleEntry.h"

namespace quelby {

namespace {

DicomWrite load()
{
    static constexpr ModulePlaces places{QUELBY_WRITER_NAME, QUELBY_LIBRARY_FROM_BINDIR, QUELBY_LIBRARY_INSTALLED,
                                         QUELBY_WRITER_BUILT};
    std::string tried;
    if (void* entry = moduleEntry(places, DicomWriteName, tried)) return reinterpret_cast<DicomWrite>(entry);
    throw InputError("the DICOM writer " QUELBY_WRITER_NAME " cannot be loaded (looked for " + tried +
                     "); reinstall Quelby");
}

}  // namespace

std::function<std::vector<char>(const DicomObjectPlan&)> dicomWriter()
{
    static const DicomWrite write = load();
    return [](const DicomObjectPlan& plan) {
        DicomWritten written;
        write(plan, written);
        if (!written.error.empty()) throw InputError("a DICOM result cannot be written: " + written.error);
        return std::move(written.bytes);
    };
}

}  // namespace quelby
