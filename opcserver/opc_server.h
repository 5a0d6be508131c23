// The OPC server object a client creates: one per CoCreateInstance, with its
// own groups, browse position and locale.
#ifndef KETRA_ENGINE_OPC_SERVER_H
#define KETRA_ENGINE_OPC_SERVER_H

#include "engine.h"
#include "opc_group.h"

namespace ketra {
namespace engine {

class COPCServer final : public IOPCServer,
                   public IOPCCommon,
                   public IConnectionPointContainer,
                   public IOPCItemProperties,
                   public IOPCBrowseServerAddressSpace {
public:
    explicit COPCServer(const std::shared_ptr<EngineCore>& core);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD requestedRate, OPCHANDLE clientGroup,
                          LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup,
                          DWORD* revisedRate, REFIID iid, IUnknown** out) override;
    STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override;
    STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID iid, IUnknown** out) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE serverGroup, BOOL force) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid, IUnknown** out) override;

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override;
    STDMETHODIMP GetLocaleID(LCID* lcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override;
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override;
    STDMETHODIMP SetClientName(LPCWSTR name) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** ids, LPWSTR** descriptions,
                                          VARTYPE** types) override;
    STDMETHODIMP GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids, VARIANT** data,
                                   HRESULT** errors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* ids, LPWSTR** newIds,
                               HRESULT** errors) override;

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* type) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD access,
                                  IEnumString** out) override;
    STDMETHODIMP GetItemID(LPWSTR itemDataId, LPWSTR* itemId) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR itemId, IEnumString** out) override;

    // Engine side.
    LONG volatile* RefCount() { return &ref_; }
    HRESULT RenameGroup(COPCGroup* group, LPCWSTR name);
    HRESULT CloneGroup(COPCGroup* source, LPCWSTR name, REFIID iid, IUnknown** out);
    // Engine stop: tells every advised client, then cuts all of them off; the
    // clients' sinks go to `sinks`, for the caller to release.
    void SendShutdown(const wchar_t* reason);
    void Disconnect(std::vector<kit::ComPtr<IUnknown>>* sinks);

private:
    ~COPCServer();
    HRESULT NewGroup(const GroupSettings& settings, GroupRef* group);
    bool NameTaken(const std::wstring& name, COPCGroup* except);
    std::wstring UniqueName();

    LONG volatile ref_;
    ServerProcessRef process_;
    std::shared_ptr<EngineCore> core_;
    std::shared_ptr<ServerShared> shared_;

    kit::CritSec lock_;
    std::map<OPCHANDLE, GroupRef> groups_;
    bool closing_;  // in the destructor: no group may join any more
    std::vector<std::wstring> browsePath_;
    LCID lcid_;
    std::wstring clientName_;

    CConnectionPoint shutdownPoint_;
};

}  // namespace engine
}  // namespace ketra

#endif
