// OPC calls across a process boundary through OPCKrelProxy.dll: an out-of-process
// test server (testing/oopserver) answers, and every value that crosses is checked.
// In-process calls would skip the proxy entirely, so only this proves the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TaskMemorySpy.h"
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

// Every task-memory block either side allocates in a test is freed by its end: the
// client's through the spy, the server's through the count its GetStatus reports.
// Except what Wine itself keeps, which a test declares in wineKeeps: its stubs never
// free the block of an [in] array they had to copy out of the buffer (arrays of
// VARIANTs, of item definitions, of strings), one per such call, and its proxies
// never free the string an [in, out] call replaced. Windows frees both. A 32-bit
// stub reads item definitions and string arrays in place in the buffer (their
// memory and wire layouts agree there) and copies only VARIANT arrays: what the
// server's stubs keep follows the server's bitness (serverCopies, from its status),
// which need not be this program's.

class OpcAcrossProcesses : public OutOfProcess {
protected:
    void SetUp() override {
        ASSERT_TRUE(fakeopc::TaskMemorySpy::Instance().Registered());
        ASSERT_EQ(S_OK, proxy.Register());
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KitOopTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         server.put_void()));
        serverBlocks = ServerBlocks(&serverCopies);
        mark = fakeopc::TaskMemorySpy::Instance().Mark();
    }
    void TearDown() override {
        EXPECT_EQ(wineKeeps.client, fakeopc::TaskMemorySpy::Instance().OutstandingSince(mark)) << "client blocks";
        if (server) {
            EXPECT_EQ(serverBlocks + wineKeeps.server, ServerBlocks()) << "server blocks";
        }
    }
    // A group on the test server, with the interfaces the matrix calls on it.
    struct Group {
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items;
        ComPtr<IOPCSyncIO> sync;
        ComPtr<IOPCAsyncIO2> async;
        ComPtr<IOPCGroupStateMgt> state;
    };
    void AddGroup(const wchar_t* name, BOOL active, OPCHANDLE client, Group* g) {
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server->AddGroup(name, active, 100, client, nullptr, nullptr, 0, &g->handle, &revised,
                                         IID_IOPCItemMgt, g->items.put_unknown()));
        ASSERT_EQ(S_OK, g->items.As(IID_IOPCSyncIO, g->sync));
        ASSERT_EQ(S_OK, g->items.As(IID_IOPCAsyncIO2, g->async));
        ASSERT_EQ(S_OK, g->items.As(IID_IOPCGroupStateMgt, g->state));
    }
    DWORD ServerBlocks(size_t* copies = nullptr) {
        CoTaskArray<OPCSERVERSTATUS> status;
        if (FAILED(server->GetStatus(status.put()))) return ~0u;
        CoTaskString vendor(status->szVendorInfo);
        if (copies) *copies = status->wReserved == 64 ? 1 : 0;
        return status->dwBandWidth;
    }
    ComPtr<IOPCServer> server;
    DWORD serverBlocks = 0;
    size_t serverCopies = 0;  // 1 where the server's stubs copy [in] arrays other than VARIANTs
    unsigned long long mark = 0;
    struct {
        size_t client, server;
    } wineKeeps = {0, 0};
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
    EXPECT_TRUE(status->wReserved == 32 || status->wReserved == 64) << status->wReserved;
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

// What an OPC call hands out, freed with everything inside it.
void Free(VARIANT& v) { VariantClear(&v); }
void Free(LPWSTR& s) { CoTaskMemFree(s); }
void Free(OPCITEMSTATE& s) { VariantClear(&s.vDataValue); }
void Free(OPCITEMRESULT& r) { CoTaskMemFree(r.pBlob); }
void Free(OPCITEMATTRIBUTES& a) {
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    CoTaskMemFree(a.pBlob);
    VariantClear(&a.vEUInfo);
}
void Free(OPCITEMPROPERTIES& p) {
    for (DWORD i = 0; p.pItemProperties && i < p.dwNumProperties; ++i) {
        CoTaskMemFree(p.pItemProperties[i].szItemID);
        CoTaskMemFree(p.pItemProperties[i].szDescription);
        VariantClear(&p.pItemProperties[i].vValue);
    }
    CoTaskMemFree(p.pItemProperties);
}
void Free(OPCBROWSEELEMENT& e) {
    CoTaskMemFree(e.szName);
    CoTaskMemFree(e.szItemID);
    Free(e.ItemProperties);
}
template <class T>
void Free(T&) {}

