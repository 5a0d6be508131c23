// The kit against a bare COM client, both out of process on the real simulation
// service, as ratios measured in one run:
//   1. KetraOPCClient's ReadValue of a registered item / the same one-item
//      IOPCSyncIO::Read from the cache on a group of a bare client;
//   2. one refresh pass of the console monitor (its own ConnectionCycle from
//      krel_monitor_core, on a console that draws nothing) / the same number of
//      bare one-item reads; the service has 16 tags, so a pass reads 16, not 20;
//   3. Connect until the first value is read, beside CoCreateInstance + AddGroup +
//      AddItems + Read of a bare client (milliseconds, no bound).
// The variants alternate call by call (pass by pass, connection by connection),
// so the drift of a shared machine hits both; the ratio held against the bound is
// the median of the ratios of neighbouring samples (bench_stats.h says why).
//
// The program installs "OPC Krel Server" in the prefix's service manager with
// OPC.Krel.Server.exe from its own folder, registers the COM server and the
// proxy, starts it, and removes all of it again when it ends, fails or is
// interrupted.
// Usage: service_bench.exe [/quick] | service_bench.exe /cleanup
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// opcda.h first: the library's header then leaves OPCSERVERSTATE to it.
#include "opcda.h"
#include "IOPCClient.h"
#include "KetraOPCServer.h"
#include "Monitor.h"
#include "ScmTestSupport.h"
#include "bench_clock.h"
#include "bench_stats.h"
#include "kit_com.h"

namespace {

using kit::ComPtr;
using kit::CoTaskArray;

const char* const kAccounts[] = {"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE", "ANONYMOUS LOGON", nullptr};
const char kProbeTag[] = "Bomba.1H.Aceleracion";
const DWORD kUpdateRate = 1000;  // the client library's group rate

struct Counts {
    int readPairs;
    int passPairs;  // passes of each kind
    int connectPairs;
};

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

using benchstats::Median;
using benchstats::Quantile;
using benchstats::Ratio;
using benchstats::RatioOf;

void IgnoreLog(const char*) {}

// ---------------------------------------------------------------------------
// The service bed: proxy, service, COM registration; torn down exactly once
// from the destructor, an unhandled exception or a console interrupt.

typedef HRESULT(STDAPICALLTYPE* DllEntry)();

class ServiceBed {
public:
    ServiceBed() {}
    ServiceBed(const ServiceBed&) = delete;
    ServiceBed& operator=(const ServiceBed&) = delete;
    ~ServiceBed() { TearDown(); }

    bool SetUp() {
        proxy_ = LoadLibraryW((ProgramDir() + L"OPCKrelProxy.dll").c_str());
        DllEntry reg = Entry("DllRegisterServer");
        if (!reg || FAILED(reg())) return Fail("cannot register OPCKrelProxy.dll");
        proxyRegistered_ = true;
        service_ = new simtest::InstalledService("OPC.Krel.Server.exe");  // removes a leftover first
        if (!service_->installed()) return Fail("cannot install the service \"OPC Krel Server\"");
        registered_ = true;  // UnRegisterServer is harmless where nothing was written
        if (!RegisterServer(&CLSID_KetraOPCKrelServer, KETRA_OPC_SERVER_NAME, KETRA_OPC_SERVER_NAME, 1, kAccounts))
            return Fail("RegisterServer failed");
        if (!service_->Start()) return Fail("cannot start the service");
        if (service_->WaitFor(SERVICE_RUNNING).dwCurrentState != SERVICE_RUNNING)
            return Fail("the service did not reach the running state");
        // Running is reported before the class object may be there: wait for it.
        for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(100)) {
            ComPtr<IOPCServer> probe;
            if (SUCCEEDED(CoCreateInstance(CLSID_KetraOPCKrelServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                           probe.put_void())))
                return true;
        }
        return Fail("the service's COM server does not answer");
    }

    // Idempotent and safe from another thread: the first caller does the work.
    void TearDown() {
        if (InterlockedExchange(&tornDown_, 1)) return;
        if (service_) {
            service_->Control(SERVICE_CONTROL_STOP);
            service_->WaitFor(SERVICE_STOPPED, 15000);
            delete service_;  // deletes the service
            service_ = nullptr;
        }
        if (registered_) UnRegisterServer(&CLSID_KetraOPCKrelServer, KETRA_OPC_SERVER_NAME);
        if (proxyRegistered_)
            if (DllEntry unreg = Entry("DllUnregisterServer")) unreg();
        if (proxy_) FreeLibrary(proxy_);
        proxy_ = nullptr;
    }

