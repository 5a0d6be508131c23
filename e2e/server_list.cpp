// Lists this computer's OPC DA 2.0 servers through the registered server list's
// IOPCServerList2, as an OPC client of the program's own bitness does: one line
// per class, "<ProgID> = <CLSID>". Exit code 0 when "OPC Krel Server" is among
// them, 1 when not, 2 when a call fails.
//   krel_e2e_serverlist.exe
#include <windows.h>

#include <cstdio>

#include "kit_com.h"
#include "opccomn.h"
#include "opcconst.h"

int main() {
    kit::ComInit com(COINIT_MULTITHREADED);
    kit::ComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(CLSID_OpcServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  unknown.put_void());
    kit::ComPtr<IOPCServerList2> list;
    if (SUCCEEDED(hr)) hr = unknown.As(IID_IOPCServerList2, list);
    if (FAILED(hr)) {
        std::printf("CoCreateInstance, QueryInterface(IOPCServerList2): 0x%08lX\n", static_cast<unsigned long>(hr));
        return 2;
    }
    CATID da20 = CATID_OPCDAServer20;
    kit::ComPtr<IOPCEnumGUID> classes;
    hr = list->EnumClassesOfCategories(1, &da20, 0, nullptr, classes.put());
    if (FAILED(hr) || !classes) {
        std::printf("EnumClassesOfCategories: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 2;
    }
    bool found = false;
    CLSID clsid;
    ULONG fetched = 0;
    while (classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
        kit::CoTaskString progId, userType, independent;
        hr = list->GetClassDetails(clsid, progId.put(), userType.put(), independent.put());
        wchar_t id[40];
        StringFromGUID2(clsid, id, 40);
        if (FAILED(hr)) {
            std::printf("GetClassDetails(%ls): 0x%08lX\n", id, static_cast<unsigned long>(hr));
            return 2;
        }
        std::printf("%ls = %ls\n", progId.get() ? progId.get() : L"", id);
        if (progId.get() && lstrcmpW(progId.get(), L"OPC Krel Server") == 0) found = true;
    }
    return found ? 0 : 1;
}
