// The fake server for the header consumer, kept out of the consumer's own source
// so that source sees IOPCClient.h and nothing else of ours.
#include "FakeOpcServer.h"

namespace {
const CLSID CLSID_HeaderFake = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x7a}};
fakeopc::FakeOpc* g_fake = nullptr;
}  // namespace

bool StartHeaderFake() {
    g_fake = new fakeopc::FakeOpc();
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = 21.5f;
    g_fake->DefineItem(L"Sim.Temperatura", fakeopc::FakeItem());
    g_fake->SetValue(L"Sim.Temperatura", v);
    return SUCCEEDED(g_fake->Register(CLSID_HeaderFake, L"Kit.FakeOpc.Header.1"));
}

// The client handles the server was given, in the order of the AddItems calls.
std::vector<unsigned long> HeaderFakeClientHandles() {
    std::vector<unsigned long> handles;
    for (auto& call : g_fake->AddItemsCalls())
        for (auto& def : call) handles.push_back(def.hClient);
    return handles;
}

bool StopHeaderFakeClean() {
    bool clean = g_fake->OutstandingRefs() == 0 && g_fake->LiveObjects() == 0 && g_fake->HeldClientRefs() == 0;
    delete g_fake;
    g_fake = nullptr;
    return clean;
}
