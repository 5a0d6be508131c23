// What the engine test host and the tests share: the host's class, its named
// objects and the state it publishes for the tests to watch.
#ifndef KETRA_ENGINE_TEST_HOST_SHARED_H
#define KETRA_ENGINE_TEST_HOST_SHARED_H

#include <windows.h>

// {3F0E6B1A-8C2D-4E57-9A61-0B7C5D2E4F18}
static const CLSID CLSID_EngineTestHost = {0x3F0E6B1A, 0x8C2D, 0x4E57, {0x9A, 0x61, 0x0B, 0x7C, 0x5D, 0x2E, 0x4F, 0x18}};

// The class and service of the on-demand start test ("--service" mode).
// {3F0E6B1B-8C2D-4E57-9A61-0B7C5D2E4F18}
static const CLSID CLSID_EngineTestService = {0x3F0E6B1B, 0x8C2D, 0x4E57, {0x9A, 0x61, 0x0B, 0x7C, 0x5D, 0x2E, 0x4F, 0x18}};
#define HOST_SERVICE_NAME "KetraEngineTestSvc"

#define HOST_SHARED_NAME L"KetraEngineTestHost.State"
#define HOST_STOP_EVENT L"KetraEngineTestHost.Stop"
#define HOST_EXIT_EVENT L"KetraEngineTestHost.Exit"

// The tags the host declares; their values come from its provider.
//   Plant.Tank.Level    VT_R8, 42.5, good, fixed timestamp (kLevelTime)
//   Plant.Tank.Temp     VT_R4, 20 + n on the n-th read, good, zero timestamp
//   Plant.Tank.Status   VT_BSTR "Low", uncertain quality
//   Plant.Pump.Running  VT_BOOL, false, read/write
//   Plant.Ghost         VT_I4, declared but unknown to the provider
//   Plant.Slow          VT_I4, 7 after 300 ms
//   Counter             VT_I4, the provider's call count
static const FILETIME kLevelTime = {0x12345678, 0x01D5C000};

struct HostState {
    LONG ready;            // 1 after Start returned 0
    LONG startResult;
    LONG stopRequested;
    LONG stopReturned;     // 1 once Stop() has returned
    LONG providerCalls;
    LONG callsAfterStop;   // ReadTag calls that began after Stop() returned
    LONG callsInFlight;
    LONG liveObjects;      // engine COM objects alive (server process references)
    LONG destructorCalls;  // the engine must never delete the host's provider
};

#endif
