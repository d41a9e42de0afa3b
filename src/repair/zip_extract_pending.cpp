// Stands in for the libzip extractor until that lands: it refuses, so a run
// on this branch stops after the validated package and says why.
#include "log/log.h"
#include "repair/zip_extract.h"

namespace rr {

bool ExtractFullClientPackage(const std::wstring& packagePath, const RunConfig&,
                              std::wstring& extractDir, std::wstring& packageRoot,
                              ExtractedCounts& counts) {
    extractDir.clear();
    packageRoot.clear();
    counts = ExtractedCounts{};
    LogMain(L"Package extraction is not available in this build: " + packagePath);
    return false;
}

std::wstring FindPackageRoot(const std::wstring&, const std::wstring&) {
    return std::wstring();
}

}  // namespace rr