template <class T>
struct Out {
    CoTaskArray<T> a;
    DWORD n = 0;
    Out() = default;
    explicit Out(DWORD count) : n(count) {}
    ~Out() { Clear(); }
    void Clear() {
        for (DWORD i = 0; a && i < n; ++i) Free(a[i]);
        a.Reset();
    }
    T** put() { Clear(); return a.put(); }
    T& operator[](size_t i) const { return a[i]; }
    explicit operator bool() const { return static_cast<bool>(a); }
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
    Out<OPCITEMRESULT> added(4);
    Out<HRESULT> addErrors;
    ASSERT_EQ(S_FALSE, items->AddItems(4, defs, added.put(), addErrors.put()));
    ASSERT_TRUE(added && addErrors);
    EXPECT_EQ(S_OK, addErrors[0]);
    EXPECT_EQ(S_OK, addErrors[1]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, addErrors[2]);
    EXPECT_EQ(S_OK, addErrors[3]);
    EXPECT_EQ(VT_R4, added[0].vtCanonicalDataType);
    EXPECT_EQ(VT_BSTR, added[1].vtCanonicalDataType);
    EXPECT_EQ(VT_UI1, added[3].vtCanonicalDataType);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), added[0].dwAccessRights);

    wineKeeps.server = serverCopies;  // the item definitions
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, items.As(IID_IOPCSyncIO, sync));
    OPCHANDLE handles[4] = {added[0].hServer, added[1].hServer, added[3].hServer, 0xDEAD};
    struct {
        Out<OPCITEMSTATE> values{4};
        Out<HRESULT> errors;
    } read;
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
        wineKeeps.client = 1;  // the "2" that the next call replaces
    }
    CoTaskMemFree(cont);
    EXPECT_EQ((std::vector<std::wstring>{L"Real=Fixed.Real", L"Text=Fixed.Text", L"Byte=Fixed.Byte"}), seen);
}

// ---- The matrix: every method of every interface the proxy carries, with several
// elements in every array, zero counts, null optional pointers, 10,000 elements and
// 64 KB strings. Values come from the samples of oop_server.h, which the server
// also checks on its side.

bool IsSample(const VARIANT& v, size_t n) {
    kit::Variant sample;
    KitOopSample(n, sample.get());
    return KitOopSameValue(v, *sample.get());
}
std::wstring VarId(size_t n) { return L"Var." + std::to_wstring(n); }
std::wstring LongText(wchar_t seed) {
    kit::Bstr b;
    *b.put() = KitOopLongText(seed);
    return std::wstring(b.get(), b.Length());
}

// Item definitions that keep their strings alive.
struct Defs {
    std::vector<std::wstring> ids, paths;
    std::vector<OPCITEMDEF> defs;
    std::vector<BYTE> blob{1, 2, 3, 0, 255};
    Defs(std::vector<std::wstring> itemIds, OPCHANDLE firstClient) : ids(std::move(itemIds)), paths(ids.size()) {
        defs.resize(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            OPCITEMDEF& d = defs[i];
            paths[i] = i % 2 ? L"" : L"Ruta " + std::to_wstring(i);
            d.szAccessPath = i % 2 ? nullptr : &paths[i][0];  // null optional strings too
            d.szItemID = &ids[i][0];
            d.bActive = i % 3 != 0;
            d.hClient = firstClient + static_cast<OPCHANDLE>(i);
            d.dwBlobSize = i % 4 == 1 ? static_cast<DWORD>(blob.size()) : 0;
            d.pBlob = d.dwBlobSize ? blob.data() : nullptr;
            d.vtRequestedDataType = VT_EMPTY;
        }
    }
    DWORD count() const { return static_cast<DWORD>(defs.size()); }
};

std::vector<std::wstring> AllSamples() {
    std::vector<std::wstring> ids;
    for (size_t n = 0; n < KIT_OOP_SAMPLES; ++n) ids.push_back(VarId(n));
    return ids;
}

// The client's side of every callback, keeping copies of what arrived.
class Sink : public IOPCDataCallback, public IOPCShutdown {
public:
    struct Call {
        char kind;  // 'c'hange, 'r'ead, 'w'rite, cance'l', 's'hutdown
        DWORD trans;
        OPCHANDLE group;
        std::vector<OPCHANDLE> handles;
        std::vector<VARIANT> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> times;
        std::vector<HRESULT> errors;
        std::wstring reason;
    };
    ~Sink() {
        CoDisconnectObject(static_cast<IOPCDataCallback*>(this), 0);  // a failed test may leave it advised
        for (Call& c : calls)
            for (VARIANT& v : c.values) VariantClear(&v);
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IOPCShutdown ? static_cast<void*>(static_cast<IOPCShutdown*>(this))
               : iid == IID_IUnknown || iid == IID_IOPCDataCallback ? static_cast<IOPCDataCallback*>(this)
                                                                      : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD trans, OPCHANDLE group, HRESULT, HRESULT, DWORD n, OPCHANDLE* h, VARIANT* v,
                              WORD* q, FILETIME* t, HRESULT* e) override {
        return Keep('c', trans, group, n, h, v, q, t, e);
    }
    STDMETHODIMP OnReadComplete(DWORD trans, OPCHANDLE group, HRESULT, HRESULT, DWORD n, OPCHANDLE* h, VARIANT* v,
                                WORD* q, FILETIME* t, HRESULT* e) override {
        return Keep('r', trans, group, n, h, v, q, t, e);
    }
    STDMETHODIMP OnWriteComplete(DWORD trans, OPCHANDLE group, HRESULT, DWORD n, OPCHANDLE* h, HRESULT* e) override {
        return Keep('w', trans, group, n, h, nullptr, nullptr, nullptr, e);
    }
    STDMETHODIMP OnCancelComplete(DWORD trans, OPCHANDLE group) override {
        return Keep('l', trans, group, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        kit::CritSecLock lock(cs);
        calls.push_back(Call{'s', 0, 0, {}, {}, {}, {}, {}, reason ? reason : L"<null>"});
        return S_OK;
    }
    DWORD Advise(IUnknown* source, REFIID iid) {
        ComPtr<IConnectionPointContainer> cpc;
        ComPtr<IConnectionPoint> cp;
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, source->QueryInterface(IID_IConnectionPointContainer, cpc.put_void()));
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(iid, cp.put()));
        EXPECT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(this), &cookie));
        return cookie;
    }
    void Unadvise(IUnknown* source, REFIID iid, DWORD cookie) {
        ComPtr<IConnectionPointContainer> cpc;
        ComPtr<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, source->QueryInterface(IID_IConnectionPointContainer, cpc.put_void()));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(iid, cp.put()));
        EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    }
    kit::CritSec cs;
    std::vector<Call> calls;

