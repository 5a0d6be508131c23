// The service program proper: dispatcher entry, service main routine, control
// handler, the start sequence and the clean-up around the server engine.
#ifndef SIMSERVER_SIM_SERVICE_H
#define SIMSERVER_SIM_SERVICE_H

#include <windows.h>

namespace simserver {

// Service-specific exit codes of a failed start.
enum StartFailure {
    kNoServerObject = 1002,    // CreateNewOPCServerObject gave no server object
    kNoValueProvider = 1003,   // the value provider could not be allocated
    kStartFailed = 1004,       // Start with the kit's CLSID returned non-zero
    kTagRefused = 1005,        // AddTag refused a tag
};

// The two service-manager calls the routine makes while it runs. Tests run the
// service main routine inside their own process and record these instead.
struct ServiceControlApi {
    SERVICE_STATUS_HANDLE(WINAPI* registerHandler)(LPCSTR name, LPHANDLER_FUNCTION handler);
    BOOL(WINAPI* setStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
};
void SetServiceControlApi(const ServiceControlApi* api);  // null restores the real calls

// Creates the stop event; the program does this before the dispatcher runs.
bool InitServiceProcess();

// StartServiceCtrlDispatcherA with the one service; returns when it does.
int RunServiceDispatcher();

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);

}  // namespace simserver

#endif
