#include "EnumService.h"

#include <windows.h>

#include "EnumIdentity.h"
#include "ServerList.h"
#include "kit_com.h"
#include "opccomn.h"

namespace krelenum {

namespace {

// Written by the service thread; the control handler only signals the event.
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;
HANDLE g_stopEvent = nullptr;

void ReportStatus(DWORD state, DWORD specificExitCode = 0) {
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = specificExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    g_status.dwServiceSpecificExitCode = specificExitCode;
    SetServiceStatus(g_statusHandle, &g_status);
}

void WINAPI ServiceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) SetEvent(g_stopEvent);
}

// Serves until the stop event; 0 or the service-specific code of a failed start.
DWORD Serve() {
    kit::ComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.result())) return KRELENUM_NO_COM;
    // Callers from other computers get in with the rights and the authentication
    // level of the server list's AppID, the ones "/OpcEnum=1" configures. Nothing
    // has been marshalled yet, so this cannot come too late.
    GUID appId = APPID_OpcEnum;
    CoInitializeSecurity(&appId, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IDENTIFY,
                         nullptr, EOAC_APPID, nullptr);
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_OpcServerList, ServerListFactory(),
                                       CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))  // hosts without remote activation take the local one alone
        hr = CoRegisterClassObject(CLSID_OpcServerList, ServerListFactory(), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr)) return KRELENUM_NO_CLASS_OBJECT;

    ReportStatus(SERVICE_RUNNING);
    WaitForSingleObject(g_stopEvent, INFINITE);
    ReportStatus(SERVICE_STOP_PENDING);
    CoRevokeClassObject(cookie);
    return 0;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    ZeroMemory(&g_status, sizeof g_status);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_statusHandle = RegisterServiceCtrlHandlerA(KRELENUM_SERVICE_NAME, ServiceControlHandler);
    if (!g_statusHandle) return;
    ReportStatus(SERVICE_START_PENDING);
    ReportStatus(SERVICE_STOPPED, Serve());
}

}  // namespace

bool RunServiceDispatcher() {
    g_stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!g_stopEvent) return false;
    char name[] = KRELENUM_SERVICE_NAME;
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}

}  // namespace krelenum
