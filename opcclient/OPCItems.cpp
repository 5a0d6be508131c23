// Item registration, the group's items and synchronous reads.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "ComErrorText.h"
#include "OPCClient.h"
#include "opcconst.h"

using ketra::opc::ComError;
using ketra::opc::ComErrorText;
using ketra::opc::HResultError;

namespace {

const DWORD kRefreshTransactionId = 1324;

// The two strings FillItemDef allocates; freed item ID first, then access path.
void FreeItemDefStrings(OPCITEMDEF& def) {
    SysFreeString(def.szItemID);
    def.szItemID = nullptr;
    SysFreeString(def.szAccessPath);
    def.szAccessPath = nullptr;
}

// Frees what an AddItems call returned for its items.
void FreeItemResults(OPCITEMRESULT* results, DWORD count) {
    if (!results) return;
    for (DWORD i = 0; i < count; ++i)
        if (results[i].pBlob) CoTaskMemFree(results[i].pBlob);
    CoTaskMemFree(results);
}

}  // namespace

opcError::opcError(const char* format, ...) : when(static_cast<long long>(time(nullptr))) {
    va_list args;
    va_start(args, format);
    // A message longer than the buffer is cut, never written past it.
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    message[sizeof message - 1] = '\0';
}

void OPCClient::LogItemError(HRESULT code, const char* name) {
    const char* text;
    switch (code) {
    case S_OK: return;
    case E_FAIL: text = "%s - E_FAIL:The operation failed for this item"; break;
    case E_INVALIDARG:
        Log(LogError, "%s", "An argument to the function was invalid. ( e.g dwCount=0).");
        return;
    case OPC_E_INVALIDHANDLE: text = "%s - OPC_E_INVALIDHANDLE:The passed item handle was invalid."; break;
    case OPC_E_BADTYPE:
        text = "%s - OPC_E_BADTYPE:The requested data type cannot be returned for this item.";
        break;
    case OPC_E_BADRIGHTS: text = "%s - OPC_E_BADRIGHTS:The item is not readable"; break;
    case OPC_E_UNKNOWNITEMID:
        text = "%s - OPC_E_UNKNOWNITEMID:The ItemID is not in the server address space.";
        break;
    case OPC_E_INVALIDITEMID:
        text = "%s - OPC_E_INVALIDITEMID:The ItemID is not syntactically valid.";
        break;
    case OPC_E_UNKNOWNPATH:
        text = "%s - OPC_E_UNKNOWNPATH:The item's access path is not known to the server.";
        break;
    default: {
        ComError error(code);
        const char* system = ComErrorText(error);
        Log(LogError, "%s - (%s) The function was unsuccessful.", name ? name : "(null)",
            system ? system : "(null)");
        return;
    }
    }
    // Formatted here with the name as data, so a "%" in an item ID stays text.
    Log(LogError, text, name ? name : "(null)");
}

template <class T>
HRESULT OPCClient::GroupInterface(kit::ComPtr<T>& slot, REFIID iid) {
    kit::CritSecLock lock(groupInterfaceLock);
    if (slot) return S_OK;
    if (!group) return E_POINTER;
    HRESULT hr = group.As(iid, slot);
    if (SUCCEEDED(hr) && !slot) hr = E_NOINTERFACE;
    if (FAILED(hr)) slot.Reset();
    return hr;
}

OPCHANDLE OPCClient::RegisterParam(COPCItem* item) {
    if (!item) return 0;
    kit::CritSecLock lock(itemLock);
    itemList.push_back(item);
    if (item->clientHandle == 0) item->clientHandle = static_cast<OPCHANDLE>(itemList.size() - 1);
    itemsByHandle[item->clientHandle] = item;
    itemsById.emplace(std::string_view(item->itemId), item);  // keeps the first item of an ID
    return item->clientHandle;
}

COPCItem* OPCClient::ParamByHandle(OPCHANDLE clientHandle) {
    kit::CritSecLock lock(itemLock);
    auto it = itemsByHandle.find(clientHandle);
    return it == itemsByHandle.end() ? nullptr : it->second;
}

