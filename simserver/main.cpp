// OPC.Krel.Server: the kit's simulation server, run by the service manager.
#include <windows.h>

#include "SimService.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (!simserver::InitServiceProcess()) return 1;
    return simserver::RunServiceDispatcher();
}
