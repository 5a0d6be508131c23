// Measures the engine against the floor of its transport: a one-item cache read
// through the engine vs the same IOPCSyncIO::Read on a minimal object in the same
// host process behind the same proxy; read throughput with 1, 2 and 4 client
// threads; and the host's memory for 100 groups of 16 items.
// Usage: engine_bench.exe   (from the build's bin folder)
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "bench_shared.h"
#include "kit_com.h"
#include "opcda.h"

namespace {

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}


struct EngineReader {
    kit::ComPtr<IOPCServer> server;
    kit::ComPtr<IOPCSyncIO> io;
    OPCHANDLE item = 0;
};

bool OpenEngine(EngineReader* r) {
    if (FAILED(CoCreateInstance(CLSID_BenchEngine, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, r->server.put_void())))
        return false;
    OPCHANDLE group;
    DWORD rate;
    kit::ComPtr<IOPCItemMgt> items;
    if (FAILED(r->server->AddGroup(L"", TRUE, 1000, 1, nullptr, nullptr, 0, &group, &rate, IID_IOPCItemMgt,
                                   reinterpret_cast<IUnknown**>(items.put()))))
        return false;
    OPCITEMDEF def = {};
    def.szAccessPath = const_cast<wchar_t*>(L"");
    def.szItemID = const_cast<wchar_t*>(L"Bench.T00");
    def.bActive = TRUE;
    kit::CoTaskArray<OPCITEMRESULT> res;
    kit::CoTaskArray<HRESULT> err;
    if (items->AddItems(1, &def, res.put(), err.put()) != S_OK) return false;
    r->item = res[0].hServer;
    return SUCCEEDED(items.As(IID_IOPCSyncIO, r->io));
}

bool ReadOnce(IOPCSyncIO* io, OPCHANDLE h) {
    kit::CoTaskArray<OPCITEMSTATE> states;
    kit::CoTaskArray<HRESULT> errors;
    if (FAILED(io->Read(OPC_DS_CACHE, 1, &h, states.put(), errors.put()))) return false;
    VariantClear(&states[0].vDataValue);
    return true;
}

// Microseconds per call, median of several blocks.
double PerCall(IOPCSyncIO* io, OPCHANDLE h, int blocks, int calls) {
    std::vector<double> samples;
    for (int b = 0; b < blocks; ++b) {
        double t0 = benchclock::Us();
        for (int i = 0; i < calls; ++i) ReadOnce(io, h);
        samples.push_back((benchclock::Us() - t0) / calls);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

SIZE_T HostPrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc))) return 0;
    // Some systems leave PrivateUsage at 0; the page-file figure counts the same commit.
    return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
}

}  // namespace

