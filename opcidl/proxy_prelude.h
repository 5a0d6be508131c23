/* Forced into every source of the proxy DLL when widl generated it: widl's
 * stubless proxies name the IUnknown proxy entry points, which MinGW's C headers
 * do not declare (rpcrt4 exports them). */
#ifndef KRL_PROXY_PRELUDE_H
#define KRL_PROXY_PRELUDE_H
#include <objbase.h>
#ifdef __cplusplus
extern "C" {
#endif
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
#ifdef __cplusplus
}
#endif
#endif
