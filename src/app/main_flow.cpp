#include "app/main_flow.h"

#include "app/mode_table.h"
#include "app/post_update_cleanup.h"
#include "app/run_config.h"
#include "app/startup_progress.h"
#include "base/text.h"
#include "log/log.h"
#include "net/system_http_client.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "process/game_process.h"
#include "ui/progress.h"

namespace rr {

namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitParentStillRunning = 2;
constexpr int kExitOtherInstanceRunning = 3;
constexpr int kExitRelaunchFailed = 4;
constexpr int kExitModeNotCompleted = 5;

constexpr uint32_t kMessageBoxWarning = 0x30;  // MB_OK | MB_ICONWARNING
constexpr uint32_t kMessageBoxError = 0x10;    // MB_OK | MB_ICONERROR
const wchar_t* const kMessageCaption = L"RiveRoravav";

void LogStartupRecord(const RunConfig& config, const std::wstring& expectedMainPath) {
    LogMain(L"RiveRoravav V2-C4.3 started");
    LogMain(L"client-dir=" + config.clientDir);
    LogMain(L"main-exe=" + config.mainExe);
    LogMain(L"main-pid=" + ToDecimal(config.mainPid));
    LogMain(L"manifest-url=" + config.manifestUrl);
    LogMain(L"fallback-manifest-url=" + config.fallbackManifestUrl);
    LogMain(L"full-manifest-url=" + config.fullManifestUrl);
    LogMain(L"fallback-full-manifest-url=" + config.fallbackFullManifestUrl);
    LogMain(L"package-url=" + config.packageUrl);
    LogMain(L"package-sha256=" + config.packageSha256);
    LogMain(L"package-size=" + config.packageSize);
    LogMain(L"package-version=" + config.packageVersion);
    LogMain(std::wstring(L"quarantine-extras=") + (config.quarantineExtras ? L"1" : L"0"));
    LogMain(L"mode=" + config.mode);
    LogMain(L"expected-main-path=" + expectedMainPath);
    LogMain(
        L"V2-C4.3 broad runtime update mode. Main.exe is the only allowed .exe; tools, secrets, "
        L"build/temp folders, DLLs, and unsafe paths remain blocked.");
}

}  // namespace

namespace {

// Waits for the game that started us. False (the run ends) while it still runs.
bool WaitForTheGame(const RunConfig& config, const std::wstring& expectedMainPath) {
    SetProgressState(L"Starting updater...", L"Waiting for Main.exe to close",
                     LogsFolderIsLink() ? L"Logs is a link: this run keeps no logs" : L"",
                     kStartupWaitPoint, false);
    if (WaitForParentGame(config.mainPid, expectedMainPath)) {
        return true;
    }
    SetProgressState(L"Update failed", L"Main.exe is still running",
                     L"Close all game instances and try again", kProgressComplete, true);
    Linger(2500);
    DestroyProgressWindow();
    platform::ShowMessageBox(L"Cierre todas las instancias del juego para continuar.",
                             kMessageCaption, kMessageBoxWarning);
    return false;
}

// A mode that changes files needs every other instance of this client closed.
bool CloseOtherInstances(const ModeSpec& spec, const RunConfig& config,
                         const std::wstring& expectedMainPath) {
    if (!spec.appliesFiles) {
        LogMain(
            L"Skipping other same-client Main.exe close check because this mode does not apply "
            L"files.");
        return true;
    }
    SetProgressState(L"Starting updater...", L"Checking same-client game instances", L"",
                     kStartupInstancesPoint, false);
    if (CloseOtherClientInstances(expectedMainPath, config.mainPid)) {
        return true;
    }
    SetProgressState(L"Update failed", L"Another Main.exe instance is still running",
                     L"Close the other game instance and try again", kProgressComplete, true);
    Linger(2500);
    // Shown over the still open window, so the user sees why it waits.
    platform::ShowMessageBox(
        L"Hay otra instancia del cliente abierta. Cerrala para continuar la "
        L"actualizaci\u00f3n.",
        kMessageCaption, kMessageBoxWarning);
    LogMain(
        L"Aborted before applying files because another same-client Main.exe instance "
        L"remained open.");
    DestroyProgressWindow();
    return false;
}

bool RunTheMode(const ModeSpec& spec, const RunConfig& config) {
    // A retry shows its line in the progress window while it waits.
    SystemHttpClient http(HttpOptions{.retry = {.notice = ShowProgressHint}});
    RunContext context{http};
    const bool completed = spec.runner(config, context);
    if (!completed) {
        LogMain(spec.notCompletedLine);
        Linger(2500);
    } else {
        Linger(1000);
        if (spec.cleansAfterRun) {
            CleanupBackupAfterUpdate(config);
            CleanupLegacyFiles(config);
        }
    }
    return completed;
}

// Starts the game again, whatever the mode's outcome.
bool Relaunch(const RunConfig& config, const std::wstring& expectedMainPath) {
    SetProgressState(L"Restarting game...", L"Launching Main.exe", L"", kProgressComplete, false);
    if (RelaunchGame(expectedMainPath, config.clientDir)) {
        return true;
    }
    SetProgressState(L"Update failed", L"Could not relaunch Main.exe",
                     L"Check Logs\\RiveRoravav.log", kProgressComplete, true);
    Linger(2500);
    DestroyProgressWindow();
    platform::ShowMessageBox(L"No se pudo relanzar Main.exe.", kMessageCaption, kMessageBoxError);
    return false;
}

}  // namespace

int RunUpdater(void* instance) {
    RunConfig config = ParseCommandLine();
    CompleteClientDir(config, platform::ModuleFileName());
    const std::wstring expectedMainPath = ExpectedMainPath(config.clientDir, config.mainExe);
    const LogScope logs(config.clientDir);
    CreateProgressWindow(instance);
    LogStartupRecord(config, expectedMainPath);
    const ModeSpec& spec = FindModeSpec(config.mode);

    if (!WaitForTheGame(config, expectedMainPath)) {
        return kExitParentStillRunning;
    }
    if (!CloseOtherInstances(spec, config, expectedMainPath)) {
        return kExitOtherInstanceRunning;
    }
    const bool completed = RunTheMode(spec, config);
    if (!Relaunch(config, expectedMainPath)) {
        return kExitRelaunchFailed;
    }
    Linger(250);
    DestroyProgressWindow();
    LogMain(spec.finishedLine);
    if (completed) {
        PurgeLogsUnlessDiagnostics(config.clientDir);
        return kExitCompleted;
    }
    return kExitModeNotCompleted;
}

}  // namespace rr