private:
    HRESULT Keep(char kind, DWORD trans, OPCHANDLE group, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t,
                 HRESULT* e) {
        Call c{kind, trans, group, {}, std::vector<VARIANT>(v ? n : 0), {}, {}, {}, {}};
        if (h) c.handles.assign(h, h + n);
        for (size_t i = 0; i < c.values.size(); ++i) {
            VariantInit(&c.values[i]);
            VariantCopy(&c.values[i], &v[i]);
        }
        if (q) c.qualities.assign(q, q + n);
        if (t) c.times.assign(t, t + n);
        if (e) c.errors.assign(e, e + n);
        kit::CritSecLock lock(cs);
        calls.push_back(std::move(c));
        return S_OK;
    }
};

TEST_F(OpcAcrossProcesses, CommonServerAndShutdownCarryEveryValue) {
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(IID_IOPCCommon, common));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, common->SetLocaleID(0x0C0A));
    EXPECT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(0x0C0Au, lcid);
    Out<LCID> locales;
    DWORD count = 0;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, locales.put()));
    ASSERT_EQ(3u, count);
    EXPECT_EQ((std::vector<LCID>{0x0409, 0x0C0A, 0x0407}), std::vector<LCID>(&locales[0], &locales[0] + 3));

    // 64 KB in as the client name, and back out inside an error text.
    const std::wstring name = LongText(L'a');
    EXPECT_EQ(S_OK, common->SetClientName(name.c_str()));
    CoTaskString text;
    ASSERT_EQ(S_OK, common->GetErrorString(E_FAIL, text.put()));
    ASSERT_TRUE(text);
    EXPECT_TRUE(std::wstring(text.get()) == L"Com\u00fan 0x80004005 para " + name) << wcslen(text.get());

    // 64 KB the other way, as a shutdown reason.
    Sink sink;
    DWORD cookie = sink.Advise(server.get(), IID_IOPCShutdown);
    const std::wstring reason = LongText(L'K');
    EXPECT_EQ(S_OK, common->SetClientName((L"shutdown:" + reason).c_str()));
    ASSERT_EQ(1u, sink.calls.size());
    EXPECT_TRUE(sink.calls[0].reason == reason) << sink.calls[0].reason.size();
    sink.Unadvise(server.get(), IID_IOPCShutdown, cookie);

    // Optional pointers given and null; groups by name and by enumerator.
    LONG bias = -90;
    FLOAT deadband = 12.5f;
    OPCHANDLE h[2] = {};
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> g1, g2, byName;
    ASSERT_EQ(S_OK, server->AddGroup(L"Uno", FALSE, 250, 11, &bias, &deadband, 7, &h[0], &revised,
                                     IID_IOPCGroupStateMgt, g1.put_unknown()));
    ASSERT_EQ(S_OK, server->AddGroup(L"Dos", TRUE, 500, 22, nullptr, nullptr, 8, &h[1], &revised,
                                     IID_IOPCGroupStateMgt, g2.put_unknown()));
    struct Expect { IOPCGroupStateMgt* group; DWORD rate; BOOL active; LONG bias; FLOAT deadband; DWORD lcid, client; };
    for (const Expect& e : {Expect{g1.get(), 250, FALSE, -90, 12.5f, 7, 11}, Expect{g2.get(), 500, TRUE, 0, 0, 8, 22}}) {
        DWORD rate = 0, gotLcid = 0;
        BOOL active = -1;
        LONG gotBias = 1;
        FLOAT gotDeadband = -1;
        OPCHANDLE client = 0, serverHandle = 0;
        ASSERT_EQ(S_OK, e.group->GetState(&rate, &active, text.put(), &gotBias, &gotDeadband, &gotLcid, &client,
                                          &serverHandle));
        EXPECT_EQ(e.rate, rate);
        EXPECT_EQ(e.active, active);
        EXPECT_EQ(e.bias, gotBias);
        EXPECT_EQ(e.deadband, gotDeadband);
        EXPECT_EQ(e.lcid, gotLcid);
        EXPECT_EQ(e.client, client);
    }
    ASSERT_EQ(S_OK, server->GetGroupByName(L"Dos", IID_IOPCGroupStateMgt, byName.put_unknown()));
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"Tres", IID_IOPCGroupStateMgt, byName.put_unknown()));
    EXPECT_FALSE(byName);
    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<IUnknown**>(names.put())));
    EXPECT_EQ((std::vector<std::wstring>{L"Uno", L"Dos"}), Drain(names.get()));
    EXPECT_EQ(E_NOINTERFACE, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                                           reinterpret_cast<IUnknown**>(names.put())));
    EXPECT_EQ(S_OK, server->RemoveGroup(h[0], TRUE));
    EXPECT_EQ(S_OK, server->RemoveGroup(h[1], TRUE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(h[1], TRUE));
}

