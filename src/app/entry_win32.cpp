#include <windows.h>

#include "app/embedded_manifest_key.h"
#include "app/main_flow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    rr::InstallEmbeddedManifestKey();
    return rr::RunUpdater(instance);
}
