// A small program that hosts the engine the way the simulation service does:
// provider, Start, tags, then Stop and destroy on the test's signal. It
// publishes what the tests need to judge the engine from outside.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "KetraOPCServer.h"
#include "host_shared.h"
#include "kit_com.h"

namespace {

HostState* g_state = nullptr;

class TestProvider final : public IValueProvider {
    KIT_VC_DESTRUCTOR_IMPL(TestProvider)
public:
    ~TestProvider() { InterlockedIncrement(&g_state->destructorCalls); }

    int ReadTag(const char* name, FILETIME* timestamp, DWORD* quality, VARIANT* value) override {
        LONG n = InterlockedIncrement(&g_state->providerCalls);
        if (g_state->stopReturned) InterlockedIncrement(&g_state->callsAfterStop);
        InterlockedIncrement(&g_state->callsInFlight);
        int rc = Answer(name, n, timestamp, quality, value);
        InterlockedDecrement(&g_state->callsInFlight);
        return rc;
    }

private:
    int Answer(const char* name, LONG n, FILETIME* timestamp, DWORD* quality, VARIANT* value) {
        kit::Variant v;
        FILETIME ts = {0, 0};
        DWORD q = 0xC0;
        if (!lstrcmpA(name, "Plant.Tank.Level")) {
            V_VT(v.get()) = VT_R8;
            V_R8(v.get()) = 42.5;
            ts = kLevelTime;
        } else if (!lstrcmpA(name, "Plant.Tank.Temp")) {
            V_VT(v.get()) = VT_R4;
            V_R4(v.get()) = 20.0f + static_cast<float>(InterlockedIncrement(&tempReads_));
        } else if (!lstrcmpA(name, "Plant.Tank.Status")) {
            V_VT(v.get()) = VT_BSTR;
            V_BSTR(v.get()) = SysAllocString(L"Low");
            q = 0x40;
        } else if (!lstrcmpA(name, "Plant.Pump.Running")) {
            V_VT(v.get()) = VT_BOOL;
            V_BOOL(v.get()) = VARIANT_FALSE;
        } else if (!lstrcmpA(name, "Plant.Slow")) {
            Sleep(1000);
            V_VT(v.get()) = VT_I4;
            V_I4(v.get()) = 7;
        } else if (!lstrcmpA(name, "Counter")) {
            V_VT(v.get()) = VT_I4;
            V_I4(v.get()) = n;
        } else {
            return 1;
        }
        *timestamp = ts;
        *quality = q;
        if (value) v.MoveTo(value);
        return 0;
    }

    LONG volatile tempReads_ = 0;
};

LONG LiveObjects() {
    // The engine holds one reference while serving, this probe one more.
    LONG n = static_cast<LONG>(CoAddRefServerProcess());
    CoReleaseServerProcess();
    return n - 1 - (g_state->stopReturned ? 0 : 1);
}

// --service: the way the simulation service hosts the engine, so that COM can
// start it on demand through the class's AppID LocalService.
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_serviceStop = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS st = {};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &st);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) SetEvent(g_serviceStop);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**) {
    g_status = RegisterServiceCtrlHandlerExA(HOST_SERVICE_NAME, &ServiceControl, nullptr);
    if (!g_status) return;
    Report(SERVICE_START_PENDING);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HostState local = {};
    g_state = &local;
    IOPCServerObject* server = CreateNewOPCServerObject();
    TestProvider* provider = new TestProvider;
    if (server) {
        server->SetValueProvider(provider);
        if (server->Start(&CLSID_EngineTestService) == 0) {
            server->AddTag("Service.Value", VT_I4, 1);
            Report(SERVICE_RUNNING);
            WaitForSingleObject(g_serviceStop, INFINITE);
            Report(SERVICE_STOP_PENDING);
            server->Stop();
        }
        DestroyOPCServerObject();
    }
    CoUninitialize();
    delete provider;
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && !lstrcmpA(argv[1], "--service")) {
        g_serviceStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        char name[] = HOST_SERVICE_NAME;
        SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? 0 : 30;
    }
    kit::Handle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(HostState),
                                           HOST_SHARED_NAME));
    if (!mapping) return 20;
    g_state = static_cast<HostState*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HostState)));
    if (!g_state) return 21;
    kit::Handle stop(CreateEventW(nullptr, TRUE, FALSE, HOST_STOP_EVENT));
    kit::Handle exitEvent(CreateEventW(nullptr, TRUE, FALSE, HOST_EXIT_EVENT));

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServerObject* server = CreateNewOPCServerObject();
    if (!server) return 22;
    TestProvider* provider = new TestProvider;
    server->SetValueProvider(provider);
    int rc = server->Start(&CLSID_EngineTestHost);
    g_state->startResult = rc;
    if (rc != 0) return 23;
    const struct {
        const char* name;
        VARTYPE type;
        DWORD access;
    } tags[] = {
        {"Plant.Tank.Level", VT_R8, 1}, {"Plant.Tank.Temp", VT_R4, 1},  {"Plant.Tank.Status", VT_BSTR, 1},
        {"Plant.Pump.Running", VT_BOOL, 3}, {"Plant.Ghost", VT_I4, 1}, {"Plant.Slow", VT_I4, 1},
        {"Counter", VT_I4, 1},
    };
    for (const auto& t : tags)
        if (!server->AddTag(t.name, t.type, t.access)) return 24;
    InterlockedExchange(&g_state->ready, 1);

    while (WaitForSingleObject(stop.get(), 20) == WAIT_TIMEOUT)
        InterlockedExchange(&g_state->liveObjects, LiveObjects());
    InterlockedExchange(&g_state->stopRequested, 1);
    server->Stop();
    InterlockedExchange(&g_state->stopReturned, 1);
    // The tests keep calling for a while: nothing may reach the provider now.
    while (WaitForSingleObject(exitEvent.get(), 20) == WAIT_TIMEOUT)
        InterlockedExchange(&g_state->liveObjects, LiveObjects());
    DestroyOPCServerObject();
    CoUninitialize();
    delete provider;
    return 0;
}