COPCItem* OPCClient::NewParam(OPCHANDLE clientHandle, const char* itemId, VARTYPE dataType) {
    COPCItem* item = new COPCItem(clientHandle, itemId, dataType);
    RegisterParam(item);
    return item;
}

OPCHANDLE OPCClient::AddParam(OPCHANDLE clientHandle, const char* itemId, VARTYPE dataType) {
    COPCItem* item = NewParam(clientHandle, itemId, dataType);
    OPCHANDLE handle = item->clientHandle;
    if (IsConnected() && FAILED(AddParamToGroup(item)))
        throw opcError("Can't add parameter %s to group", item->itemId.c_str());
    return handle;
}

void OPCClient::FillItemDef(COPCItem* item, OPCITEMDEF* def) {
    def->szAccessPath = SysAllocString(L"");
    std::wstring id = kit::WideFromAnsi(item->itemId.c_str());
    def->szItemID = SysAllocStringLen(id.c_str(), static_cast<UINT>(id.size()));
    if (!def->szAccessPath || !def->szItemID) {
        FreeItemDefStrings(*def);
        throw HResultError{E_OUTOFMEMORY};
    }
    def->bActive = TRUE;
    def->hClient = item->clientHandle;
    def->dwBlobSize = 0;
    def->pBlob = nullptr;
    def->vtRequestedDataType = VT_EMPTY;
    def->wReserved = 0;
}

HRESULT OPCClient::AddParamToGroup(COPCItem* item) {
    if (!item) return E_POINTER;
    OPCITEMDEF def = {};
    FillItemDef(item, &def);
    if (FAILED(GroupInterface(itemMgt, IID_IOPCItemMgt))) {
        FreeItemDefStrings(def);
        return E_FAIL;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = itemMgt->AddItems(1, &def, &results, &errors);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    const HRESULT itemError = errors ? errors[0] : S_OK;
    const bool added = SUCCEEDED(hr) && results && SUCCEEDED(itemError);
    if (added) item->dataType = results[0].vtCanonicalDataType;
    FreeItemDefStrings(def);
    item->inGroup.store(false, std::memory_order_relaxed);
    if (FAILED(hr)) {
        FreeItemResults(results, 1);
        Log(LogError, "Error Adding Item %s to the group.", item->itemId.c_str());
        item->serverHandle = 0;
        return E_FAIL;
    }
    item->serverHandle = results ? results[0].hServer : 0;
    item->inGroup.store(added, std::memory_order_release);
    HRESULT result = hr;
    if (FAILED(itemError)) {
        LogItemError(itemError, item->itemId.c_str());
        result = E_FAIL;
    }
    FreeItemResults(results, 1);
    return result;
}

HRESULT OPCClient::AddParamsToGroup(int* added) {
    *added = 0;
    try {
        HRESULT hr = GroupInterface(itemMgt, IID_IOPCItemMgt);
        if (FAILED(hr)) {
            Log(LogError, "failed obtaining the IOPCItemMgt interface. (%s)", ComErrorText(ComError(hr)));
            return hr;
        }
        if (ItemCount() == 0) {
            Log(LogError, "No items to add to the group.");
            return S_OK;
        }
        if (addTogether) {
            HRESULT r = AddParamsTogetherToGroup(itemMgt.get(), added);
            RefreshGroup();
            return r;
        }
        kit::CritSecLock lock(itemLock);
        const size_t n = itemList.size() - 1;
        for (size_t k = 1; k <= n; ++k)
            if (SUCCEEDED(AddParamToGroup(itemList[k]))) ++*added;
        RefreshGroup();
        return S_OK;
    } catch (const ComError& e) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsToGroup (%s)", ComErrorText(e));
    } catch (const HResultError& e) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsToGroup (HR = %d)", static_cast<int>(e.hr));
    } catch (...) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsToGroup");
    }
    return E_FAIL;
}

