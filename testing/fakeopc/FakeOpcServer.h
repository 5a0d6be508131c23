// A scriptable in-process OPC DA 2.0 server for tests. A FakeOpc is the script and
// the record of one test: it registers a class object for its CLSID (and a ProgID
// under HKCU\Software\Classes), hands out server objects that follow the script,
// and counts every call and every reference that its objects hold out.
//
// The FakeOpc must outlive every object it hands out; a test checks
// LiveObjects() == 0 and OutstandingRefs() == 0 once the client is gone.
#ifndef KIT_FAKEOPC_FAKEOPCSERVER_H
#define KIT_FAKEOPC_FAKEOPCSERVER_H

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kit_com.h"
#include "opccomn.h"
#include "opcda.h"

namespace fakeopc {

struct StatusStep {
    HRESULT hr;
    OPCSERVERSTATE state;
};

// One item of the fake address space.
struct FakeItem {
    VARTYPE canonicalType = VT_R4;
    HRESULT addError = S_OK;    // per-item result of AddItems
    HRESULT readError = S_OK;   // per-item result of Read
    WORD quality = 0xC0;
    FILETIME timestamp = {0x01234567, 0x01D00000};
    kit::Variant* value = nullptr;  // owned; set with FakeOpc::SetValue
};

// What one AddItems call asked for, item by item.
struct ItemDefRecord {
    std::wstring itemId;
    std::wstring accessPath;
    bool accessPathNull;
    BOOL active;
    OPCHANDLE hClient;
    VARTYPE requestedType;
};

struct ReadRecord {
    OPCDATASOURCE source;
    std::vector<OPCHANDLE> serverHandles;
};

// One element of the fake's address space, as its browse interfaces list it.
struct BrowseNode {
    std::wstring name;
    std::wstring itemId;
    bool branch = false;
    DWORD da3Flags = 0;        // 0: OPC_BROWSE_HASCHILDREN for a branch, OPC_BROWSE_ISITEM for a leaf
    bool itemIdFails = false;  // GetItemID refuses this element
};

// What one IOPCBrowseServerAddressSpace::BrowseOPCItemIDs call asked for.
struct BrowseIdsRecord {
    OPCBROWSETYPE type;
    std::wstring filter;
    bool filterNull;
    VARTYPE dataType;
    DWORD access;
    std::wstring position;  // the level the server was at
};

// What one IOPCBrowse::Browse call asked for.
struct Da3BrowseRecord {
    std::wstring itemId;
    bool continuationNull;
    DWORD maxElements;
    OPCBROWSEFILTER filter;
    std::wstring nameFilter;
    std::wstring vendorFilter;
    BOOL allProperties;
    BOOL propertyValues;
    std::vector<DWORD> propertyIds;
};

struct AddGroupRecord {
    std::wstring name;
    BOOL active;
    DWORD rate;
    OPCHANDLE clientHandle;
    IID iid;
};

class FakeOpc {
public:
    FakeOpc();
    ~FakeOpc();
    FakeOpc(const FakeOpc&) = delete;
    FakeOpc& operator=(const FakeOpc&) = delete;

    // Registers the class object (CLSCTX_INPROC_SERVER) and the ProgID entry.
    HRESULT Register(const CLSID& clsid, const wchar_t* progId);
    void Unregister();

    // Creates a server object directly, as an activation would.
    HRESULT CreateServer(REFIID iid, void** out);
    // A server-list object that resolves the ProgIDs given to MapProgId.
    HRESULT CreateServerList(REFIID iid, void** out);
    void MapProgId(const std::wstring& progId, const CLSID& clsid);

    // ---- script ----
    // GetStatus answers pop from here; an empty script answers running.
    std::deque<StatusStep> statusScript;
    OPCSERVERSTATE defaultState = OPC_STATUS_RUNNING;
    // AddGroup results pop from here; an empty script creates the group (or
    // answers OPC_E_DUPLICATENAME for a name another live group of this fake has).
    std::deque<HRESULT> addGroupScript;
    DWORD revisedRate = 0;  // 0: grant the requested rate
    bool serverHasShutdownPoint = true;
    HRESULT shutdownAdviseResult = S_OK;
    bool groupHasContainer = true;
    bool groupHasDataCallbackPoint = true;
    bool groupHasAsyncIO2 = true;
    // IOPCDataCallback on a group: Advise answers this (a failure refuses the
    // sink); an accepted sink gets an OnDataChange on each Refresh2 when asked to.
    HRESULT dataCallbackAdviseResult = CONNECT_E_CANNOTCONNECT;
    bool sendsDataChange = true;
    // The server list: EnumClassesOfCategories lists the mapped CLSIDs (or fails).
    HRESULT serverListEnumResult = S_OK;
    // AddItems / Read whole-call results pop from here; empty = normal.
    std::deque<HRESULT> addItemsScript;
    std::deque<HRESULT> readScript;
    bool readReturnsNoErrors = false;  // a failed Read that gives no arrays at all
    DWORD groupQueryDelayMs = 0;       // the group's IOPCItemMgt and IOPCSyncIO are slow to hand out
    // The server's process is gone: Unadvise fails and the sink stays held
    // (until DropSinks), as the references of a dead DCOM client do.
    HRESULT shutdownUnadviseResult = S_OK;
    bool recordCalls = true;           // off for benchmarks: the records grow with every call

