// The full-client and full-client-apply modes: package, extraction, compare,
// and in apply mode the repair itself.
#include "full_client/full_client_mode.h"

#include "base/text.h"
#include "full_client/full_client_apply.h"
#include "full_client/full_client_compare.h"
#include "log/log.h"
#include "package/full_client_package.h"
#include "package/zip_extract.h"
#include "ui/progress.h"

namespace rr {

namespace {

bool Fail(const std::wstring& status, const std::wstring& detail, const std::wstring& hint) {
    SetProgressState(status, detail, hint, kProgressComplete, true);
    return false;
}

PackageSource SourceOf(const RunConfig& config) {
    return PackageSource{.url = config.packageUrl,
                         .sha256 = config.packageSha256,
                         .size = config.packageSize,
                         .version = config.packageVersion};
}

void LogStart(const PackageSource& source, bool apply) {
    LogMain(L"RiveRoravav V2-C9 full-client download mode started");
    LogMain(L"package-url=" + source.url);
    LogMain(L"package-version=" + source.version);
    LogMain(L"package-size=" + source.size);
    LogMain(L"package-sha256=" + source.sha256);
    LogMain(std::wstring(L"full-client apply mode=") + (apply ? L"1" : L"0"));
    LogMain(apply ? L"V2-C9.5 downloads/extracts the ZIP, compares, applies missing/different "
                    L"files, and quarantines extras only with --quarantine-extras."
                  : L"V2-C9 stage 3 downloads/extracts the ZIP and compares it against the real "
                    L"client. It does not apply, replace, move, or delete client files.");
}

bool FinishCompareOnly(const FullClientCompareCounts& counts) {
    LogMain(L"No apply/replacement was performed in V2-C9 stage 3.");
    const bool differences =
        counts.missing != 0 || counts.different != 0 || counts.extra != 0 || counts.blocked != 0;
    SetProgressState(
        differences ? L"Full client compare complete" : L"Full client already matches package",
        differences ? L"Check Logs\\FullClientCompare.log" : L"No differences found",
        L"Missing " + ToDecimal(counts.missing) + L" | Different " + ToDecimal(counts.different) +
            L" | Extra " + ToDecimal(counts.extra) + L" | Blocked " + ToDecimal(counts.blocked) +
            L" | Preserved " + ToDecimal(counts.preserved),
        kProgressComplete, false);
    return true;
}

}  // namespace

bool RunFullClientMode(const RunConfig& config, RunContext& context, bool apply) {
    // Opened once: every step of the mode starts from this handle.
    const ClientFolder client(config.clientDir);
    const PackageSource source = SourceOf(config);
    LogStart(source, apply);
    PackageSettings package;
    if (!ObtainFullClientPackage(context.http, client, source, apply, package)) {
        return false;
    }
    // Without a digest nothing vouches for the package's contents, so it is
    // neither unpacked nor compared; apply mode never gets this far.
    if (package.expectedSha256.empty()) {
        LogMain(L"Extraction and compare skipped: no package SHA256 is configured.");
        SetProgressState(L"Full client download complete", L"Not extracted without a SHA256",
                         package.packagePath, kProgressComplete, false);
        return true;
    }

    std::wstring extractDir;
    std::wstring packageRoot;
    ExtractedCounts extracted;
    if (!ExtractFullClientPackage(client, package.packagePath, extractDir, packageRoot,
                                  extracted)) {
        return Fail(L"Full client extraction failed", L"ZIP was not applied",
                    L"Check Logs\\RiveRoravav.log");
    }
    LogMain(L"Full client extracted successfully.");

    FullClientCompareCounts counts;
    if (!CompareFullClient(client, packageRoot, package.packagePath, counts)) {
        return Fail(L"Full client compare failed", L"No files were applied",
                    L"Check Logs\\FullClientCompare.log");
    }
    if (apply) {
        return RunFullClientApply(client, packageRoot, package.packagePath,
                                  config.quarantineExtras);
    }
    return FinishCompareOnly(counts);
}

}  // namespace rr