TEST_F(OpcAcrossProcesses, ServerListsCarryClassesAndCategories) {
    ComPtr<IOPCServerList> list;
    ComPtr<IOPCServerList2> list2;
    ASSERT_EQ(S_OK, server.As(IID_IOPCServerList, list));
    ASSERT_EQ(S_OK, server.As(IID_IOPCServerList2, list2));
    const CATID impl[2] = {CATID_OPCDAServer10, CATID_OPCDAServer20}, req[1] = {CATID_OPCDAServer30};
    const std::vector<GUID> all = {CLSID_KitOopTestServer, impl[0], impl[1], req[0]};
    auto Fetch = [](auto* e, ULONG n, HRESULT want) {
        std::vector<GUID> got(n + 1);
        ULONG fetched = ~0u;
        EXPECT_EQ(want, e->Next(n, got.data(), &fetched));
        got.resize(fetched == ~0u ? 0 : fetched);
        return got;
    };
    ComPtr<IEnumGUID> plain;
    ASSERT_EQ(S_OK, list->EnumClassesOfCategories(2, const_cast<CATID*>(impl), 1, const_cast<CATID*>(req), plain.put()));
    EXPECT_EQ(all, Fetch(plain.get(), 10, S_FALSE));
    ComPtr<IOPCEnumGUID> e, clone;
    ASSERT_EQ(S_OK, list2->EnumClassesOfCategories(2, const_cast<CATID*>(impl), 1, const_cast<CATID*>(req), e.put()));
    EXPECT_EQ(std::vector<GUID>(all.begin(), all.begin() + 1), Fetch(e.get(), 1, S_OK));
    EXPECT_EQ(S_OK, e->Skip(1));
    ASSERT_EQ(S_OK, e->Clone(clone.put()));
    EXPECT_EQ(std::vector<GUID>(all.begin() + 2, all.end()), Fetch(clone.get(), 5, S_FALSE));
    EXPECT_TRUE(Fetch(clone.get(), 3, S_FALSE).empty());
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(all, Fetch(e.get(), 4, S_OK));
    ASSERT_EQ(S_OK, list2->EnumClassesOfCategories(0, const_cast<CATID*>(impl), 0, const_cast<CATID*>(req), e.put()));
    EXPECT_EQ(std::vector<GUID>(1, CLSID_KitOopTestServer), Fetch(e.get(), 4, S_FALSE));

    CoTaskString progId, userType, verIndependent;
    ASSERT_EQ(S_OK, list->GetClassDetails(CLSID_KitOopTestServer, progId.put(), userType.put()));
    EXPECT_STREQ(KIT_OOP_PROGID, progId.get());
    EXPECT_STREQ(L"Krel out-of-process test server", userType.get());
    ASSERT_EQ(S_OK, list2->GetClassDetails(CLSID_KitOopTestServer, progId.put(), userType.put(), verIndependent.put()));
    EXPECT_STREQ(KIT_OOP_PROGID, progId.get());
    EXPECT_STREQ(L"Krel.OopTest", verIndependent.get());
    EXPECT_EQ(REGDB_E_CLASSNOTREG, list2->GetClassDetails(CATID_OPCDAServer20, progId.put(), userType.put(),
                                                          verIndependent.put()));
    EXPECT_FALSE(progId || userType || verIndependent);
    CLSID clsid = {};
    EXPECT_EQ(S_OK, list->CLSIDFromProgID(KIT_OOP_PROGID, &clsid));
    EXPECT_EQ(CLSID_KitOopTestServer, clsid);
    EXPECT_EQ(S_OK, list2->CLSIDFromProgID(KIT_OOP_PROGID, &clsid));
    EXPECT_EQ(CO_E_CLASSSTRING, list2->CLSIDFromProgID(L"No.Such", &clsid));
}

