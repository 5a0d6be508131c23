// OPC.Krel.Client: shows the values of up to 20 tags of an OPC DA server, rewritten
// in place about once a second, until a key is pressed.
//   OPC.Krel.Client.exe /Diag [host [ProgID]]   checks the connection step by step
//                                               (defaults from the INI file) and
//                                               exits with the first failed step
#include <windows.h>
#include <objbase.h>

#include <string>

#include "ConsoleIO.h"
#include "Diagnosis.h"
#include "Monitor.h"

namespace {

// The folder of the program itself: the report goes beside it.
std::string ProgramDirectory() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    std::string directory(path, length);
    size_t slash = directory.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : directory.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
    SetConsoleTitleA("OPC Krel Client 3.0");
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(MAX_PATH, directory);
    // 0 is a failure and MAX_PATH or more the size the directory would need.
    bool haveDirectory = length > 0 && length < MAX_PATH;
    krelmon::Settings settings;
    krelmon::LoadSettings(haveDirectory ? directory : nullptr, settings);
    const bool diagnose =
        argc > 1 && (lstrcmpiA(argv[1], krelmon::kDiagSwitch) == 0 || lstrcmpiA(argv[1], "-Diag") == 0);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    krelmon::ConsoleIO console;
    int exitCode = 0;
    if (diagnose) {
        exitCode = krelmon::RunDiagnosis(console, &RunOPCDiagnosis, argc > 3 ? argv[3] : settings.serverName,
                                         argc > 2 ? argv[2] : settings.hostName, ProgramDirectory().c_str());
    } else {
        krelmon::RunMonitor(console, krelmon::LibraryFactory(), settings);
    }
    CoUninitialize();
    return exitCode;
}