int main() {
    kit::ComInit com(COINIT_MULTITHREADED);
    HMODULE proxy = LoadLibraryW((ProgramDir() + L"OPCKrelProxy.dll").c_str());
    typedef HRESULT(WINAPI * Reg)();
    Reg reg = proxy ? reinterpret_cast<Reg>(reinterpret_cast<void*>(GetProcAddress(proxy, "DllRegisterServer")))
                    : nullptr;
    if (!reg || FAILED(reg())) {
        printf("cannot register OPCKrelProxy.dll\n");
        return 1;
    }
    kit::Handle ready(CreateEventW(nullptr, TRUE, FALSE, BENCH_READY_EVENT));
    kit::Handle exitEvent(CreateEventW(nullptr, TRUE, FALSE, BENCH_EXIT_EVENT));
    std::wstring cmd = L"\"" + ProgramDir() + L"engine_bench_host.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        printf("cannot start engine_bench_host.exe\n");
        return 1;
    }
    CloseHandle(pi.hThread);
    kit::Handle host(pi.hProcess);
    if (WaitForSingleObject(ready.get(), 20000) != WAIT_OBJECT_0) {
        printf("host not ready\n");
        return 1;
    }
    int rc = 0;
    {
        EngineReader engine;
        kit::ComPtr<IOPCSyncIO> minimal;
        if (!OpenEngine(&engine) ||
            FAILED(CoCreateInstance(CLSID_BenchMinimal, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCSyncIO,
                                    minimal.put_void()))) {
            printf("cannot reach the host's objects\n");
            SetEvent(exitEvent.get());
            return 1;
        }
        // Warm both paths up, then interleave the measurements so drift hits both.
        PerCall(engine.io.get(), engine.item, 1, 300);
        PerCall(minimal.get(), 1, 1, 300);
        std::vector<double> e, m;
        for (int round = 0; round < 5; ++round) {
            e.push_back(PerCall(engine.io.get(), engine.item, 3, 1000));
            m.push_back(PerCall(minimal.get(), 1, 3, 1000));
        }
        std::sort(e.begin(), e.end());
        std::sort(m.begin(), m.end());
        double ratio = e[2] / m[2];
        printf("sync cache read, 1 item: engine %.1f us/call, minimal object %.1f us/call, ratio %.3f (limit 1.10)\n",
               e[2], m[2], ratio);
        if (ratio > 1.10) rc = 2;

        for (int threads : {1, 2, 4}) {
            std::vector<EngineReader> readers(static_cast<size_t>(threads));
            for (auto& r : readers)
                if (!OpenEngine(&r)) {
                    printf("cannot open a reader\n");
                    rc = 1;
                }
            std::vector<long> counts(static_cast<size_t>(threads), 0);
            std::vector<std::thread> pool;
            double t0 = benchclock::Us();
            const double seconds = 2.0;
            for (int t = 0; t < threads; ++t) {
                pool.emplace_back([&, t]() {
                    kit::ComInit c(COINIT_MULTITHREADED);
                    EngineReader& r = readers[static_cast<size_t>(t)];
                    while (benchclock::Us() - t0 < seconds * 1e6)
                        if (ReadOnce(r.io.get(), r.item)) ++counts[static_cast<size_t>(t)];
                });
            }
            for (auto& th : pool) th.join();
            long total = 0;
            for (long c : counts) total += c;
            printf("reads/s with %d client thread(s): %.0f\n", threads, total / seconds);
        }

        // Memory: 100 groups of 16 active items, as the host sees it.
        kit::ComPtr<IOPCServer> server;
        CoCreateInstance(CLSID_BenchEngine, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void());
        Sleep(300);
        SIZE_T before = HostPrivateBytes(host.get());
        std::vector<kit::ComPtr<IOPCItemMgt>> groups;
        std::vector<std::wstring> ids;
        for (int i = 0; i < 16; ++i) {
            wchar_t id[32];
            swprintf(id, 32, L"Bench.T%02d", i);
            ids.push_back(id);
        }
        for (int g = 0; g < 100 && server; ++g) {
            OPCHANDLE h;
            DWORD rate;
            kit::ComPtr<IOPCItemMgt> items;
            if (FAILED(server->AddGroup(L"", TRUE, 1000, static_cast<OPCHANDLE>(g), nullptr, nullptr, 0, &h, &rate,
                                        IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.put()))))
                break;
            OPCITEMDEF defs[16] = {};
            for (int i = 0; i < 16; ++i) {
                defs[i].szAccessPath = const_cast<wchar_t*>(L"");
                defs[i].szItemID = const_cast<wchar_t*>(ids[static_cast<size_t>(i)].c_str());
                defs[i].bActive = TRUE;
                defs[i].hClient = static_cast<OPCHANDLE>(i);
            }
            kit::CoTaskArray<OPCITEMRESULT> res;
            kit::CoTaskArray<HRESULT> err;
            items->AddItems(16, defs, res.put(), err.put());
            groups.push_back(items);
        }
        Sleep(1500);  // a refresh or two of every group
        SIZE_T after = HostPrivateBytes(host.get());
        double mb = (static_cast<double>(after) - static_cast<double>(before)) / (1024.0 * 1024.0);
        printf("host memory for %u groups x 16 items: %.2f MB (limit 5 MB; private bytes %lu -> %lu)\n",
               static_cast<unsigned>(groups.size()), mb, static_cast<unsigned long>(before),
               static_cast<unsigned long>(after));
        if (mb > 5.0 || groups.size() != 100) rc = 2;
    }
    SetEvent(exitEvent.get());
    WaitForSingleObject(host.get(), 10000);
    return rc;
}
