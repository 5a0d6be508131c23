// FwSetup.dll: the three exports, the choice between the firewall generations
// and the argument preparation both generations share.
#include "FwSetup.h"

#include <string.h>

#include "FwInternal.h"

namespace fwsetup {

bool WidenBytes(const char* s, WideText& out) {
    if (!s) return false;
    size_t n = 0;
    while (s[n] != '\0') {
        if (n == kMaxText) return false;
        ++n;
    }
    for (size_t i = 0; i < n; ++i)
        out.text[i] = static_cast<wchar_t>(static_cast<unsigned char>(s[i]));
    out.text[n] = L'\0';
    return true;
}

void EntryNameFromPath(const char* path, WideText& out) {
    // Split as the C library's _splitpath does (an optional drive "X:", the
    // directory up to the last '\\' or '/', the extension from the last '.'),
    // but without its _MAX_FNAME limit: a path of up to 260 characters may hold
    // a longer file name, which _splitpath would overrun, empty or abort on.
    const char* name = path;
    if (name[0] != '\0' && name[1] == ':') name += 2;
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    const char* end = strrchr(name, '.');
    if (!end) end = name + strlen(name);
    size_t n = 0;
    for (; name + n < end; ++n) out.text[n] = static_cast<wchar_t>(static_cast<unsigned char>(name[n]));
    out.text[n] = L'\0';
}

namespace {

// The firewall of Vista (6.0) and later has named rules for all profiles; the
// older one has per-profile entries. A failing check means the older one.
bool HasAdvancedFirewall() {
    OSVERSIONINFOEXA wanted;
    ZeroMemory(&wanted, sizeof(wanted));
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = 6;
    wanted.dwMinorVersion = 0;
    wanted.wServicePackMajor = 0;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              condition) != FALSE;
}

}  // namespace
}  // namespace fwsetup

extern "C" int __stdcall FWAddApp(const char* imagePath) {
    using namespace fwsetup;
    const bool advanced = HasAdvancedFirewall();
    WideText path;
    if (!WidenBytes(imagePath, path)) return advanced ? 2010 : 1010;
    WideText entryName;
    EntryNameFromPath(imagePath, entryName);
    return advanced ? AdvancedAddApp(path, entryName) : LegacyAddApp(path, entryName);
}

extern "C" int __stdcall FWAddPort(const char* name, int port) {
    using namespace fwsetup;
    const bool advanced = HasAdvancedFirewall();
    WideText wideName;
    if (!WidenBytes(name, wideName)) return advanced ? 6010 : 5010;
    // A TCP port is 16 bits wide; higher bits of the argument are ignored.
    const LONG tcpPort = static_cast<LONG>(static_cast<unsigned short>(port));
    return advanced ? AdvancedAddPort(wideName, tcpPort) : LegacyAddPort(wideName, tcpPort);
}

extern "C" int __stdcall FWAllowExc(void) {
    using namespace fwsetup;
    return HasAdvancedFirewall() ? AdvancedAllowExceptions() : LegacyAllowExceptions();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
