// Installs a build of OPC.Krel.Server as the service "OPC Krel Server" of the
// test prefix, drives it through the service manager, and removes it again.
#ifndef SIMSERVER_SCM_TEST_SUPPORT_H
#define SIMSERVER_SCM_TEST_SUPPORT_H

#include <windows.h>

#include <string>

#include "TestDirs.h"

namespace simtest {

inline std::string ExeDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\'));
}

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() { Reset(); }
    void Reset(SC_HANDLE h = nullptr) {
        if (h_) CloseServiceHandle(h_);
        h_ = h;
    }
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

// The log the service writes: it runs with the Windows folder as current directory.
inline std::string TodaysServiceLog() {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    std::snprintf(name, sizeof name, "\\LOGGS\\ZubOpcSrv@%02d-%02d-%04d.log", now.wDay, now.wMonth,
                  now.wYear);
    return std::string(windows) + name;
}

class InstalledService {
public:
    static constexpr const char* kName = "OPC Krel Server";

    // Removes a service of that name left behind by an earlier run, then installs
    // `exeName` from the test's own folder as a demand-start service.
    explicit InstalledService(const std::string& exeName)
        : scm_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (!scm_) return;
        Remove();
        std::string command = "\"" + ExeDir() + "\\" + exeName + "\"";
        service_.Reset(CreateServiceA(scm_.get(), kName, kName, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    }
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;
    ~InstalledService() {
        service_.Reset();
        if (scm_) Remove();
    }

    bool installed() const { return static_cast<bool>(service_); }
    SC_HANDLE get() const { return service_.get(); }

    // A freshly booted prefix can be slow to bring up the first service process;
    // the service manager then gives up waiting (1053) once.
    bool Start() {
        if (StartServiceA(service_.get(), 0, nullptr)) return true;
        if (GetLastError() != ERROR_SERVICE_REQUEST_TIMEOUT) return false;
        if (WaitFor(SERVICE_RUNNING, 60000).dwCurrentState == SERVICE_RUNNING) return true;
        WaitFor(SERVICE_STOPPED, 60000);
        return StartServiceA(service_.get(), 0, nullptr) != FALSE;
    }

    bool Control(DWORD control) {
        SERVICE_STATUS status;
        return ControlService(service_.get(), control, &status) != FALSE;
    }

    SERVICE_STATUS Query() {
        SERVICE_STATUS status;
        ZeroMemory(&status, sizeof status);
        QueryServiceStatus(service_.get(), &status);
        return status;
    }

    // Polls until the service reports `state`; the last status seen either way.
    SERVICE_STATUS WaitFor(DWORD state, DWORD timeoutMs = 60000) {
        DWORD started = GetTickCount();
        SERVICE_STATUS status = Query();
        while (status.dwCurrentState != state && GetTickCount() - started < timeoutMs) {
            Sleep(50);
            status = Query();
        }
        return status;
    }

private:
    void Remove() {
        ServiceHandle old(OpenServiceA(scm_.get(), kName, SERVICE_ALL_ACCESS));
        if (!old) return;
        SERVICE_STATUS status;
        if (QueryServiceStatus(old.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
            DWORD started = GetTickCount();
            while (QueryServiceStatus(old.get(), &status) &&
                   status.dwCurrentState != SERVICE_STOPPED && GetTickCount() - started < 30000) {
                Sleep(50);
            }
        }
        DeleteService(old.get());
    }

    ServiceHandle scm_;
    ServiceHandle service_;
};

// What a file gained since it was looked at first.
class FileTail {
public:
    explicit FileTail(std::string path) : path_(std::move(path)), start_(ReadFileBytes(path_).size()) {}
    std::string Added() const {
        std::string all = ReadFileBytes(path_);
        return all.size() > start_ ? all.substr(start_) : std::string();
    }
    // Polls until the gained text contains `what`; the gained text either way.
    std::string WaitFor(const std::string& what, DWORD timeoutMs = 60000) const {
        DWORD started = GetTickCount();
        std::string added = Added();
        while (added.find(what) == std::string::npos && GetTickCount() - started < timeoutMs) {
            Sleep(50);
            added = Added();
        }
        return added;
    }

private:
    std::string path_;
    size_t start_;
};

}  // namespace simtest

#endif
