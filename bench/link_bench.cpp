// The console's refresh pass over a slow link. The out-of-process test server is
// registered with /DelayMs=<d> (every call it answers is d ms late, as over a
// WAN or radio link) and /AllTypes (20 tags); for d = 0, 20, 50 and 150 ms it
// measures one pass over the 20 tags the console finds, the old way (one
// ReadValue per tag) and the batched way (one ReadValues), each on a client
// object of its own, passes alternating. A pass is printed as its time and as
// that time divided by one call's time (measured in the same
// run: a ReadValue of one registered tag): the old way costs about 20 calls, the
// batched one about one.
// Usage: link_bench.exe [/quick]
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "IOPCClient.h"
#include "Monitor.h"
#include "bench_clock.h"
#include "bench_stats.h"
#include "kit_com.h"
#include "oop_server.h"

namespace {

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

// Runs the test server with `args` and returns its exit code (-1: not started).
int RunServer(const std::wstring& args) {
    std::wstring line = L"\"" + ProgramDir() + KIT_OOP_EXE + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    kit::Handle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}

// OPCKrelProxy.dll's own registration entry.
bool Proxies(const char* entry) {
    HMODULE dll = LoadLibraryW((ProgramDir() + L"OPCKrelProxy.dll").c_str());
    if (!dll) return false;
    typedef HRESULT(WINAPI * Fn)();
    Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, entry)));
    bool ok = fn && SUCCEEDED(fn());
    FreeLibrary(dll);
    return ok;
}

class Client {
public:
    Client() : c_(CreateNewOPCClientObject()) {}
    ~Client() {
        if (c_) DestroyOPCClientObject(c_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ketra::opc::IOPCClient* operator->() const { return c_; }
    ketra::opc::IOPCClient* get() const { return c_; }

private:
    ketra::opc::IOPCClient* c_;
};

bool OldPass(Client& c, const std::vector<const char*>& ids) {
    bool ok = true;
    for (const char* id : ids) {
        FILETIME ts;
        DWORD quality = 0;
        kit::Variant value;
        ok = c->ReadValue(id, &ts, value.get(), &quality) && ok;
    }
    return ok;
}

bool BatchedPass(Client& c, const std::vector<const char*>& ids) {
    std::vector<KetraItemValue> values(ids.size());
    for (KetraItemValue& v : values) VariantInit(&v.value);
    HRESULT hr = c->ReadValues(static_cast<DWORD>(ids.size()), ids.data(), values.data());
    for (KetraItemValue& v : values) VariantClear(&v.value);
    return hr == S_OK;
}

double Timed(bool (*pass)(Client&, const std::vector<const char*>&), Client& c, const std::vector<const char*>& ids,
             bool* ok) {
    const double t = benchclock::Ms();
    *ok = pass(c, ids) && *ok;
    return benchclock::Ms() - t;
}

bool Measure(DWORD delay, int passes, int calls) {
    RunServer(L"/Stop");  // a server of the last delay must not serve this one
    Sleep(500);
    if (RunServer(L"/RegServer /AllTypes /DelayMs=" + std::to_wstring(delay)) != 0) {
        std::printf("registration of the test server failed\n");
        return false;
    }
    Client old, batched;
    if (!old.get() || !batched.get() || FAILED(old->Connect(KIT_OOP_PROGID_A, "", nullptr)) ||
        FAILED(batched->Connect(KIT_OOP_PROGID_A, "", nullptr))) {
        std::printf("%4lu ms: connect failed\n", delay);
        return false;
    }
    krelmon::TagTable table;
    table.count = 0;
    krelmon::WalkTags(old.get(), nullptr, table);
    std::vector<const char*> ids;
    for (int i = 0; i < table.count; ++i) ids.push_back(table.tags[i]);

    bool ok = true;
    // The first passes also register the tags: one add per tag the old way, one
    // add for all of them the batched way.
    const double firstOld = Timed(&OldPass, old, ids, &ok);
    const double firstBatched = Timed(&BatchedPass, batched, ids, &ok);
    // One call: a ReadValue of one registered tag (one IOPCSyncIO::Read), taken
    // between the passes so that it meets the same conditions.
    const std::vector<const char*> one(ids.begin(), ids.begin() + (ids.empty() ? 0 : 1));
    std::vector<double> call, oldPasses, batchedPasses;
    for (int i = 0; i < calls || i < passes; ++i) {
        call.push_back(Timed(&OldPass, old, one, &ok));
        if (i >= passes) continue;
        oldPasses.push_back(Timed(&OldPass, old, ids, &ok));
        batchedPasses.push_back(Timed(&BatchedPass, batched, ids, &ok));
    }
    const double c = benchstats::Median(call);
    const double o = benchstats::Median(oldPasses), b = benchstats::Median(batchedPasses);
    std::printf("%4lu ms | %2d tags | call %7.2f ms | pass: old %8.1f ms = %5.2f calls, batched %7.1f ms = %4.2f calls"
                " (%.1fx faster) | first pass: old %8.1f ms = %5.2f calls, batched %7.1f ms = %4.2f calls%s\n",
                delay, table.count, c, o, o / c, b, b / c, o / b, firstOld, firstOld / c, firstBatched,
                firstBatched / c, ok ? "" : " | SOME READS FAILED");
    old->Disconnect();
    batched->Disconnect();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && lstrcmpiA(argv[1], "/quick") == 0;
    kit::ComInit com(COINIT_MULTITHREADED);
    if (!Proxies("DllRegisterServer")) {
        std::printf("OPCKrelProxy.dll could not be registered\n");
        return 1;
    }
    std::printf("delay per call | tags | one call (ReadValue of one tag, median) | a console pass (median of passes)\n");
    const DWORD delays[] = {0, 20, 50, 150};
    bool ok = true;
    for (DWORD d : delays) {
        // Fewer passes where each costs seconds.
        const int passes = quick ? 3 : d == 0 ? 200 : d <= 20 ? 20 : d <= 50 ? 9 : 5;
        const int calls = quick ? 5 : d == 0 ? 400 : 15;
        ok = Measure(d, passes, calls) && ok;
    }
    RunServer(L"/Stop");
    RunServer(L"/UnregServer");
    Proxies("DllUnregisterServer");
    return ok ? 0 : 1;
}
