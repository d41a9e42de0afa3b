#include "app/main_flow.h"

#include "app/run_config.h"
#include "log/log.h"
#include "platform/system.h"

namespace rr {

int RunUpdater(void* /*instance*/) {
    RunConfig config = ParseCommandLine();
    CompleteClientDir(config, platform::ModuleFileName());
    InitLogPaths(config.clientDir);
    LogMain(L"RiveRoravav V2-C4.3 started");
    // The mode runners are not wired in yet: no run may report success.
    return 5;
}

}  // namespace rr
