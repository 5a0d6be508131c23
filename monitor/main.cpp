// OPC.Krel.Client: shows the values of up to 20 tags of an OPC DA server, rewritten
// in place about once a second, until a key is pressed.
#include <windows.h>
#include <objbase.h>

#include "ConsoleIO.h"
#include "Monitor.h"

int main() {
    SetConsoleTitleA("OPC Krel Client 3.0");
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(MAX_PATH, directory);
    // 0 is a failure and MAX_PATH or more the size the directory would need.
    bool haveDirectory = length > 0 && length < MAX_PATH;
    krelmon::Settings settings;
    krelmon::LoadSettings(haveDirectory ? directory : nullptr, settings);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    krelmon::ConsoleIO console;
    krelmon::RunMonitor(console, krelmon::LibraryFactory(), settings);
    CoUninitialize();
    return 0;
}
