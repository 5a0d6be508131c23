// A stand-in for KetraOPCServer.dll: the same five exports, a server object that
// records each call and fails on command.
#include "FakeEngine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "kit_com.h"

namespace {

kit::CritSec g_lock;
bool g_configured = false;  // set by a test: the files beside the DLL are ignored
bool g_failCreate = false;
bool g_failStart = false;
int g_failAddTag = -1;
bool g_readOnStart = false;
std::string g_calls;
std::string g_filePrefix;  // "<dir>\FakeKetraOPCServer" in file mode, else empty
void(__cdecl* g_destroyProbe)(void) = nullptr;
HMODULE g_module = nullptr;

void ApplyConfig(const char* config) {
    g_failCreate = g_failStart = g_readOnStart = false;
    g_failAddTag = -1;
    std::istringstream words(config ? config : "");
    std::string word;
    while (words >> word) {
        if (word == "fail=create") g_failCreate = true;
        else if (word == "fail=start") g_failStart = true;
        else if (word == "read") g_readOnStart = true;
        else if (word.compare(0, 12, "fail=addtag:") == 0) g_failAddTag = std::atoi(word.c_str() + 12);
    }
}

void Record(const std::string& line) {
    kit::CritSecLock hold(g_lock);
    g_calls += line;
    g_calls += '\n';
    if (!g_filePrefix.empty()) {
        if (FILE* f = std::fopen((g_filePrefix + ".calls").c_str(), "ab")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
}

// A service has no test to configure it: take the configuration file, if any.
void ConfigureFromFile() {
    if (g_configured) return;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(g_module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::string prefix(path, n);
    prefix = prefix.substr(0, prefix.find_last_of('\\') + 1) + "FakeKetraOPCServer";
    FILE* f = std::fopen((prefix + ".cfg").c_str(), "rb");
    if (!f) return;
    char text[256] = {0};
    size_t got = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[got] = '\0';
    kit::CritSecLock hold(g_lock);
    g_filePrefix = prefix;
    ApplyConfig(text);
}

std::string ClsidText(const CLSID* clsid) {
    if (!clsid) return "(null)";
    wchar_t text[40] = {0};
    StringFromGUID2(*clsid, text, 40);
    return kit::AnsiFromWide(text);
}

class CFakeServer final : public IOPCServerObject {
public:
    int SetValueProvider(IValueProvider* provider) override {
        provider_ = provider;
        Record(provider ? "SetValueProvider" : "SetValueProvider (null)");
        return 0;
    }
    int Start(const CLSID* clsid) override {
        Record("Start " + ClsidText(clsid));
        if (g_failStart) return 5;
        return 0;
    }
    void Stop() override { Record("Stop"); }
    bool AddTag(const char* name, VARTYPE type, DWORD access) override {
        char line[128];
        std::snprintf(line, sizeof line, "AddTag %s %u %lu", name ? name : "(null)",
                      static_cast<unsigned>(type), static_cast<unsigned long>(access));
        Record(line);
        bool accepted = addTagCalls_++ != g_failAddTag;
        if (accepted && g_readOnStart && provider_) ReadThroughProvider(name);
        return accepted;
    }
    IValueProvider* provider() const { return provider_; }

private:
    void ReadThroughProvider(const char* name) {
        FILETIME stamp = {0x1234, 0x5678};
        DWORD quality = 0;
        kit::Variant value;
        int rc = provider_->ReadTag(name, &stamp, &quality, value.get());
        char line[160];
        std::snprintf(line, sizeof line, "Read %s rc=%d vt=%u value=%.6g quality=%lu stamp=%lu.%lu",
                      name, rc, static_cast<unsigned>(value->vt),
                      value->vt == VT_R4 ? static_cast<double>(value->fltVal) : -1.0,
                      static_cast<unsigned long>(quality),
                      static_cast<unsigned long>(stamp.dwHighDateTime),
                      static_cast<unsigned long>(stamp.dwLowDateTime));
        Record(line);
    }

    IValueProvider* provider_ = nullptr;
    int addTagCalls_ = 0;
};

CFakeServer* g_server = nullptr;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

IOPCServerObject* __stdcall CreateNewOPCServerObject() {
    ConfigureFromFile();
    Record("Create");
    if (g_failCreate || g_server) return nullptr;
    g_server = new CFakeServer;
    return g_server;
}

void __stdcall DestroyOPCServerObject() {
    // Tells the tests whether the host still had COM up when it let the engine go.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool comWasUp = hr == S_FALSE || hr == RPC_E_CHANGED_MODE;
    if (SUCCEEDED(hr)) CoUninitialize();
    Record(std::string("Destroy com=") + (comWasUp ? "1" : "0") + (g_server ? "" : " (no object)"));
    if (g_destroyProbe) g_destroyProbe();
    delete g_server;
    g_server = nullptr;
}

bool __stdcall RegisterServer(const GUID* clsid, const char* name, const char*, int,
                              const char* const*) {
    Record("RegisterServer " + ClsidText(clsid) + " " + (name ? name : "(null)"));
    return true;
}

bool __stdcall UnRegisterServer(const GUID* clsid, const char* name) {
    Record("UnRegisterServer " + ClsidText(clsid) + " " + (name ? name : "(null)"));
    return true;
}

bool __stdcall ConfigureOpcEnumACL(const char* const*) {
    Record("ConfigureOpcEnumACL");
    return true;
}

void __cdecl FakeEngine_Configure(const char* config) {
    kit::CritSecLock hold(g_lock);
    g_configured = true;
    g_filePrefix.clear();
    g_calls.clear();
    ApplyConfig(config);
}

int __cdecl FakeEngine_Calls(char* buffer, int size) {
    kit::CritSecLock hold(g_lock);
    if (buffer && size > 0) {
        size_t n = g_calls.size() < static_cast<size_t>(size - 1) ? g_calls.size()
                                                                    : static_cast<size_t>(size - 1);
        std::memcpy(buffer, g_calls.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(g_calls.size());
}

void __cdecl FakeEngine_SetDestroyProbe(void(__cdecl* probe)(void)) { g_destroyProbe = probe; }

IValueProvider* __cdecl FakeEngine_Provider(void) { return g_server ? g_server->provider() : nullptr; }

}  // extern "C"