TEST_F(OpcAcrossProcesses, BrowsingAndPropertiesCarryEveryArray) {
    ComPtr<IOPCBrowseServerAddressSpace> space;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, space));
    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, space->BrowseOPCItemIDs(OPC_FLAT, L"Fixed.*", VT_EMPTY, 0, names.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Fixed.Real", L"Fixed.Text", L"Fixed.Byte"}), Drain(names.get()));
    ASSERT_EQ(S_OK, space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_R4, 0, names.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Fixed.Real", L"Simul.Real"}), Drain(names.get()));
    ASSERT_EQ(S_OK, space->BrowseAccessPaths(L"Fixed.Real", names.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"\\\\Ruta\\Fixed.Real", L"COM1"}), Drain(names.get()));
    EXPECT_EQ(E_INVALIDARG, space->BrowseAccessPaths(L"No.Such", names.put()));

    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, server.As(IID_IOPCItemProperties, props));
    wchar_t r8[] = L"Var.10", missing[] = L"No.Such";
    DWORD count = 0;
    Out<DWORD> ids;
    Out<LPWSTR> descriptions(7);
    Out<VARTYPE> types;
    ASSERT_EQ(S_OK, props->QueryAvailableProperties(r8, &count, ids.put(), descriptions.put(), types.put()));
    ASSERT_EQ(7u, count);
    EXPECT_EQ(5000u, ids[6]);
    EXPECT_STREQ(L"Item Value", descriptions[1]);
    EXPECT_STREQ(L"Descripci\u00f3n", descriptions[6]);
    EXPECT_EQ(VT_VARIANT, types[1]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, props->QueryAvailableProperties(missing, &count, ids.put(), descriptions.put(),
                                                                   types.put()));

    // Several properties of one item both ways, the unknown ones failing alone.
    DWORD asked[5] = {1, 2, 7, 5000, 5001};
    Out<VARIANT> values(5);
    Out<HRESULT> errors;
    ASSERT_EQ(S_FALSE, props->GetItemProperties(r8, 5, asked, values.put(), errors.put()));
    EXPECT_EQ(VT_R8, values[0].iVal);
    EXPECT_TRUE(IsSample(values[1], 10));
    EXPECT_EQ(OPC_E_INVALID_PID, errors[2]);
    EXPECT_EQ(VT_EMPTY, values[2].vt);
    EXPECT_STREQ(L"Var.10#5001", values[4].bstrVal);
    Out<LPWSTR> itemIds(5);
    ASSERT_EQ(S_FALSE, props->LookupItemIDs(r8, 5, asked, itemIds.put(), errors.put()));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_INVALID_PID, OPC_E_INVALID_PID, OPC_E_INVALID_PID, S_OK, S_OK}),
              std::vector<HRESULT>(&errors[0], &errors[0] + 5));
    EXPECT_FALSE(itemIds[0] || itemIds[1] || itemIds[2]);
    EXPECT_STREQ(L"Var.10#5000", itemIds[3]);
    EXPECT_STREQ(L"Var.10#5001", itemIds[4]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, props->LookupItemIDs(missing, 5, asked, itemIds.put(), errors.put()));
    EXPECT_FALSE(itemIds);

    // 10,000 of them, nothing cut short.
    std::vector<DWORD> many(10000);
    for (DWORD i = 0; i < many.size(); ++i) many[i] = 5000 + i;
    Out<LPWSTR> manyIds(10000);
    ASSERT_EQ(S_OK, props->LookupItemIDs(r8, 10000, many.data(), manyIds.put(), errors.put()));
    Out<VARIANT> manyValues(10000);
    ASSERT_EQ(S_OK, props->GetItemProperties(r8, 10000, many.data(), manyValues.put(), errors.put()));
    size_t wrong = 0;
    for (DWORD i = 0; i < many.size(); ++i) {
        std::wstring want = L"Var.10#" + std::to_wstring(many[i]);
        wrong += !manyIds[i] || want != manyIds[i] || manyValues[i].vt != VT_BSTR || want != manyValues[i].bstrVal;
    }
    EXPECT_EQ(0u, wrong);

    // DA 3.0: the properties of several items at once, a string array in.
    wineKeeps.server = 2 * serverCopies;  // those string arrays
    ComPtr<IOPCBrowse> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowse, browse));
    wchar_t bstrItem[] = L"Var.13", real[] = L"Fixed.Real";
    LPWSTR items[3] = {bstrItem, missing, real};
    DWORD two[2] = {2, 5001};
    Out<OPCITEMPROPERTIES> found(3);
    ASSERT_EQ(S_FALSE, browse->GetProperties(3, items, TRUE, 2, two, found.put()));
    EXPECT_EQ(S_OK, found[0].hrErrorID);
    ASSERT_EQ(2u, found[0].dwNumProperties);
    EXPECT_TRUE(IsSample(found[0].pItemProperties[0].vValue, 13));  // the 64 KB string
    EXPECT_EQ(nullptr, found[0].pItemProperties[0].szItemID);
    EXPECT_STREQ(L"Var.13#5001", found[0].pItemProperties[1].szItemID);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, found[1].hrErrorID);
    EXPECT_EQ(0u, found[1].dwNumProperties);
    EXPECT_EQ(KIT_OOP_FIXED_REAL, found[2].pItemProperties[0].vValue.fltVal);
    ASSERT_EQ(S_FALSE, browse->GetProperties(3, items, FALSE, 0, two, found.put()));
    EXPECT_EQ(7u, found[2].dwNumProperties);
    EXPECT_EQ(VT_EMPTY, found[2].pItemProperties[1].vValue.vt);
    EXPECT_STREQ(L"Item Access Rights", found[2].pItemProperties[4].szDescription);

    // Browse elements with every property and its value.
    wchar_t root[] = L"Fixed", empty[] = L"";
    LPWSTR cont = nullptr;
    BOOL more = TRUE;
    DWORD n = 0;
    Out<OPCBROWSEELEMENT> elements;
    ASSERT_EQ(S_OK, browse->Browse(root, &cont, 0, OPC_BROWSE_FILTER_ITEMS, empty, empty, TRUE, TRUE, 0, two, &more, &n,
                                   elements.put()));
    elements.n = n;
    ASSERT_EQ(3u, n);
    EXPECT_FALSE(more || cont);
    EXPECT_EQ(7u, elements[1].ItemProperties.dwNumProperties);
    EXPECT_STREQ(KIT_OOP_FIXED_TEXT, elements[1].ItemProperties.pItemProperties[1].vValue.bstrVal);
    EXPECT_STREQ(L"Fixed.Byte#5000", elements[2].ItemProperties.pItemProperties[6].szItemID);
}

