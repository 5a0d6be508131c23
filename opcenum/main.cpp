// OPC.Krel.Enum: the kit's OPC server list, run by the service manager (COM starts
// the service when a client asks for the server list's class).
#include <windows.h>

#include "EnumService.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return krelenum::RunServiceDispatcher() ? 0 : 1; }