    // What a killed earlier run may have left: the service, the class, the proxy.
    void RemoveLeftovers() {
        proxy_ = LoadLibraryW((ProgramDir() + L"OPCKrelProxy.dll").c_str());
        proxyRegistered_ = proxy_ != nullptr;
        service_ = new simtest::InstalledService("OPC.Krel.Server.exe");
        registered_ = true;
        TearDown();
    }

private:
    bool Fail(const char* what) {
        std::printf("setup: %s (last error %lu)\n", what, static_cast<unsigned long>(GetLastError()));
        return false;
    }
    DllEntry Entry(const char* name) {
        return proxy_ ? reinterpret_cast<DllEntry>(reinterpret_cast<void*>(GetProcAddress(proxy_, name))) : nullptr;
    }

    HMODULE proxy_ = nullptr;
    bool proxyRegistered_ = false;
    bool registered_ = false;
    simtest::InstalledService* service_ = nullptr;
    volatile LONG tornDown_ = 0;
};

ServiceBed* g_bed = nullptr;

LONG WINAPI TearDownOnCrash(EXCEPTION_POINTERS*) {
    if (g_bed) g_bed->TearDown();
    std::printf("service_bench: ended by an exception; the service and registrations were removed\n");
    std::fflush(stdout);
    return EXCEPTION_EXECUTE_HANDLER;
}

BOOL WINAPI TearDownOnInterrupt(DWORD) {
    if (g_bed) g_bed->TearDown();
    return FALSE;  // and let the process end as it would have
}

// ---------------------------------------------------------------------------
// A bare OPC DA client: the calls any client needs, nothing else.

class RawClient {
public:
    RawClient() {}
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient() { Close(); }

    // Server object, one active group at the library's rate, the items, IOPCSyncIO.
    HRESULT Open(const std::vector<std::wstring>& ids) {
        HRESULT hr = CoCreateInstance(CLSID_KetraOPCKrelServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      server_.put_void());
        if (FAILED(hr)) return hr;
        DWORD revised = 0;
        hr = server_->AddGroup(L"bench.raw", TRUE, kUpdateRate, 1, nullptr, nullptr, 0, &group_, &revised,
                               IID_IOPCItemMgt, items_.put_unknown());
        if (FAILED(hr)) return hr;
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF();
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        }
        CoTaskArray<OPCITEMRESULT> results;
        CoTaskArray<HRESULT> errors;
        hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
        if (hr != S_OK || !results || !errors) return FAILED(hr) ? hr : E_FAIL;
        handles_.clear();
        for (size_t i = 0; i < ids.size(); ++i) {
            if (results[i].pBlob) CoTaskMemFree(results[i].pBlob);
            handles_.push_back(results[i].hServer);
        }
        return items_.As(IID_IOPCSyncIO, sync_);
    }

    // One item from the cache, freed as a careful caller frees it.
    bool Read(size_t index) {
        OPCHANDLE handle = handles_[index % handles_.size()];
        CoTaskArray<OPCITEMSTATE> states;
        CoTaskArray<HRESULT> errors;
        HRESULT hr = sync_->Read(OPC_DS_CACHE, 1, &handle, states.put(), errors.put());
        if (states) VariantClear(&states[0].vDataValue);
        return hr == S_OK && errors && SUCCEEDED(errors[0]);
    }

    size_t Count() const { return handles_.size(); }

    void Close() {
        sync_.Reset();
        items_.Reset();
        if (server_ && group_) server_->RemoveGroup(group_, TRUE);
        group_ = 0;
        server_.Reset();
    }

private:
    ComPtr<IOPCServer> server_;
    OPCHANDLE group_ = 0;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> sync_;
    std::vector<OPCHANDLE> handles_;
};

// The library's client object, destroyed by the library.
class KitClient {
public:
    KitClient() : c_(CreateNewOPCClientObject()) {}
    KitClient(const KitClient&) = delete;
    KitClient& operator=(const KitClient&) = delete;
    ~KitClient() {
        if (c_) {
            c_->Disconnect();
            DestroyOPCClientObject(c_);
        }
    }
    ketra::opc::IOPCClient* operator->() const { return c_; }
    ketra::opc::IOPCClient* get() const { return c_; }

private:
    ketra::opc::IOPCClient* c_;
};

