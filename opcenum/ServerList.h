// The server list's COM class (CLSID_OpcServerList): IOPCServerList2 and
// IOPCServerList on one object, and the GUID enumerator both hand out.
#ifndef KRELENUM_SERVER_LIST_H
#define KRELENUM_SERVER_LIST_H

#include <windows.h>
#include <objbase.h>

namespace krelenum {

// The class object: every CreateInstance is a new server list (they keep no state,
// so one per client costs nothing).
IClassFactory* ServerListFactory();

}  // namespace krelenum

#endif