HRESULT OPCClient::AddParamsTogetherToGroup(IOPCItemMgt* mgt, int* added) {
    std::vector<COPCItem*> items;
    {
        kit::CritSecLock lock(itemLock);
        items.assign(itemList.begin() + 1, itemList.end());
    }
    return AddItemsTogether(mgt, items, added, nullptr);
}

HRESULT OPCClient::AddItemsTogether(IOPCItemMgt* mgt, const std::vector<COPCItem*>& items, int* added,
                                    std::vector<HRESULT>* codes) {
    *added = 0;
    kit::CoTaskArray<OPCITEMDEF> defs;
    DWORD filled = 0;
    try {
        const DWORD n = static_cast<DWORD>(items.size());
        *defs.put() = static_cast<OPCITEMDEF*>(CoTaskMemAlloc(sizeof(OPCITEMDEF) * (n ? n : 1)));
        if (!defs) throw HResultError{E_OUTOFMEMORY};
        {
            kit::CritSecLock lock(itemLock);
            for (; filled < n; ++filled) {
                defs[filled] = OPCITEMDEF();
                FillItemDef(items[filled], &defs[filled]);
            }
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = mgt->AddItems(n, defs.get(), &results, &errors);
        kit::CoTaskArray<HRESULT> errorArray(errors);
        if (FAILED(hr)) {
            Log(LogError, "Error adding Items to the group.");
            LogItemError(hr, nullptr);
        }
        if (results && errors) {
            kit::CritSecLock lock(itemLock);
            // The server answers in the order of the request.
            for (DWORD k = 0; k < n; ++k) {
                COPCItem* item = items[k];
                if (codes) (*codes)[k] = errors[k];
                if (FAILED(errors[k])) {
                    item->inGroup.store(false, std::memory_order_relaxed);
                    LogItemError(errors[k], item->itemId.c_str());
                    continue;
                }
                item->serverHandle = results[k].hServer;
                item->dataType = results[k].vtCanonicalDataType;
                item->inGroup.store(true, std::memory_order_release);
                ++*added;
            }
        }
        FreeItemResults(results, n);
        for (DWORD k = 0; k < filled; ++k) FreeItemDefStrings(defs[k]);
        return hr;
    } catch (const ComError& e) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsTogetherToGroup (%s)", ComErrorText(e));
    } catch (const HResultError& e) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsTogetherToGroup (HR = %d)", static_cast<int>(e.hr));
    } catch (...) {
        Log(LogError, "EXCEPTION: OPCClient::AddParamsTogetherToGroup");
    }
    if (defs)
        for (DWORD k = 0; k < filled; ++k) FreeItemDefStrings(defs[k]);
    return E_FAIL;
}

void OPCClient::AddNewParams(const std::vector<COPCItem*>& items, std::vector<HRESULT>& codes) {
    codes.assign(items.size(), E_FAIL);
    if (items.empty() || !IsConnected() || FAILED(GroupInterface(itemMgt, IID_IOPCItemMgt))) return;
    int added = 0;
    if (SUCCEEDED(AddItemsTogether(itemMgt.get(), items, &added, &codes))) return;
    // The server took none of them in one call: each the way its first read
    // alone would have added it.
    for (size_t k = 0; k < items.size(); ++k) codes[k] = AddParamToGroup(items[k]);
}

void OPCClient::RefreshGroup() {
    if (!IsConnected()) return;
    kit::ComPtr<IOPCAsyncIO2> async;
    group.As(IID_IOPCAsyncIO2, async);
    if (!async) return;
    DWORD cancelId = 0;
    async->Refresh2(OPC_DS_CACHE, kRefreshTransactionId, &cancelId);
}

bool OPCClient::ReadValue(OPCHANDLE clientHandle, FILETIME* timestamp, VARIANT* value, WORD* quality) {
    if (!group) return false;
    // A handle without an item is refused without leaving an entry behind.
    COPCItem* item = ParamByHandle(clientHandle);
    if (!item) return false;
    return ReadItem(item, timestamp, value, quality);
}