// The local route: Wine has no remote activation, and "LocalHost" would go
// through a server list that is not installed here.
HRESULT ConnectKit(KitClient& client) { return client->Connect(KETRA_OPC_SERVER_NAME, "", &IgnoreLog); }

bool ReadKit(KitClient& client, const char* tag) {
    FILETIME ts;
    DWORD quality = 0;
    kit::Variant value;
    return client->ReadValue(tag, &ts, value.get(), &quality);
}

// ---------------------------------------------------------------------------
// 1. One registered item: ReadValue against the bare Read, call by call.

bool BenchRead(int pairs, std::vector<double>& kit, std::vector<double>& raw) {
    KitClient client;
    RawClient bare;
    if (!client.get() || FAILED(ConnectKit(client)) || !ReadKit(client, kProbeTag)) return false;
    if (FAILED(bare.Open({kit::WideFromAnsi(kProbeTag)}))) return false;
    for (int i = 0; i < 50; ++i) {  // warm both paths up
        ReadKit(client, kProbeTag);
        bare.Read(0);
    }
    FILETIME ts;
    DWORD quality = 0;
    kit::Variant value;
    for (int i = 0; i < pairs; ++i) {
        // Which goes first alternates too, so neither always follows the other.
        for (int k = 0; k < 2; ++k) {
            if ((i + k) % 2 == 0) {
                double t = benchclock::Ms();
                bool ok = client->ReadValue(kProbeTag, &ts, value.get(), &quality);
                kit.push_back(benchclock::Ms() - t);
                if (!ok) return false;
            } else {
                double t = benchclock::Ms();
                bool ok = bare.Read(0);
                raw.push_back(benchclock::Ms() - t);
                if (!ok) return false;
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// 2. The monitor's refresh pass. The monitor runs its own loop; this console
// times the stretch between the end of one key poll and the start of the next
// (exactly the pass: a ReadValue, a MoveTo and a Print per tag). Inside each poll,
// before its sleeps, it runs a bare pass over the same tags and, to tell the
// monitor's own share from the library's, the pass's ReadValue calls alone on the
// monitor's client object; those two alternate which goes first.

ketra::opc::IOPCClient* g_monitorClient = nullptr;

ketra::opc::IOPCClient* __stdcall CreateWatchedClient() {
    g_monitorClient = CreateNewOPCClientObject();
    return g_monitorClient;
}

BOOL __stdcall DestroyWatchedClient(ketra::opc::IOPCClient* client) {
    g_monitorClient = nullptr;
    return DestroyOPCClientObject(client);
}

class PassTimer final : public krelmon::IConsoleIO {
public:
    PassTimer(RawClient& bare, const krelmon::TagTable& shown, int pairs)
        : bare_(bare), shown_(shown), pairs_(pairs) {}

    void Clear() override {}
    void MoveTo(short, short) override {}
    void Print(const char*) override {}
    void WaitForKey() override {}
    short Columns() override { return krelmon::kDefaultColumns; }

    bool KeyPressed() override {
        if (inPoll_) return false;
        // First look of a poll: the pass before it has just ended.
        const double end = benchclock::Ms();
        inPoll_ = true;
        if (passStart_ < 0) return false;  // the first pass also registered the items
        monitor.push_back(end - passStart_);
        const bool bareFirst = monitor.size() % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == bareFirst) {
                double t = benchclock::Ms();
                for (size_t i = 0; i < bare_.Count(); ++i)
                    if (!bare_.Read(i)) failed = true;
                raw.push_back(benchclock::Ms() - t);
            } else {
                double t = benchclock::Ms();
                for (int i = 0; i < shown_.count; ++i) {
                    FILETIME ts = {0, 0};
                    DWORD quality = 0;
                    kit::Variant value;
                    if (!g_monitorClient || !g_monitorClient->ReadValue(shown_.tags[i], &ts, value.get(), &quality))
                        failed = true;
                }
                reads.push_back(benchclock::Ms() - t);
            }
        }
        return failed || static_cast<int>(monitor.size()) >= pairs_;
    }

    void Sleep(DWORD) override {
        if (++sleeps_ < static_cast<int>(krelmon::kRetryWait / krelmon::kPollStep)) return;
        // Last sleep of the poll: the next pass starts when this returns.
        sleeps_ = 0;
        inPoll_ = false;
        passStart_ = benchclock::Ms();
    }

    std::vector<double> monitor, reads, raw;
    bool failed = false;

private:
    RawClient& bare_;
    const krelmon::TagTable& shown_;
    int pairs_;
    bool inPoll_ = false;
    int sleeps_ = 0;
    double passStart_ = -1.0;
};

bool BenchPass(int passes, std::vector<double>& monitor, std::vector<double>& reads, std::vector<double>& raw,
               int* tagCount) {
    // The tags the monitor will find: its own walk, through a client of its own.
    krelmon::TagTable table;
    table.count = 0;
    {
        KitClient walker;
        if (!walker.get() || FAILED(ConnectKit(walker))) return false;
        krelmon::WalkTags(walker.get(), nullptr, table);
    }
    *tagCount = table.count;
    if (table.count == 0) return false;
    std::vector<std::wstring> ids;
    for (int i = 0; i < table.count; ++i) ids.push_back(kit::WideFromAnsi(table.tags[i]));
    RawClient bare;
    if (FAILED(bare.Open(ids))) return false;
    for (size_t i = 0; i < 3 * bare.Count(); ++i) bare.Read(i);

    krelmon::Settings settings;
    std::snprintf(settings.serverName, sizeof settings.serverName, "%s", KETRA_OPC_SERVER_NAME);
    settings.hostName[0] = '\0';
    krelmon::TagTable shown;
    shown.count = 0;
    PassTimer console(bare, shown, passes);
    const krelmon::ClientFactory watched = {&CreateWatchedClient, &DestroyWatchedClient};
    int rc = krelmon::ConnectionCycle(console, watched, settings, shown);
    monitor = console.monitor;
    reads = console.reads;
    raw = console.raw;
    return rc == 0 && !console.failed && shown.count == table.count;
}

// ---------------------------------------------------------------------------
// 3. Connection until the first value, a new connection each time.

bool BenchConnect(int pairs, std::vector<double>& kitTotal, std::vector<double>& kitConnect,
                  std::vector<double>& raw) {
    const std::vector<std::wstring> probe = {kit::WideFromAnsi(kProbeTag)};
    for (int i = -2; i < pairs; ++i) {  // two rounds of warm-up
        for (int k = 0; k < 2; ++k) {
            if ((i + k) % 2 == 0) {
                double t0 = benchclock::Ms();
                KitClient client;
                HRESULT hr = client.get() ? ConnectKit(client) : E_OUTOFMEMORY;
                double t1 = benchclock::Ms();
                bool ok = SUCCEEDED(hr) && ReadKit(client, kProbeTag);
                double t2 = benchclock::Ms();
                if (!ok) return false;
                if (i >= 0) {
                    kitTotal.push_back(t2 - t0);
                    kitConnect.push_back(t1 - t0);
                }
            } else {
                double t0 = benchclock::Ms();
                RawClient bare;
                bool ok = SUCCEEDED(bare.Open(probe)) && bare.Read(0);
                double t1 = benchclock::Ms();
                if (!ok) return false;
                if (i >= 0) raw.push_back(t1 - t0);
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------

std::string LoadText() {
    // Wine shows the Unix root as drive Z:.
    FILE* f = std::fopen("Z:\\proc\\loadavg", "r");
    if (!f) return "unknown";
    char line[128] = "";
    if (!std::fgets(line, sizeof line, f)) line[0] = '\0';
    std::fclose(f);
    double a = 0, b = 0, c = 0;
    if (std::sscanf(line, "%lf %lf %lf", &a, &b, &c) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
    return text;
}

void PrintRatio(const char* what, const std::vector<double>& kit, const std::vector<double>& raw, double bound) {
    Ratio r = RatioOf(kit, raw);
    std::printf("%s\n  kit %.3f ms  bare %.3f ms  (medians of %u each)\n"
                "  ratio %.3fx (paired)  [slices %.3f-%.3f]  target <= %.2fx%s\n"
                "  beside it: ratio of medians %.3fx, of 5%%-trimmed means %.3fx\n",
                what, Median(kit), Median(raw), static_cast<unsigned>(kit.size()), r.paired, r.low, r.high, bound,
                r.paired > bound ? "  OVER" : "", r.medians, r.trimmed);
    std::printf("  deciles 1/3/5/7/9 kit  %.3f %.3f %.3f %.3f %.3f\n", Quantile(kit, .1), Quantile(kit, .3),
                Quantile(kit, .5), Quantile(kit, .7), Quantile(kit, .9));
    std::printf("  deciles 1/3/5/7/9 bare %.3f %.3f %.3f %.3f %.3f\n", Quantile(raw, .1), Quantile(raw, .3),
                Quantile(raw, .5), Quantile(raw, .7), Quantile(raw, .9));
}

int Run(const Counts& n) {
    ServiceBed bed;
    g_bed = &bed;
    int rc = 1;
    if (bed.SetUp()) {
        rc = 0;
        std::vector<double> kit, raw, kitConnect;
        if (BenchRead(n.readPairs, kit, raw)) {
            PrintRatio("1. ReadValue of a registered item / bare IOPCSyncIO::Read (1 item, cache)", kit, raw, 1.05);
        } else {
            std::printf("1. read benchmark failed\n");
            rc = 1;
        }
        std::fflush(stdout);
        kit.clear();
        raw.clear();
        int tags = 0;
        std::vector<double> reads;
        if (BenchPass(n.passPairs, kit, reads, raw, &tags)) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "2. monitor refresh pass (ConnectionCycle, %d tags: all the service has) / %d bare reads",
                          tags, tags);
            PrintRatio(what, kit, raw, 1.05);
            Ratio alone = RatioOf(reads, raw), own = RatioOf(kit, reads);
            std::printf("  its %d ReadValue calls alone %.3f ms: / bare %.3fx [%.3f-%.3f];"
                        " pass / those calls %.3fx [%.3f-%.3f]\n",
                        tags, Median(reads), alone.paired, alone.low, alone.high, own.paired, own.low, own.high);
        } else {
            std::printf("2. monitor pass benchmark failed (%d tags found)\n", tags);
            rc = 1;
        }
        std::fflush(stdout);
        kit.clear();
        raw.clear();
        if (BenchConnect(n.connectPairs, kit, kitConnect, raw)) {
            std::printf("3. connect until the first value is read (medians of %u each)\n"
                        "  kit Connect + first ReadValue %.1f ms  (Connect alone %.1f ms)\n"
                        "  bare CoCreateInstance + AddGroup + AddItems + Read %.1f ms  ratio %.2fx\n",
                        static_cast<unsigned>(kit.size()), Median(kit), Median(kitConnect), Median(raw),
                        Median(kit) / Median(raw));
        } else {
            std::printf("3. connect benchmark failed\n");
            rc = 1;
        }
    }
    std::fflush(stdout);
    bed.TearDown();
    g_bed = nullptr;
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    kit::ComInit com(COINIT_MULTITHREADED);
    if (argc > 1 && std::strcmp(argv[1], "/cleanup") == 0) {
        ServiceBed bed;
        bed.RemoveLeftovers();
        std::printf("removed the service \"OPC Krel Server\", its COM registration and the proxy\n");
        return 0;
    }
    const bool quick = argc > 1 && std::strcmp(argv[1], "/quick") == 0;
    Counts n = quick ? Counts{300, 20, 6} : Counts{5000, 400, 100};
    SetUnhandledExceptionFilter(&TearDownOnCrash);
    SetConsoleCtrlHandler(&TearDownOnInterrupt, TRUE);

    std::printf("service_bench: out of process, real \"OPC Krel Server\" service, Wine\n");
    std::printf("machine load at start (1/5/15 min): %s on %lu processor(s)\n", LoadText().c_str(),
                [] {
                    SYSTEM_INFO si;
                    GetSystemInfo(&si);
                    return static_cast<unsigned long>(si.dwNumberOfProcessors);
                }());
    std::printf("note: a shared, loaded machine moves absolute times a lot; read the ratios, which pair\n"
                "      alternating samples of one run, and the slice range beside each ratio\n\n");
    std::fflush(stdout);
    int rc = Run(n);
    std::printf("\nmachine load at end (1/5/15 min): %s\n", LoadText().c_str());
    return rc;
}
