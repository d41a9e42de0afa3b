#pragma once
#include <string>

#include "app/run_config.h"
#include "run/run_context.h"

namespace rr {

enum class RunMode { Update, RepairDryRun, FullClient, FullClientApply, CleanupRepairArtifacts };

using ModeRunner = bool (*)(const RunConfig&, RunContext&);

// One row of the mode table: what a mode does and how its run is reported.
struct ModeSpec {
    RunMode mode;
    const wchar_t* name;  // the mode's canonical name
    bool appliesFiles;    // gates on other running instances
    bool cleansAfterRun;  // backup and legacy cleanup after a completed run
    ModeRunner runner;
    const wchar_t* notCompletedLine;  // logged when the runner returns false
    const wchar_t* finishedLine;      // logged after a successful relaunch
};

// The row for a --mode value, matched in any letter case; anything unknown
// (and "update") selects the update.
const ModeSpec& FindModeSpec(const std::wstring& mode);

}  // namespace rr
