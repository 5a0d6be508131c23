// OPC calls across a process boundary through OPCKrelProxy.dll: an out-of-process
// test server (testing/oopserver) answers, and every value that crosses is checked.
// In-process calls would skip the proxy entirely, so only this proves the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit_com.h"
#include "oop_server.h"
#include "opccomn.h"
#include "opcda.h"

namespace {

using kit::ComPtr;
using kit::CoTaskArray;
using kit::CoTaskString;

// The proxy DLL as regsvr32 would use it.
class ProxyDll {
public:
    ProxyDll() : module_(LoadLibraryW(L"OPCKrelProxy.dll")) {}
    ~ProxyDll() { if (module_) FreeLibrary(module_); }
    bool loaded() const { return module_ != nullptr; }
    HRESULT Register() const { return Call("DllRegisterServer"); }
    HRESULT Unregister() const { return Call("DllUnregisterServer"); }
private:
    HRESULT Call(const char* name) const {
        typedef HRESULT(WINAPI * Fn)();
        Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return fn ? fn() : E_NOTIMPL;
    }
    HMODULE module_;
};

DWORD RunAndWait(const std::wstring& commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
    kit::Handle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.get(), 30000);
    DWORD code = ~0u;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

std::wstring GuidText(const GUID& g) {
    wchar_t text[40];
    StringFromGUID2(g, text, 40);
    return text;
}

std::wstring ReadDefault(const std::wstring& key) {
    kit::RegKey k;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return L"<none>";
    wchar_t value[256] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return L"<none>";
    return value;
}

class OutOfProcess : public testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(0u, RunAndWait(L"opc_oop_server.exe /RegServer"));
    }
    static void TearDownTestSuite() {
        RunAndWait(L"opc_oop_server.exe /UnregServer");
        CoUninitialize();
    }

    ProxyDll proxy;
};

// Without the proxy nothing crosses: this is what makes every other test here a
// test of OPCKrelProxy.dll rather than of something Wine provides by itself.
TEST_F(OutOfProcess, NothingCrossesWithoutTheProxy) {
    ASSERT_TRUE(proxy.loaded());
    ASSERT_EQ(S_OK, proxy.Unregister());
    EXPECT_EQ(L"<none>", ReadDefault(L"Interface\\" + GuidText(IID_IOPCServer) + L"\\ProxyStubClsid32"));
    ComPtr<IOPCServer> server;
    HRESULT hr = CoCreateInstance(CLSID_KitOopTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  server.put_void());
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    ASSERT_EQ(S_OK, proxy.Register());
}

// NumMethods must be the published slot count of each interface: a missing or extra
// method would shift every later slot against other vendors' proxies.
TEST_F(OutOfProcess, RegistrationClaimsEveryInterfaceWithItsSlotCount) {
    ASSERT_EQ(S_OK, proxy.Register());
    struct Expect { const IID* iid; const wchar_t* name; const wchar_t* slots; };
    const Expect expected[] = {
        {&IID_IOPCCommon, L"IOPCCommon", L"8"}, {&IID_IOPCShutdown, L"IOPCShutdown", L"4"},
        {&IID_IOPCServerList, L"IOPCServerList", L"6"}, {&IID_IOPCServerList2, L"IOPCServerList2", L"6"},
        {&IID_IOPCEnumGUID, L"IOPCEnumGUID", L"7"}, {&IID_IOPCServer, L"IOPCServer", L"9"},
        {&IID_IOPCBrowseServerAddressSpace, L"IOPCBrowseServerAddressSpace", L"8"},
        {&IID_IOPCItemProperties, L"IOPCItemProperties", L"6"},
        {&IID_IOPCGroupStateMgt, L"IOPCGroupStateMgt", L"7"}, {&IID_IOPCItemMgt, L"IOPCItemMgt", L"10"},
        {&IID_IEnumOPCItemAttributes, L"IEnumOPCItemAttributes", L"7"}, {&IID_IOPCSyncIO, L"IOPCSyncIO", L"5"},
        {&IID_IOPCAsyncIO2, L"IOPCAsyncIO2", L"9"}, {&IID_IOPCDataCallback, L"IOPCDataCallback", L"7"},
        {&IID_IOPCBrowse, L"IOPCBrowse", L"5"},
    };
    for (const Expect& e : expected) {
        std::wstring key = L"Interface\\" + GuidText(*e.iid);
        EXPECT_EQ(e.name, ReadDefault(key));
        EXPECT_EQ(e.slots, ReadDefault(key + L"\\NumMethods")) << e.name;
        EXPECT_NE(L"<none>", ReadDefault(key + L"\\ProxyStubClsid32")) << e.name;
    }
}