TEST_F(OpcAcrossProcesses, GroupMethodsCarryEveryArrayAndEveryType) {
    Group g;
    ASSERT_NO_FATAL_FAILURE(AddGroup(L"Matriz", TRUE, 5, &g));
    IOPCItemMgt* items = g.items.get();
    IOPCSyncIO* sync = g.sync.get();
    IOPCGroupStateMgt* state = g.state.get();
    DWORD revised = 0;

    // Every sample type, an unknown item and a type the item cannot have.
    std::vector<std::wstring> ids = AllSamples();
    ids.push_back(L"No.Such");
    ids.push_back(L"Fixed.Real");
    Defs d(ids, 300);
    d.defs[2].vtRequestedDataType = VT_UI1;  // its own type: accepted
    d.defs.back().vtRequestedDataType = VT_BSTR;
    const DWORD n = d.count(), samples = KIT_OOP_SAMPLES;
    Out<OPCITEMRESULT> checked(n), added(n);
    Out<HRESULT> errors;
    wineKeeps.server = 5 * serverCopies + 3;  // the arrays of item definitions and of values below
    for (BOOL blobs : {FALSE, TRUE}) {
        ASSERT_EQ(S_FALSE, items->ValidateItems(n, d.defs.data(), blobs, checked.put(), errors.put()));
        EXPECT_EQ(blobs ? 5u : 0u, checked[1].dwBlobSize);
        EXPECT_EQ(0u, checked[1].hServer);
    }
    ASSERT_EQ(S_FALSE, items->AddItems(n, d.defs.data(), added.put(), errors.put()));
    std::vector<OPCHANDLE> handles;
    for (DWORD i = 0; i < n; ++i) {
        HRESULT want = i == samples ? OPC_E_UNKNOWNITEMID : i == samples + 1 ? OPC_E_BADTYPE : S_OK;
        EXPECT_EQ(want, errors[i]) << i;
        if (want != S_OK) continue;
        handles.push_back(added[i].hServer);
        EXPECT_EQ(kKitOopSampleTypes[i], added[i].vtCanonicalDataType) << i;
        EXPECT_EQ(static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE), added[i].dwAccessRights);
        ASSERT_EQ(d.defs[i].dwBlobSize, added[i].dwBlobSize) << i;
        EXPECT_TRUE(!added[i].dwBlobSize || memcmp(d.blob.data(), added[i].pBlob, d.blob.size()) == 0) << i;
    }
    handles.push_back(0xBAD);

    // Every value type in one read, and written back: the server checks each one.
    auto ReadAll = [&](Out<OPCITEMSTATE>& values) {
        values.n = samples + 1;
        EXPECT_EQ(S_FALSE, sync->Read(OPC_DS_DEVICE, samples + 1, handles.data(), values.put(), errors.put()));
        EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[samples]);
    };
    Out<OPCITEMSTATE> values;
    ReadAll(values);
    std::vector<VARIANT> writes(samples + 1);
    for (DWORD i = 0; i < samples; ++i) {
        EXPECT_TRUE(IsSample(values[i].vDataValue, i)) << "type " << kKitOopSampleTypes[i];
        EXPECT_EQ(300 + i, values[i].hClient);
        EXPECT_EQ(KIT_OOP_TIME_HIGH, values[i].ftTimeStamp.dwHighDateTime);
        EXPECT_EQ(OPC_QUALITY_GOOD, values[i].wQuality);
        writes[i] = values[i].vDataValue;
    }
    writes[4].uiVal ^= 1;        // not the sample
    writes[5].vt = VT_R4;        // not the item's type
    writes[samples] = writes[0];
    ASSERT_EQ(S_FALSE, sync->Write(samples + 1, handles.data(), writes.data(), errors.put()));
    for (DWORD i = 0; i <= samples; ++i)
        EXPECT_EQ(i == 4 ? OPC_E_RANGE : i == 5 ? OPC_E_BADTYPE : i == samples ? OPC_E_INVALIDHANDLE : S_OK, errors[i])
            << i;

    // Client handles, active states and data types change item by item.
    std::vector<OPCHANDLE> clients(samples + 1);
    std::vector<VARTYPE> types(samples + 1, VT_EMPTY);
    for (DWORD i = 0; i <= samples; ++i) clients[i] = 900 + i;
    types[3] = VT_I2;
    types[4] = VT_BSTR;
    ASSERT_EQ(S_FALSE, items->SetClientHandles(samples + 1, handles.data(), clients.data(), errors.put()));
    ASSERT_EQ(S_FALSE, items->SetActiveState(3, &handles[samples - 2], FALSE, errors.put()));
    ASSERT_EQ(S_FALSE, items->SetDatatypes(samples + 1, handles.data(), types.data(), errors.put()));
    EXPECT_EQ(OPC_E_BADTYPE, errors[4]);
    ReadAll(values);
    EXPECT_EQ(900u + samples - 1, values[samples - 1].hClient);

    // The enumerator, in pieces and cloned: every attribute of every item.
    ComPtr<IEnumOPCItemAttributes> e, clone;
    ASSERT_EQ(S_OK, items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(e.put())));
    std::vector<OPCITEMATTRIBUTES> seen;
    Out<OPCITEMATTRIBUTES> batches[4];
    const ULONG wants[4] = {5, 0, 100, 1};
    for (int b = 0; b < 4; ++b) {
        ULONG got = ~0u;
        HRESULT hr = e->Next(wants[b], batches[b].put(), &got);
        batches[b].n = got;
        EXPECT_EQ(got == wants[b] ? S_OK : S_FALSE, hr);
        EXPECT_EQ(got == 0, !batches[b]);
        for (ULONG i = 0; i < got; ++i) seen.push_back(batches[b][i]);
    }
    ASSERT_EQ(samples, seen.size());
    for (DWORD i = 0; i < samples; ++i) {
        const OPCITEMATTRIBUTES& a = seen[i];
        EXPECT_STREQ(d.defs[i].szAccessPath, a.szAccessPath) << i;
        EXPECT_STREQ(d.ids[i].c_str(), a.szItemID);
        EXPECT_EQ(i < samples - 2 ? d.defs[i].bActive : FALSE, a.bActive) << i;
        EXPECT_EQ(900 + i, a.hClient);
        EXPECT_EQ(handles[i], a.hServer);
        EXPECT_EQ(d.defs[i].dwBlobSize, a.dwBlobSize);
        EXPECT_EQ(i == 3 ? VARTYPE(VT_I2) : i == 4 ? d.defs[i].vtRequestedDataType : VARTYPE(VT_EMPTY),
                  a.vtRequestedDataType) << i;
        EXPECT_EQ(kKitOopSampleTypes[i], a.vtCanonicalDataType);
        bool analog = kKitOopSampleTypes[i] == VT_R8;
        EXPECT_EQ(analog ? OPC_ANALOG : OPC_NOENUM, a.dwEUType);
        EXPECT_EQ(analog ? VT_ARRAY | VT_R8 : VT_EMPTY, a.vEUInfo.vt);
        if (analog) {
            EXPECT_EQ(100.0, static_cast<double*>(a.vEUInfo.parray->pvData)[1]);
        }
    }
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(samples - 1));
    ASSERT_EQ(S_OK, e->Clone(clone.put()));
    Out<OPCITEMATTRIBUTES> last(2);
    ULONG got = 0;
    EXPECT_EQ(S_FALSE, clone->Next(2, last.put(), &got));
    last.n = got;
    ASSERT_EQ(1u, got);
    EXPECT_EQ(handles[samples - 1], last[0].hServer);

    // State, name and a clone of the group; null optional pointers change nothing.
    DWORD rate = 40, lcid = 3082;
    OPCHANDLE client = 77;
    ASSERT_EQ(S_OK, state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(100u, revised);
    ASSERT_EQ(S_OK, state->SetState(&rate, &revised, nullptr, nullptr, nullptr, &lcid, &client));
    EXPECT_EQ(40u, revised);
    ASSERT_EQ(S_OK, state->SetName(L"Matriz \u00e9"));
    ComPtr<IOPCGroupStateMgt> twin;
    ASSERT_EQ(S_OK, state->CloneGroup(L"Gemela", IID_IOPCGroupStateMgt, twin.put_unknown()));
    CoTaskString name;
    BOOL active = TRUE;
    LONG bias = 1;
    FLOAT deadband = 1;
    OPCHANDLE serverHandle = 0;
    ASSERT_EQ(S_OK, state->GetState(&rate, &active, name.put(), &bias, &deadband, &lcid, &client, &serverHandle));
    EXPECT_STREQ(L"Matriz \u00e9", name.get());
    EXPECT_EQ(3082u, lcid);
    EXPECT_EQ(77u, client);
    ASSERT_EQ(S_OK, twin->GetState(&rate, &active, name.put(), &bias, &deadband, &lcid, &client, &serverHandle));
    EXPECT_STREQ(L"Gemela", name.get());
    EXPECT_EQ(40u, rate);
    EXPECT_FALSE(active);
    ComPtr<IOPCItemMgt> byName;
    EXPECT_EQ(S_OK, server->GetGroupByName(L"Matriz \u00e9", IID_IOPCItemMgt, byName.put_unknown()));

    // Zero counts are refused and hand nothing out.
    OPCHANDLE one = handles[0];
    EXPECT_EQ(E_INVALIDARG, items->AddItems(0, d.defs.data(), added.put(), errors.put()));
    EXPECT_EQ(E_INVALIDARG, items->RemoveItems(0, &one, errors.put()));
    EXPECT_EQ(E_INVALIDARG, sync->Read(OPC_DS_CACHE, 0, &one, values.put(), errors.put()));
    EXPECT_EQ(E_INVALIDARG, sync->Write(0, &one, writes.data(), errors.put()));
    EXPECT_FALSE(added || errors || values);

    // Removed items are gone from reads and from the enumerator.
    ASSERT_EQ(S_FALSE, items->RemoveItems(samples + 1, handles.data(), errors.put()));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[samples]);
    EXPECT_EQ(S_FALSE, items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(e.put())));
    EXPECT_FALSE(e);

    // 10,000 items in, read and written in one call each.
    std::vector<std::wstring> manyIds(10000, VarId(6));
    Defs many(manyIds, 1);
    Out<OPCITEMRESULT> manyAdded(10000);
    ASSERT_EQ(S_OK, items->AddItems(10000, many.defs.data(), manyAdded.put(), errors.put()));
    std::vector<OPCHANDLE> manyHandles(10000);
    for (DWORD i = 0; i < 10000; ++i) manyHandles[i] = manyAdded[i].hServer;
    Out<OPCITEMSTATE> manyValues(10000);
    ASSERT_EQ(S_OK, sync->Read(OPC_DS_CACHE, 10000, manyHandles.data(), manyValues.put(), errors.put()));
    std::vector<VARIANT> manyWrites(10000, manyValues[9999].vDataValue);
    size_t wrong = 0;
    for (DWORD i = 0; i < 10000; ++i) wrong += manyValues[i].hClient != 1 + i || !IsSample(manyValues[i].vDataValue, 6);
    EXPECT_EQ(0u, wrong);
    EXPECT_EQ(S_OK, sync->Write(10000, manyHandles.data(), manyWrites.data(), errors.put()));
    EXPECT_EQ(S_OK, server->RemoveGroup(g.handle, TRUE));
}

