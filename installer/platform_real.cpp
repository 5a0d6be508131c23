// The installer's real platform: Windows, FwSetup.dll and KetraOPCServer.dll,
// the two libraries linked at load time. Only the program links this file.
#include "Installer.h"
#include "platform_win32.h"

#include "KetraOPCServer.h"
#include "fw_exports.h"

namespace krelinst {

namespace {

// Thin forwarders rather than the exports' addresses: the table's types stay the
// installer's own whatever integer or boolean type a library header spells.
// Only the low byte of the engine's booleans counts.
bool __stdcall CallRegisterServer(const GUID* clsid, const char* name, const char* name2,
                                  int flag, const char* const* accounts) {
    return (static_cast<unsigned>(::RegisterServer(clsid, name, name2, flag, accounts)) & 0xFF) != 0;
}
bool __stdcall CallUnRegisterServer(const GUID* clsid, const char* name) {
    return (static_cast<unsigned>(::UnRegisterServer(clsid, name)) & 0xFF) != 0;
}
bool __stdcall CallConfigureOpcEnumACL(const char* const* accounts) {
    return (static_cast<unsigned>(::ConfigureOpcEnumACL(accounts)) & 0xFF) != 0;
}
int __stdcall CallFWAddApp(const char* imagePath) { return static_cast<int>(::FWAddApp(imagePath)); }
int __stdcall CallFWAddPort(const char* name, int port) {
    return static_cast<int>(::FWAddPort(name, port));
}
int __stdcall CallFWAllowExc() { return static_cast<int>(::FWAllowExc()); }

InstallerPlatform MakeRealPlatform() {
    InstallerPlatform p = {};
    FillWin32Calls(p);
    p.RegisterServer = CallRegisterServer;
    p.UnRegisterServer = CallUnRegisterServer;
    p.ConfigureOpcEnumACL = CallConfigureOpcEnumACL;
    p.FWAddApp = CallFWAddApp;
    p.FWAddPort = CallFWAddPort;
    p.FWAllowExc = CallFWAllowExc;
    return p;
}

}  // namespace

const InstallerPlatform& RealPlatform() {
    static const InstallerPlatform platform = MakeRealPlatform();
    return platform;
}

}  // namespace krelinst
