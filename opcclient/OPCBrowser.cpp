#include "OPCBrowser.h"

namespace ketra {
namespace opc {

namespace {

// Readable items, read-only ones included: a server that applies the filter as
// published lists only items that have every right asked for, and asked for
// read and write it would hide the read-only tags (most inputs of a PLC), which
// are all the console needs.
const DWORD kAccessRightsFilter = OPC_READABLE;
// The item's data type, the one property asked for with a DA 3.0 browse.
const DWORD kPropertyDataType = 2;

// Frees what an OPC DA 3.0 Browse hands back: the element array, each element's
// strings and its item properties (their strings and values).
class BrowseElements {
public:
    BrowseElements() : elements(nullptr), count(0) {}
    BrowseElements(const BrowseElements&) = delete;
    BrowseElements& operator=(const BrowseElements&) = delete;
    ~BrowseElements() {
        if (!elements) return;
        for (DWORD i = 0; i < count; ++i) {
            OPCBROWSEELEMENT& e = elements[i];
            CoTaskMemFree(e.szName);
            CoTaskMemFree(e.szItemID);
            OPCITEMPROPERTY* props = e.ItemProperties.pItemProperties;
            if (props) {
                for (DWORD k = 0; k < e.ItemProperties.dwNumProperties; ++k) {
                    CoTaskMemFree(props[k].szItemID);
                    CoTaskMemFree(props[k].szDescription);
                    VariantClear(&props[k].vValue);
                }
                CoTaskMemFree(props);
            }
        }
        CoTaskMemFree(elements);
    }
    OPCBROWSEELEMENT* elements;
    DWORD count;
};

}  // namespace

COPCBrowser::COPCBrowser(const char* branchPath, OPCClient* conn)
    : path(branchPath ? branchPath : ""), connection(conn), maxEntries(0) {}

void COPCBrowser::Browse() {
    if (!connection || !connection->server) return;
    // The 2.0 interface wins where a server has both: it is the one every
    // DA 2.0 server is known to answer the same way.
    kit::ComPtr<IOPCBrowseServerAddressSpace> da2;
    if (SUCCEEDED(connection->server.As(IID_IOPCBrowseServerAddressSpace, da2)) && da2) {
        BrowseDa2(da2.get());
        return;
    }
    kit::ComPtr<IOPCBrowse> da3;
    if (SUCCEEDED(connection->server.As(IID_IOPCBrowse, da3)) && da3) BrowseDa3(da3.get());
}

void COPCBrowser::BrowseDa2(IOPCBrowseServerAddressSpace* browse) {
    // A server that fails without writing the organisation is taken as flat.
    OPCNAMESPACETYPE organization = OPC_NS_FLAT;
    browse->QueryOrganization(&organization);
    if (organization == OPC_NS_FLAT) {
        // A flat server has no levels: every path yields its whole list.
        ListStrings(browse, OPC_FLAT, OPC_LEAF, false);
    } else if (organization == OPC_NS_HIERARCHIAL) {
        // Always from the root: the position a previous call left must not matter.
        std::wstring widePath = kit::WideFromAnsi(path.c_str());
        // A server that cannot go there stays where it was: listing that level
        // under this path would hand a walk the same branches again, for ever.
        if (FAILED(browse->ChangeBrowsePosition(OPC_BROWSE_TO, widePath.c_str())) && !path.empty()) return;
        ListStrings(browse, OPC_BRANCH, OPC_BRANCH, true);
        ListStrings(browse, OPC_LEAF, OPC_LEAF, false);
    }
}

void COPCBrowser::ListStrings(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, DWORD kind, bool isBranch) {
    kit::ComPtr<IEnumString> names;
    wchar_t emptyFilter[] = L"";
    HRESULT hr = browse->BrowseOPCItemIDs(type, emptyFilter, VT_EMPTY, kAccessRightsFilter, names.put());
    if (FAILED(hr) || !names) return;
    names->Reset();
    for (size_t listed = 0; !maxEntries || listed < maxEntries;) {
        kit::CoTaskString name;
        ULONG fetched = 0;
        if (names->Next(1, name.put(), &fetched) != S_OK || fetched != 1) break;
        if (!name) continue;
        kit::CoTaskString itemId;
        // An element whose ID the server will not give cannot be read either:
        // it is left out rather than listed under a made-up ID.
        if (FAILED(browse->GetItemID(name.get(), itemId.put())) || !itemId) continue;
        BrowseEntry entry;
        entry.name = kit::AnsiFromWide(name.get());
        entry.itemId = kit::AnsiFromWide(itemId.get());
        entry.kind = kind;
        entry.isBranch = isBranch;
        entries.push_back(std::move(entry));
        ++listed;
    }
}

void COPCBrowser::BrowseDa3(IOPCBrowse* browse) {
    std::wstring widePath = kit::WideFromAnsi(path.c_str());
    wchar_t emptyFilter[] = L"";
    wchar_t emptyVendor[] = L"";
    DWORD propertyIds[1] = {kPropertyDataType};
    kit::CoTaskString continuation;
    BOOL more = FALSE;
    BrowseElements found;
    HRESULT hr = browse->Browse(&widePath[0], continuation.put(), static_cast<DWORD>(maxEntries), OPC_BROWSE_FILTER_ALL, emptyFilter,
                                emptyVendor, TRUE, FALSE, 1, propertyIds, &more, &found.count, &found.elements);
    if (FAILED(hr) || !found.elements) return;
    for (DWORD i = 0; i < found.count && (!maxEntries || i < maxEntries); ++i) {
        const OPCBROWSEELEMENT& e = found.elements[i];
        BrowseEntry entry;
        entry.name = kit::AnsiFromWide(e.szName);
        entry.itemId = kit::AnsiFromWide(e.szItemID);
        entry.kind = e.dwFlagValue;
        entry.isBranch = (e.dwFlagValue & OPC_BROWSE_HASCHILDREN) != 0;
        entries.push_back(std::move(entry));
    }
}

}  // namespace opc
}  // namespace ketra