    // Browsing. A server offers IOPCBrowseServerAddressSpace and/or IOPCBrowse as
    // these say; none by default. The address space is a set of levels keyed by
    // the branch's item ID ("" = root), each in server order.
    bool hasBrowse20 = false;
    bool hasBrowse30 = false;
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    HRESULT queryOrganizationResult = S_OK;  // a failure leaves the out-parameter unwritten
    std::map<OPCBROWSETYPE, HRESULT> browseIdsResult;  // BrowseOPCItemIDs failure per browse type
    bool browseIdsWithoutEnumerator = false;           // S_OK but no IEnumString
    HRESULT da3BrowseResult = S_OK;
    bool da3HandsContinuation = false;  // Browse returns a continuation point (to be freed)
    std::map<std::wstring, std::vector<BrowseNode>> browseLevels;
    // Adds an element to the level `parent`; its item ID is parent + "." + name.
    // The reference is valid until the next element is added to that level.
    BrowseNode& AddBrowseNode(const std::wstring& parent, const std::wstring& name, bool branch);
    std::vector<std::wstring> browsePositions;  // ChangeBrowsePosition(OPC_BROWSE_TO) targets
    std::vector<BrowseIdsRecord> browseIdsCalls;
    std::vector<Da3BrowseRecord> da3Browses;

    void DefineItem(const std::wstring& itemId, const FakeItem& item);
    FakeItem* Item(const std::wstring& itemId);
    void SetValue(const std::wstring& itemId, const VARIANT& value);

    // Calls ShutdownRequest on every advised sink from a new thread and waits.
    void SendShutdownFromThread(const wchar_t* reason);
    // Releases the sinks kept after a failed Unadvise.
    void DropSinks();

    // ---- record ----
    int Calls(const std::string& method);
    LONG OutstandingRefs();      // references our objects have handed out
    LONG LiveObjects();          // our objects not yet destroyed
    LONG HeldClientRefs();       // references we hold on the client's objects
    LONG LiveGroups();           // groups not removed from their server
    int ServersCreated();
    std::vector<AddGroupRecord> AddGroups();
    std::vector<std::pair<OPCHANDLE, BOOL>> RemoveGroups();
    std::vector<std::vector<ItemDefRecord>> AddItemsCalls();
    std::vector<ReadRecord> Reads();
    std::vector<std::pair<OPCDATASOURCE, DWORD>> Refreshes();
    DWORD lastGroupLcid = 0;

    // ---- used by the fake's own objects ----
    void Count(const char* method);
    void RefDelta(LONG delta);
    void ObjectDelta(LONG delta);
    void ClientRefDelta(LONG delta);
    kit::CritSec lock;
    std::set<std::wstring> liveGroupNames;
    std::map<std::wstring, FakeItem> items;
    std::map<std::wstring, CLSID> progIds;
    std::vector<AddGroupRecord> addGroups;
    std::vector<std::pair<OPCHANDLE, BOOL>> removeGroups;
    std::vector<std::vector<ItemDefRecord>> addItemsCalls;
    std::vector<ReadRecord> reads;
    std::vector<std::pair<OPCDATASOURCE, DWORD>> refreshes;
    std::vector<IUnknown*> advisedShutdownSinks;  // owned references, by cookie order
    std::map<DWORD, IUnknown*> shutdownCookies;   // every advised sink, data callbacks too
    DWORD nextCookie = 100;
    OPCHANDLE nextGroupHandle = 7000;
    OPCHANDLE nextItemHandle = 9000;  // the first item handle of every group: servers number per group
    LONG liveGroups = 0;
    int serversCreated = 0;

private:
    std::map<std::string, int> calls_;
    LONG refs_ = 0;
    LONG objects_ = 0;
    LONG clientRefs_ = 0;
    IClassFactory* factory_ = nullptr;
    DWORD registerCookie_ = 0;
    std::wstring progId_;
    bool classesRootEntry_ = false;
};

}  // namespace fakeopc

#endif
