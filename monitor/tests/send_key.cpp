// Types "x" and Enter into the console of a running program, as a keyboard
// would: Wine's terminal console (measured with Wine 8 in tmux) does not turn a
// pane's keystrokes into console input events, so _kbhit would never see them.
//   krel_sendkey.exe <program file name>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    DWORD pid = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 3;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
        if (_stricmp(pe.szExeFile, argv[1]) == 0) pid = pe.th32ProcessID;
    CloseHandle(snap);
    if (!pid) {
        std::fprintf(stderr, "%s is not running\n", argv[1]);
        return 4;
    }
    FreeConsole();
    if (!AttachConsole(pid)) {
        std::fprintf(stderr, "AttachConsole: %lu\n", GetLastError());
        return 5;
    }
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return 6;
    INPUT_RECORD keys[4];
    std::memset(keys, 0, sizeof keys);
    for (int i = 0; i < 4; ++i) {
        KEY_EVENT_RECORD& k = keys[i].Event.KeyEvent;
        keys[i].EventType = KEY_EVENT;
        k.bKeyDown = i % 2 == 0;
        k.wRepeatCount = 1;
        k.wVirtualKeyCode = i < 2 ? 'X' : VK_RETURN;
        k.uChar.AsciiChar = i < 2 ? 'x' : '\r';
    }
    DWORD written = 0;
    BOOL ok = WriteConsoleInputA(input, keys, 4, &written);
    CloseHandle(input);
    return ok && written == 4 ? 0 : 7;
}
