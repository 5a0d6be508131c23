// How the engine reaches COM activation and the wait of a connect. The library
// calls the platform through this table only so that tests can stand in for the
// routes a test bed cannot reach (DCOM activation on another machine) and for the
// half-second sleeps; every entry defaults to the real function.
#ifndef KETRA_ACTIVATION_H
#define KETRA_ACTIVATION_H

#include <windows.h>
#include <objbase.h>

namespace ketra {
namespace opc {

struct ActivationTable {
    HRESULT(WINAPI* clsidFromProgId)(LPCOLESTR progId, LPCLSID clsid);
    HRESULT(WINAPI* coCreateInstance)(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                      LPVOID* object);
    HRESULT(WINAPI* coCreateInstanceEx)(REFCLSID clsid, IUnknown* outer, DWORD context,
                                        COSERVERINFO* serverInfo, DWORD count, MULTI_QI* results);
    void(WINAPI* sleep)(DWORD milliseconds);
};

// The named-host route (server list, then server). A remote name activates on that
// computer and this computer's own name locally; the pair is what OPC clients
// commonly pass, and Wine (which has no remote activation) answers only to it.
const DWORD kNamedHostContext = CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The table the engine uses; a test may change entries and must restore them.
ActivationTable& Activation();
// The platform's own functions.
const ActivationTable& DefaultActivation();

}  // namespace opc
}  // namespace ketra

#endif