TEST_F(OpcAcrossProcesses, CallbacksCarrySeveralItemsOfEveryType) {
    Group g;
    ASSERT_NO_FATAL_FAILURE(AddGroup(L"Avisos", FALSE, 66, &g));
    IOPCItemMgt* items = g.items.get();
    IOPCAsyncIO2* async = g.async.get();
    DWORD revised = 0;
    Sink sink;
    DWORD cookie = sink.Advise(items, IID_IOPCDataCallback);
    Defs d(AllSamples(), 400);
    for (OPCITEMDEF& def : d.defs) def.bActive = TRUE;
    const DWORD n = d.count();
    Out<OPCITEMRESULT> added(n);
    Out<HRESULT> errors;
    ASSERT_EQ(S_OK, items->AddItems(n, d.defs.data(), added.put(), errors.put()));
    std::vector<OPCHANDLE> handles(n);
    std::vector<VARIANT> writes(n);
    for (DWORD i = 0; i < n; ++i) handles[i] = added[i].hServer;
    std::vector<kit::Variant> samples(n);
    for (DWORD i = 0; i < n; ++i) {
        KitOopSample(i, samples[i].get());
        writes[i] = *samples[i].get();
    }

    wineKeeps = {3, serverCopies + 2};  // the value arrays of three callbacks, of AddItems and two writes
    BOOL enabled = FALSE;
    EXPECT_EQ(S_OK, async->SetEnable(FALSE));
    EXPECT_EQ(S_OK, async->GetEnable(&enabled));
    EXPECT_FALSE(enabled);
    EXPECT_EQ(S_OK, async->SetEnable(TRUE));
    EXPECT_EQ(S_OK, async->GetEnable(&enabled));
    EXPECT_TRUE(enabled);

    // While the group is inactive the requests wait; one of them is cancelled.
    DWORD readCancel = 0, writeCancel = 0, refreshCancel = 0;
    ASSERT_EQ(S_OK, async->Read(n, handles.data(), 71, &readCancel, errors.put()));
    writes[4].uiVal ^= 1;
    ASSERT_EQ(S_OK, async->Write(n, handles.data(), writes.data(), 72, &writeCancel, errors.put()));
    EXPECT_EQ(E_FAIL, async->Refresh2(OPC_DS_CACHE, 73, &refreshCancel));
    EXPECT_EQ(S_OK, async->Cancel2(readCancel));
    EXPECT_EQ(E_FAIL, async->Cancel2(readCancel));
    BOOL on = TRUE;
    ASSERT_EQ(S_OK, g.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_DEVICE, 74, &refreshCancel));
    ASSERT_EQ(S_OK, async->Read(2, &handles[n - 2], 75, &readCancel, errors.put()));
    ASSERT_EQ(S_OK, async->Write(1, &handles[4], &writes[4], 76, &writeCancel, errors.put()));

    // Cancel, the write that waited, the change on activation, the refresh, the read
    // and the write: in that order, each with all its items intact.
    {
        kit::CritSecLock lock(sink.cs);  // every callback came before its call returned
        const char* kinds = "lwccrw";
        const DWORD trans[] = {71, 72, 0, 74, 75, 76};
        ASSERT_EQ(6u, sink.calls.size());
        for (size_t k = 0; k < 6; ++k) {
            const Sink::Call& c = sink.calls[k];
            EXPECT_EQ(kinds[k], c.kind) << k;
            EXPECT_EQ(trans[k], c.trans) << k;
            EXPECT_EQ(66u, c.group) << k;
            size_t first = k == 4 ? n - 2 : k == 5 ? 4 : 0;
            size_t count = k == 0 ? 0 : k == 4 ? 2 : k == 5 ? 1 : n;
            ASSERT_EQ(count, c.handles.size()) << k;
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(400 + first + i, c.handles[i]) << k;
                EXPECT_EQ(c.kind == 'w' && first + i == 4 ? OPC_E_RANGE : S_OK, c.errors[i]) << k << " " << i;
                if (c.kind == 'w') continue;
                EXPECT_TRUE(IsSample(c.values[i], first + i)) << k << " " << i;
                EXPECT_EQ(OPC_QUALITY_GOOD, c.qualities[i]);
                EXPECT_EQ(KIT_OOP_TIME_LOW, c.times[i].dwLowDateTime);
            }
        }
    }
    sink.Unadvise(items, IID_IOPCDataCallback, cookie);
    EXPECT_EQ(S_OK, server->RemoveGroup(g.handle, TRUE));
}

}  // namespace
