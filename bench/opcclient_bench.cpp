// Cost of the client's read path against the in-process fake server, as ratios
// measured in one run (absolute times say little on a shared machine under Wine):
//   1. facade ReadValue of a registered item / a bare IOPCSyncIO::Read of it;
//   2. ReadValue with 10,000 registered items / with 10;
//   3. private bytes of the client's item store for 10,000 items.
// Each timing is the best of several rounds, alternating the variants.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "COPCClient.h"
#include "FakeOpcServer.h"

namespace {

const CLSID CLSID_BenchFake = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x7b}};
const char kProgId[] = "Kit.FakeOpc.Bench.1";
const int kRounds = 41;
const int kReadsPerRound = 5000;

using benchclock::Seconds;

std::string TagName(int i) {
    char name[40];
    std::snprintf(name, sizeof name, "Planta.Linea%02d.Tag%05d", i % 16, i);
    return name;
}

void Define(fakeopc::FakeOpc& fake, int count) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    for (int i = 0; i < count; ++i) {
        std::wstring id = kit::WideFromAnsi(TagName(i).c_str());
        fake.DefineItem(id, fakeopc::FakeItem());
        v.fltVal = static_cast<float>(i);
        fake.SetValue(id, v);
    }
}

// Nanoseconds per facade read of `id`.
double FacadeRound(ketra::opc::COPCClient* client, const char* id) {
    FILETIME ts;
    VARIANT value;
    VariantInit(&value);
    DWORD quality;
    double start = Seconds();
    for (int i = 0; i < kReadsPerRound; ++i) client->ReadValue(id, &ts, &value, &quality);
    double t = Seconds() - start;
    VariantClear(&value);
    return t * 1e9 / kReadsPerRound;
}

// Nanoseconds per bare Read of one server handle, freed as a careful caller would.
double BareRound(IOPCSyncIO* sync, OPCHANDLE serverHandle) {
    double start = Seconds();
    for (int i = 0; i < kReadsPerRound; ++i) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        sync->Read(OPC_DS_CACHE, 1, &serverHandle, &states, &errors);
        if (states) VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    return (Seconds() - start) * 1e9 / kReadsPerRound;
}

// Committed private memory of the process, summed over its address space
// (Wine leaves PROCESS_MEMORY_COUNTERS_EX::PrivateUsage at zero).
SIZE_T PrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        if (static_cast<char*>(info.BaseAddress) + info.RegionSize < p) break;
    }
    return total;
}

}  // namespace

int main() {
    kit::ComInit com(COINIT_MULTITHREADED);
    fakeopc::FakeOpc fake;
    fake.recordCalls = false;  // the fake's own records would grow with every read
    Define(fake, 10000);
    if (FAILED(fake.Register(CLSID_BenchFake, L"Kit.FakeOpc.Bench.1"))) {
        std::printf("cannot register the fake server\n");
        return 1;
    }

    // Two clients on one server: one with 10 items, one with 10,000.
    auto* small = static_cast<ketra::opc::COPCClient*>(CreateNewOPCClientObject());
    auto* large = static_cast<ketra::opc::COPCClient*>(CreateNewOPCClientObject());
    if (FAILED(small->Connect(kProgId, nullptr, nullptr)) || FAILED(large->Connect(kProgId, nullptr, nullptr))) {
        std::printf("cannot connect\n");
        return 1;
    }
    FILETIME ts;
    VARIANT v;
    VariantInit(&v);
    DWORD q;
    for (int i = 0; i < 10; ++i) small->ReadValue(TagName(i).c_str(), &ts, &v, &q);
    for (int i = 0; i < 10000; ++i) large->ReadValue(TagName(i).c_str(), &ts, &v, &q);
    VariantClear(&v);

    const std::string probe = TagName(7);
    COPCItem* item = small->Engine().FindByName(probe.c_str());
    kit::ComPtr<IOPCSyncIO> sync;
    small->Engine().group.As(IID_IOPCSyncIO, sync);
    if (!item || !sync) {
        std::printf("setup failed\n");
        return 1;
    }

    double facade = 1e30, bare = 1e30, facadeLarge = 1e30;
    for (int r = 0; r < kRounds; ++r) {
        bare = std::min(bare, BareRound(sync.get(), item->serverHandle));
        facade = std::min(facade, FacadeRound(small, probe.c_str()));
        facadeLarge = std::min(facadeLarge, FacadeRound(large, probe.c_str()));
    }
    sync.Reset();

    // The client's item store alone: registration without a server behind it.
    auto* store = static_cast<ketra::opc::COPCClient*>(CreateNewOPCClientObject());
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) names.push_back(TagName(i));
    SIZE_T before = PrivateBytes();
    for (int i = 0; i < 10000; ++i) store->Engine().AddParam(ketra::opc::NextClientHandle(), names[i].c_str(), VT_UNKNOWN);
    SIZE_T after = PrivateBytes();

    std::printf("bare IOPCSyncIO::Read          %8.0f ns\n", bare);
    std::printf("ReadValue, 10 items            %8.0f ns   ratio to bare read   %.3fx (target <= 1.15x)\n", facade,
                facade / bare);
    std::printf("ReadValue, 10,000 items        %8.0f ns   ratio to 10 items    %.3fx (target <= 1.20x)\n",
                facadeLarge, facadeLarge / facade);
    std::printf("10,000 registered items        %8.2f MB private bytes (target <= 2 MB)\n",
                static_cast<double>(after - before) / (1024.0 * 1024.0));

    DestroyOPCClientObject(store);
    DestroyOPCClientObject(large);
    DestroyOPCClientObject(small);
    return 0;
}