// Another vendor's proxy for an interface stays registered through our register
// and unregister; only our own entries are ours to change.
TEST_F(OutOfProcess, AnotherVendorsProxyIsNeverReplacedOrRemoved) {
    const std::wstring key = L"Interface\\" + GuidText(IID_IOPCBrowse);
    const std::wstring other = L"{0A0B0C0D-1111-2222-3333-444455556666}";
    ASSERT_EQ(S_OK, proxy.Unregister());
    {
        kit::RegKey k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (key + L"\\ProxyStubClsid32").c_str(), 0, nullptr,
                                                 0, KEY_WRITE, nullptr, k.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other.c_str()),
                                                static_cast<DWORD>((other.size() + 1) * sizeof(wchar_t))));
    }
    EXPECT_EQ(S_OK, proxy.Register());
    EXPECT_EQ(other, ReadDefault(key + L"\\ProxyStubClsid32"));
    std::wstring ours = ReadDefault(L"Interface\\" + GuidText(IID_IOPCServer) + L"\\ProxyStubClsid32");
    EXPECT_NE(other, ours);
    EXPECT_NE(L"<none>", ours);
    EXPECT_EQ(S_OK, proxy.Unregister());
    EXPECT_EQ(other, ReadDefault(key + L"\\ProxyStubClsid32"));
    EXPECT_EQ(L"<none>", ReadDefault(L"Interface\\" + GuidText(IID_IOPCServer) + L"\\ProxyStubClsid32"));

    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    ASSERT_EQ(S_OK, proxy.Register());
}

class OpcAcrossProcesses : public OutOfProcess {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, proxy.Register());
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KitOopTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         server.put_void()));
    }
    ComPtr<IOPCServer> server;
};

TEST_F(OpcAcrossProcesses, StatusArrivesWithEveryField) {
    CoTaskArray<OPCSERVERSTATUS> status;
    ASSERT_EQ(S_OK, server->GetStatus(status.put()));
    ASSERT_TRUE(status);
    CoTaskString vendor(status->szVendorInfo);
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(0u, status->dwGroupCount);
    EXPECT_EQ(KIT_OOP_MAJOR, status->wMajorVersion);
    EXPECT_EQ(KIT_OOP_MINOR, status->wMinorVersion);
    EXPECT_EQ(KIT_OOP_BUILD, status->wBuildNumber);
    ASSERT_TRUE(vendor);
    EXPECT_STREQ(KIT_OOP_VENDOR, vendor.get());
    EXPECT_NE(0u, status->ftCurrentTime.dwHighDateTime);
}

// The four [out, string] LPWSTR* methods that widl gets wrong without our fix.
TEST_F(OpcAcrossProcesses, OutStringsCrossIntact) {
    CoTaskString text;
    ASSERT_EQ(S_OK, server->GetErrorString(static_cast<HRESULT>(0xC0040007), 1034, text.put()));
    ASSERT_TRUE(text) << "IOPCServer::GetErrorString returned no string";
    EXPECT_STREQ(L"Error 0xC0040007 en 1034", text.get());

    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(IID_IOPCCommon, common));
    ASSERT_EQ(S_OK, common->GetErrorString(E_FAIL, text.put()));
    ASSERT_TRUE(text) << "IOPCCommon::GetErrorString returned no string";
    EXPECT_STREQ(L"Com\u00fan 0x80004005", text.get());

    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, browse));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Fixed"));
    wchar_t leaf[] = L"Real";
    ASSERT_EQ(S_OK, browse->GetItemID(leaf, text.put()));
    ASSERT_TRUE(text) << "IOPCBrowseServerAddressSpace::GetItemID returned no string";
    EXPECT_STREQ(L"Fixed.Real", text.get());

    OPCHANDLE serverGroup = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> group;
    ASSERT_EQ(S_OK, server->AddGroup(L"Grupo \u00e1", TRUE, 750, 42, nullptr, nullptr, 1034, &serverGroup, &revised,
                                     IID_IOPCGroupStateMgt, group.put_unknown()));
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LONG bias = -1;
    FLOAT deadband = -1.0f;
    OPCHANDLE client = 0, serverHandle = 0;
    ASSERT_EQ(S_OK, group->GetState(&rate, &active, text.put(), &bias, &deadband, &lcid, &client, &serverHandle));
    ASSERT_TRUE(text) << "IOPCGroupStateMgt::GetState returned no name";
    EXPECT_STREQ(L"Grupo \u00e1", text.get());
    EXPECT_EQ(750u, rate);
    EXPECT_EQ(1034u, lcid);
    EXPECT_EQ(42u, client);
    EXPECT_EQ(serverGroup, serverHandle);
    EXPECT_EQ(S_OK, server->RemoveGroup(serverGroup, TRUE));
}

