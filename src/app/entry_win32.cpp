#include <windows.h>

#include "app/main_flow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return rr::RunUpdater(instance);
}
