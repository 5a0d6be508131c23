/* The proxy file list of OPCKrelProxy.dll and its class object. The factory's
 * CLSID is the kit's own, so that it never collides with another vendor's OPC
 * proxy/stub DLL registered on the same machine. */
#include <objbase.h>

/* {7E3B8F52-4C1D-4F0A-9B6E-2D5A8C7F1E30} */
#define PROXY_CLSID_IS { 0x7e3b8f52, 0x4c1d, 0x4f0a, { 0x9b, 0x6e, 0x2d, 0x5a, 0x8c, 0x7f, 0x1e, 0x30 } }

#include <rpcproxy.h>

#ifdef __cplusplus
extern "C" {
#endif

EXTERN_PROXY_FILE(opccomn)
EXTERN_PROXY_FILE(opcda)

PROXYFILE_LIST_START
  REFERENCE_PROXY_FILE(opccomn),
  REFERENCE_PROXY_FILE(opcda),
PROXYFILE_LIST_END

DLLDATA_ROUTINES(aProxyFileList, GET_DLL_CLSID)

#ifdef __cplusplus
}
#endif