// Frees what AddItems hands back: blobs inside the results, then both arrays.
struct AddResults {
    CoTaskArray<OPCITEMRESULT> results;
    CoTaskArray<HRESULT> errors;
    DWORD count = 0;
    ~AddResults() {
        for (DWORD i = 0; results && i < count; ++i) CoTaskMemFree(results[i].pBlob);
    }
};

struct ReadResults {
    CoTaskArray<OPCITEMSTATE> values;
    CoTaskArray<HRESULT> errors;
    DWORD count = 0;
    ~ReadResults() {
        for (DWORD i = 0; values && i < count; ++i) VariantClear(&values[i].vDataValue);
    }
};

TEST_F(OpcAcrossProcesses, GroupAddsItemsAndReadsEveryValueType) {
    OPCHANDLE serverGroup = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"Lectura", TRUE, 1000, 1, nullptr, nullptr, 0, &serverGroup, &revised,
                                     IID_IOPCItemMgt, items.put_unknown()));
    EXPECT_EQ(1000u, revised);
    // A second group of the same name is refused with the OPC code, across the wire.
    ComPtr<IUnknown> twin;
    OPCHANDLE twinHandle = 0;
    EXPECT_EQ(OPC_E_DUPLICATENAME, server->AddGroup(L"Lectura", TRUE, 1000, 2, nullptr, nullptr, 0, &twinHandle,
                                                    &revised, IID_IOPCItemMgt, twin.put_unknown()));

    wchar_t real[] = L"Fixed.Real", text[] = L"Fixed.Text", byteTag[] = L"Fixed.Byte", missing[] = L"No.Such";
    wchar_t path[] = L"";
    OPCITEMDEF defs[4] = {};
    wchar_t* ids[4] = {real, text, missing, byteTag};
    for (int i = 0; i < 4; ++i) {
        defs[i].szAccessPath = path;
        defs[i].szItemID = ids[i];
        defs[i].bActive = TRUE;
        defs[i].hClient = 200000 + i;
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    AddResults added;
    added.count = 4;
    ASSERT_EQ(S_FALSE, items->AddItems(4, defs, added.results.put(), added.errors.put()));
    ASSERT_TRUE(added.results && added.errors);
    EXPECT_EQ(S_OK, added.errors[0]);
    EXPECT_EQ(S_OK, added.errors[1]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, added.errors[2]);
    EXPECT_EQ(S_OK, added.errors[3]);
    EXPECT_EQ(VT_R4, added.results[0].vtCanonicalDataType);
    EXPECT_EQ(VT_BSTR, added.results[1].vtCanonicalDataType);
    EXPECT_EQ(VT_UI1, added.results[3].vtCanonicalDataType);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), added.results[0].dwAccessRights);

    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, items.As(IID_IOPCSyncIO, sync));
    OPCHANDLE handles[4] = {added.results[0].hServer, added.results[1].hServer, added.results[3].hServer, 0xDEAD};
    ReadResults read;
    read.count = 4;
    ASSERT_EQ(S_FALSE, sync->Read(OPC_DS_CACHE, 4, handles, read.values.put(), read.errors.put()));
    ASSERT_TRUE(read.values && read.errors);
    EXPECT_EQ(S_OK, read.errors[0]);
    EXPECT_EQ(S_OK, read.errors[1]);
    EXPECT_EQ(S_OK, read.errors[2]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, read.errors[3]);

    EXPECT_EQ(200000u, read.values[0].hClient);
    ASSERT_EQ(VT_R4, read.values[0].vDataValue.vt);
    EXPECT_EQ(KIT_OOP_FIXED_REAL, read.values[0].vDataValue.fltVal);
    EXPECT_EQ(200001u, read.values[1].hClient);
    ASSERT_EQ(VT_BSTR, read.values[1].vDataValue.vt);
    EXPECT_STREQ(KIT_OOP_FIXED_TEXT, read.values[1].vDataValue.bstrVal);
    EXPECT_EQ(200003u, read.values[2].hClient);
    ASSERT_EQ(VT_UI1, read.values[2].vDataValue.vt);
    EXPECT_EQ(KIT_OOP_FIXED_BYTE, read.values[2].vDataValue.bVal);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(OPC_QUALITY_GOOD, read.values[i].wQuality);
        EXPECT_EQ(KIT_OOP_TIME_LOW, read.values[i].ftTimeStamp.dwLowDateTime);
        EXPECT_EQ(KIT_OOP_TIME_HIGH, read.values[i].ftTimeStamp.dwHighDateTime);
    }
    EXPECT_EQ(VT_EMPTY, read.values[3].vDataValue.vt);
    EXPECT_EQ(S_OK, server->RemoveGroup(serverGroup, TRUE));
}

