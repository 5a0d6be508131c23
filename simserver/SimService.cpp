#include "SimService.h"

#include <new>

#include "KetraOPCServer.h"
#include "ServiceLog.h"
#include "TagTable.h"
#include "TagValueProvider.h"

namespace simserver {

namespace {

const ServiceControlApi kRealServiceControl = {RegisterServiceCtrlHandlerA, SetServiceStatus};
const ServiceControlApi* g_scm = &kRealServiceControl;

// Process-wide state between the start sequence and the clean-up; only the
// service thread touches it. The control handler only signals the event.
IOPCServerObject* g_server = nullptr;
IValueProvider* g_provider = nullptr;
int g_startResult = 1;  // anything but 0 until Start succeeded: no Stop before that
HANDLE g_stopEvent = nullptr;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;

void ReportStatus(DWORD state, DWORD win32ExitCode = 0, DWORD specificExitCode = 0) {
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = win32ExitCode;
    g_status.dwServiceSpecificExitCode = specificExitCode;
    g_scm->setStatus(g_statusHandle, &g_status);
}

int StartSequence() {
    // The engine serves clients from the multithreaded apartment. Whether it can
    // serve is what Start tells us, so this result is not looked at.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    g_server = CreateNewOPCServerObject();
    if (!g_server) return kNoServerObject;

    g_provider = new (std::nothrow) CTagValueProvider;
    if (!g_provider) return kNoValueProvider;

    g_server->SetValueProvider(g_provider);

    g_startResult = g_server->Start(&CLSID_KetraOPCKrelServer);
    if (g_startResult != 0) return kStartFailed;

    for (const SimulatedTag& tag : kSimulatedTags) {
        if (!g_server->AddTag(tag.name, VT_R4, 1 /* OPC_READABLE */)) return kTagRefused;
    }
    return 0;
}

// Undoes whatever the start sequence got to. The provider goes last: the
// engine may call it until DestroyOPCServerObject has returned.
void CleanUp() {
    if (g_server) {
        if (g_startResult == 0) g_server->Stop();
        DestroyOPCServerObject();
        g_server = nullptr;
    }
    g_startResult = 1;
    CoUninitialize();
    if (g_provider) {
        DestroyValueProvider(g_provider);
        g_provider = nullptr;
    }
}

}  // namespace

void SetServiceControlApi(const ServiceControlApi* api) { g_scm = api ? api : &kRealServiceControl; }

bool InitServiceProcess() {
    if (!g_stopEvent) g_stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return g_stopEvent != nullptr;
}

int RunServiceDispatcher() {
    char name[] = KETRA_OPC_SERVER_NAME;
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Fails at once when the program was not started by the service manager;
    // there is nothing else to do then.
    StartServiceCtrlDispatcherA(table);
    return 0;
}

void WINAPI ServiceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        SetEvent(g_stopEvent);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    ZeroMemory(&g_status, sizeof g_status);
    g_status.dwServiceType = SERVICE_WIN32;
    g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

    g_statusHandle = g_scm->registerHandler(KETRA_OPC_SERVER_NAME, ServiceControlHandler);
    if (!g_statusHandle) return;

    ReportStatus(SERVICE_START_PENDING);
    const int failure = StartSequence();
    if (failure != 0) {
        CleanUp();
        // Logged before the final report: once the manager hears "stopped", the
        // dispatcher returns and the process may end before another line is written.
        LogLine("NO INICIADO (%d)", failure);
        ReportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(failure));
        return;
    }

    ReportStatus(SERVICE_RUNNING);
    LogLine("INICIADO");
    WaitForSingleObject(g_stopEvent, INFINITE);

    ReportStatus(SERVICE_STOP_PENDING);
    CleanUp();
    LogLine("DETENIDO");
    ReportStatus(SERVICE_STOPPED);
}

}  // namespace simserver
