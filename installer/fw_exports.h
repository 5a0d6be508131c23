// The three firewall exports the installer calls in FwSetup.dll. When the
// library's own header is on the include path it is the one used; otherwise
// the prototypes below match its export table (_FWAddApp@4, _FWAddPort@8,
// _FWAllowExc@0): each returns 0 or a four-digit failure code.
#ifndef KREL_INST_FW_EXPORTS_H
#define KREL_INST_FW_EXPORTS_H

#if defined(__has_include)
#if __has_include("FwSetup.h")
#include "FwSetup.h"
#define KREL_INST_HAVE_FWSETUP_H 1
#endif
#endif

#ifndef KREL_INST_HAVE_FWSETUP_H
extern "C" {
__declspec(dllimport) int __stdcall FWAddApp(const char* imagePath);
__declspec(dllimport) int __stdcall FWAddPort(const char* name, int port);
__declspec(dllimport) int __stdcall FWAllowExc();
}
#endif

#endif