std::vector<std::wstring> Drain(IEnumString* e) {
    std::vector<std::wstring> out;
    for (;;) {
        LPOLESTR batch[2] = {};
        ULONG got = 0;
        HRESULT hr = e->Next(2, batch, &got);
        for (ULONG i = 0; i < got; ++i) {
            CoTaskString s(batch[i]);
            out.push_back(s.get() ? s.get() : L"<null>");
        }
        if (hr != S_OK) break;
    }
    return out;
}

TEST_F(OpcAcrossProcesses, BrowsingWalksBranchesLeavesAndTheFlatList) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, browse));
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    ASSERT_EQ(S_OK, browse->QueryOrganization(&type));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, type);

    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Fixed", L"Simul"}), Drain(names.get()));

    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Simul"));
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, names.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Real", L"Count"}), Drain(names.get()));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    // An empty level answers S_FALSE with an enumerator that yields nothing.
    ASSERT_EQ(S_FALSE, browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, names.put()));
    EXPECT_TRUE(Drain(names.get()).empty());

    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.put()));
    EXPECT_EQ(5u, Drain(names.get()).size());
}

// The DA 3.0 browse: arrays of structs with embedded strings out, and the
// continuation point as an [in, out] string both ways.
TEST_F(OpcAcrossProcesses, Da3BrowsePagesWithAContinuationPoint) {
    ComPtr<IOPCBrowse> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowse, browse));
    wchar_t root[] = L"Fixed", empty[] = L"";
    LPWSTR cont = nullptr;
    // A top-level [in, size_is] array is a ref pointer: never NULL on the wire,
    // even with a count of 0.
    DWORD noProperties[1] = {0};
    std::vector<std::wstring> seen;
    for (int page = 0; page < 3; ++page) {
        BOOL more = FALSE;
        DWORD count = 0;
        CoTaskArray<OPCBROWSEELEMENT> elements;
        ASSERT_EQ(S_OK, browse->Browse(root, &cont, 2, OPC_BROWSE_FILTER_ALL, empty, empty, FALSE, FALSE, 0, noProperties,
                                       &more, &count, elements.put()));
        for (DWORD i = 0; i < count; ++i) {
            CoTaskString name(elements[i].szName), id(elements[i].szItemID);
            EXPECT_EQ(static_cast<DWORD>(OPC_BROWSE_ISITEM), elements[i].dwFlagValue);
            seen.push_back(std::wstring(name.get()) + L"=" + id.get());
        }
        if (!cont) break;
        EXPECT_STREQ(L"2", cont) << "continuation point after the first page";
    }
    CoTaskMemFree(cont);
    EXPECT_EQ((std::vector<std::wstring>{L"Real=Fixed.Real", L"Text=Fixed.Text", L"Byte=Fixed.Byte"}), seen);
}

}  // namespace
