#include "app/embedded_manifest_key.h"
#include "app/main_flow.h"
#include "platform/args_posix.h"

int main(int argc, char** argv) {
    rr::platform::posix::StoreCommandLine(argc, argv);
    rr::InstallEmbeddedManifestKey();
    return rr::RunUpdater(nullptr);
}