bool OPCClient::ReadItem(COPCItem* item, FILETIME* timestamp, VARIANT* value, WORD* quality) {
    if (!group) return false;
    if (!item->inGroup.load(std::memory_order_acquire)) {
        // What the server would answer for a handle of no item of its group.
        LogItemError(OPC_E_INVALIDHANDLE, "OPCClient::ReadValue");
        return false;
    }
    IOPCSyncIO* sync = SyncIO();
    if (!sync) return false;
    OPCHANDLE serverHandle = item->serverHandle;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = sync->Read(OPC_DS_CACHE, 1, &serverHandle, &states, &errors);
    kit::CoTaskArray<OPCITEMSTATE> stateArray(states);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    const bool itemFailed = errors && FAILED(errors[0]);
    if (FAILED(hr) || itemFailed || !states) {
        if (itemFailed) LogItemError(errors[0], "OPCClient::ReadValue");
        // A server may hand back a value with a failure; it is ours to clear.
        if (states) VariantClear(&states[0].vDataValue);
        return false;
    }
    errorArray.Reset();
    // The server's value becomes the caller's: the caller's old content is
    // released and the new one handed over, as a copy followed by clearing the
    // server's would do, without duplicating a string or an array.
    HRESULT cleared = VariantClear(value);
    if (FAILED(cleared)) {
        LogItemError(cleared, "OPCClient::ReadValue: VariantCopy failed !\n");
        VariantClear(&states[0].vDataValue);
    } else {
        *value = states[0].vDataValue;
        VariantInit(&states[0].vDataValue);
    }
    *quality = states[0].wQuality;
    *timestamp = states[0].ftTimeStamp;
    return true;
}

IOPCSyncIO* OPCClient::SyncIO() {
    if (!syncIOReady.load(std::memory_order_acquire)) {
        if (FAILED(GroupInterface(syncIO, IID_IOPCSyncIO))) return nullptr;
        syncIOReady.store(true, std::memory_order_release);
    }
    // Kept until Disconnect, which no read overlaps.
    return syncIO.get();
}

HRESULT OPCClient::ReadItems(const std::vector<ItemRead>& reads) {
    IOPCSyncIO* sync = group && !reads.empty() ? SyncIO() : nullptr;
    HRESULT hr = E_FAIL;
    const DWORD n = static_cast<DWORD>(reads.size());
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    if (sync) {
        std::vector<OPCHANDLE> handles(n);
        for (DWORD k = 0; k < n; ++k) handles[k] = reads[k].item->serverHandle;
        hr = sync->Read(OPC_DS_CACHE, n, handles.data(), &states, &errors);
    }
    kit::CoTaskArray<OPCITEMSTATE> stateArray(states);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    // Every value the server handed back is ours to clear, whatever the outcome.
    struct ClearValues {
        OPCITEMSTATE* states;
        DWORD n;
        ~ClearValues() {
            for (DWORD k = 0; states && k < n; ++k) VariantClear(&states[k].vDataValue);
        }
    } clear = {states, n};
    if (SUCCEEDED(hr) && !states) hr = E_FAIL;
    if (FAILED(hr)) {
        for (const ItemRead& r : reads) r.out->error = hr;
        return hr;
    }
    for (DWORD k = 0; k < n; ++k) {
        KetraItemValue& out = *reads[k].out;
        out.error = errors ? errors[k] : S_OK;
        if (FAILED(out.error)) {
            LogItemError(out.error, reads[k].item->itemId.c_str());
            continue;
        }
        HRESULT cleared = VariantClear(&out.value);
        if (FAILED(cleared)) {
            LogItemError(cleared, "OPCClient::ReadValue: VariantCopy failed !\n");
        } else {
            out.value = states[k].vDataValue;
            VariantInit(&states[k].vDataValue);
        }
        out.quality = states[k].wQuality;
        out.timestamp = states[k].ftTimeStamp;
    }
    return hr;
}
