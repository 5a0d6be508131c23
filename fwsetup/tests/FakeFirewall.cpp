#include "FakeFirewall.h"

#include <cwchar>

namespace fwfake {

namespace {

std::wstring Num(LONG v) { return std::to_wstring(v); }

// Every fake implements its interface in full: the calls FwSetup is meant to
// make do their work, every other one is journalled as unexpected.
template <class I>
class FakeDispatch : public I, public FakeObject {
public:
    FakeDispatch(Firewall& fw, const wchar_t* kind, REFIID iid) : FakeObject(fw, kind), iid_(iid) {}
    IUnknown* Interface() override { return static_cast<I*>(this); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, iid_)) {
            *ppv = static_cast<I*>(this);
            AddRefImpl();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return Unexpected(L"GetTypeInfoCount"); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Unexpected(L"GetTypeInfo"); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Unexpected(L"GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Unexpected(L"Invoke");
    }

protected:
    std::wstring Op(const wchar_t* method) const { return Kind() + L"." + method; }

    HRESULT Unexpected(const wchar_t* method) {
        std::wstring op = Op(method) + L" (unexpected)";
        fw_.calls.push_back(op);
        fw_.problems.push_back(op);
        return E_NOTIMPL;
    }

    // An interface-returning read: journalled, possibly failed or empty.
    template <class T, class Make>
    HRESULT Give(const wchar_t* method, T** out, Make make, const std::wstring& args = std::wstring()) {
        if (!out) return E_POINTER;
        *out = nullptr;
        std::wstring op = Op(method);
        HRESULT hr = fw_.Call(op, args);
        if (FAILED(hr) || fw_.YieldsNull(op)) return hr;
        return make(out);
    }

    // A property write: journalled with the value shown, applied only on success.
    template <class Apply>
    HRESULT Put(const wchar_t* method, const std::wstring& shown, Apply apply) {
        HRESULT hr = fw_.Call(Op(method), shown);
        if (SUCCEEDED(hr)) apply();
        return hr;
    }

    template <class V>
    HRESULT Read(const wchar_t* method, V* out, V value) {
        if (!out) return E_POINTER;
        HRESULT hr = fw_.Call(Op(method));
        if (SUCCEEDED(hr)) *out = value;
        return hr;
    }

private:
    IID iid_;
};

#define FAKE_UNUSED(method, ...) \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return Unexpected(L"" #method); }

// An entry, port or rule: either bound to the stored configuration (found by
// a lookup) or free-standing (created, stored only by Add).
template <class Data>
class Bound {
public:
    Bound(std::vector<Data>* store, size_t index) : store_(store), index_(index) {}
    Data& Get() { return store_ ? (*store_)[index_] : own_; }
    bool Stored() const { return store_ != nullptr; }
private:
    std::vector<Data>* store_;
    size_t index_;
    Data own_;
};

class FakeApp : public FakeDispatch<INetFwAuthorizedApplication> {
public:
    FakeApp(Firewall& fw, std::vector<App>* store, size_t index)
        : FakeDispatch(fw, L"App", IID_INetFwAuthorizedApplication), data(store, index) {}
    Bound<App> data;

    HRESULT STDMETHODCALLTYPE put_Name(BSTR s) override {
        std::wstring t = fw_.Text(s, Op(L"put_Name"));
        return Put(L"put_Name", t, [&] { data.Get().name = t; });
    }
    HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR s) override {
        std::wstring t = fw_.Text(s, Op(L"put_ProcessImageFileName"));
        return Put(L"put_ProcessImageFileName", t, [&] { data.Get().path = t; });
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* v) override { return Read(L"get_Enabled", v, data.Get().enabled); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override {
        return Put(L"put_Enabled", Num(v), [&] { data.Get().enabled = v; });
    }
    FAKE_UNUSED(get_Name, BSTR*)
    FAKE_UNUSED(get_ProcessImageFileName, BSTR*)
    FAKE_UNUSED(get_IpVersion, NET_FW_IP_VERSION*)
    FAKE_UNUSED(put_IpVersion, NET_FW_IP_VERSION)
    FAKE_UNUSED(get_Scope, NET_FW_SCOPE*)
    FAKE_UNUSED(put_Scope, NET_FW_SCOPE)
    FAKE_UNUSED(get_RemoteAddresses, BSTR*)
    FAKE_UNUSED(put_RemoteAddresses, BSTR)
};

class FakeApps : public FakeDispatch<INetFwAuthorizedApplications> {
public:
    explicit FakeApps(Firewall& fw) : FakeDispatch(fw, L"Apps", IID_INetFwAuthorizedApplications) {}

    HRESULT STDMETHODCALLTYPE Item(BSTR path, INetFwAuthorizedApplication** out) override {
        std::wstring key = fw_.Text(path, Op(L"Item"));
        return Give(L"Item", out, [&](INetFwAuthorizedApplication** o) -> HRESULT {
            for (size_t i = 0; i < fw_.apps.size(); ++i)
                if (fw_.apps[i].path == key) {
                    *o = new FakeApp(fw_, &fw_.apps, i);
                    return S_OK;
                }
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }, key);
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
        FakeApp* fake = fw_.Find<FakeApp>(app);
        if (!fake || fake->data.Stored()) fw_.problems.push_back(L"Apps.Add of an object not made by NetFwAuthorizedApplication");
        return Put(L"Add", L"App", [&] { if (fake) fw_.apps.push_back(fake->data.Get()); });
    }
    FAKE_UNUSED(get_Count, LONG*)
    FAKE_UNUSED(Remove, BSTR)
    FAKE_UNUSED(get__NewEnum, IUnknown**)
};

class FakePort : public FakeDispatch<INetFwOpenPort> {
public:
    FakePort(Firewall& fw, std::vector<Port>* store, size_t index)
        : FakeDispatch(fw, L"Port", IID_INetFwOpenPort), data(store, index) {}
    Bound<Port> data;

    HRESULT STDMETHODCALLTYPE put_Name(BSTR s) override {
        std::wstring t = fw_.Text(s, Op(L"put_Name"));
        return Put(L"put_Name", t, [&] { data.Get().name = t; });
    }
    HRESULT STDMETHODCALLTYPE put_Protocol(NET_FW_IP_PROTOCOL v) override {
        return Put(L"put_Protocol", Num(v), [&] { data.Get().protocol = v; });
    }
    HRESULT STDMETHODCALLTYPE put_Port(LONG v) override {
        return Put(L"put_Port", Num(v), [&] { data.Get().port = v; });
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* v) override { return Read(L"get_Enabled", v, data.Get().enabled); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override {
        return Put(L"put_Enabled", Num(v), [&] { data.Get().enabled = v; });
    }
    FAKE_UNUSED(get_Name, BSTR*)
    FAKE_UNUSED(get_IpVersion, NET_FW_IP_VERSION*)
    FAKE_UNUSED(put_IpVersion, NET_FW_IP_VERSION)
    FAKE_UNUSED(get_Protocol, NET_FW_IP_PROTOCOL*)
    FAKE_UNUSED(get_Port, LONG*)
    FAKE_UNUSED(get_Scope, NET_FW_SCOPE*)
    FAKE_UNUSED(put_Scope, NET_FW_SCOPE)
    FAKE_UNUSED(get_RemoteAddresses, BSTR*)
    FAKE_UNUSED(put_RemoteAddresses, BSTR)
    FAKE_UNUSED(get_BuiltIn, VARIANT_BOOL*)
};

class FakePorts : public FakeDispatch<INetFwOpenPorts> {
public:
    explicit FakePorts(Firewall& fw) : FakeDispatch(fw, L"Ports", IID_INetFwOpenPorts) {}

    HRESULT STDMETHODCALLTYPE Item(LONG port, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** out) override {
        return Give(L"Item", out, [&](INetFwOpenPort** o) -> HRESULT {
            for (size_t i = 0; i < fw_.ports.size(); ++i)
                if (fw_.ports[i].port == port && fw_.ports[i].protocol == protocol) {
                    *o = new FakePort(fw_, &fw_.ports, i);
                    return S_OK;
                }
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }, Num(port) + L"," + Num(protocol));
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwOpenPort* port) override {
        FakePort* fake = fw_.Find<FakePort>(port);
        if (!fake || fake->data.Stored()) fw_.problems.push_back(L"Ports.Add of an object not made by NetFwOpenPort");
        return Put(L"Add", L"Port", [&] { if (fake) fw_.ports.push_back(fake->data.Get()); });
    }
    FAKE_UNUSED(get_Count, LONG*)
    FAKE_UNUSED(Remove, LONG, NET_FW_IP_PROTOCOL)
    FAKE_UNUSED(get__NewEnum, IUnknown**)
};

class FakeProfile : public FakeDispatch<INetFwProfile> {
public:
    explicit FakeProfile(Firewall& fw) : FakeDispatch(fw, L"Profile", IID_INetFwProfile) {}

    HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL v) override {
        return Put(L"put_ExceptionsNotAllowed", Num(v), [&] { fw_.exceptionsNotAllowed = v; });
    }
    HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts** out) override {
        return Give(L"get_GloballyOpenPorts", out, [&](INetFwOpenPorts** o) { *o = new FakePorts(fw_); return S_OK; });
    }
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications** out) override {
        return Give(L"get_AuthorizedApplications", out,
                    [&](INetFwAuthorizedApplications** o) { *o = new FakeApps(fw_); return S_OK; });
    }
    FAKE_UNUSED(get_Type, NET_FW_PROFILE_TYPE*)
    FAKE_UNUSED(get_FirewallEnabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_FirewallEnabled, VARIANT_BOOL)
    FAKE_UNUSED(get_ExceptionsNotAllowed, VARIANT_BOOL*)
    FAKE_UNUSED(get_NotificationsDisabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_NotificationsDisabled, VARIANT_BOOL)
    FAKE_UNUSED(get_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL)
    FAKE_UNUSED(get_RemoteAdminSettings, INetFwRemoteAdminSettings**)
    FAKE_UNUSED(get_IcmpSettings, INetFwIcmpSettings**)
    FAKE_UNUSED(get_Services, INetFwServices**)
};

class FakePolicy : public FakeDispatch<INetFwPolicy> {
public:
    explicit FakePolicy(Firewall& fw) : FakeDispatch(fw, L"Policy", IID_INetFwPolicy) {}
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override {
        return Give(L"get_CurrentProfile", out, [&](INetFwProfile** o) { *o = new FakeProfile(fw_); return S_OK; });
    }
    FAKE_UNUSED(GetProfileByType, NET_FW_PROFILE_TYPE, INetFwProfile**)
};

class FakeMgr : public FakeDispatch<INetFwMgr> {
public:
    explicit FakeMgr(Firewall& fw) : FakeDispatch(fw, L"Mgr", IID_INetFwMgr) {}
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override {
        return Give(L"get_LocalPolicy", out, [&](INetFwPolicy** o) { *o = new FakePolicy(fw_); return S_OK; });
    }
    FAKE_UNUSED(get_CurrentProfileType, NET_FW_PROFILE_TYPE*)
    FAKE_UNUSED(RestoreDefaults)
    FAKE_UNUSED(IsPortAllowed, BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*, VARIANT*)
    FAKE_UNUSED(IsIcmpTypeAllowed, NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*)
};

class FakeRule : public FakeDispatch<INetFwRule> {
public:
    FakeRule(Firewall& fw, std::vector<Rule>* store, size_t index)
        : FakeDispatch(fw, L"Rule", IID_INetFwRule), data(store, index) {}
    Bound<Rule> data;

#define FAKE_RULE_TEXT(prop, field)                                              \
    HRESULT STDMETHODCALLTYPE put_##prop(BSTR s) override {                     \
        std::wstring t = fw_.Text(s, Op(L"put_" #prop));                         \
        return Put(L"put_" #prop, t, [&] { data.Get().field = t; });            \
    }
#define FAKE_RULE_NUMBER(prop, type, field)                                      \
    HRESULT STDMETHODCALLTYPE put_##prop(type v) override {                     \
        return Put(L"put_" #prop, Num(v), [&] { data.Get().field = v; });       \
    }
    FAKE_RULE_TEXT(Name, name)
    FAKE_RULE_TEXT(Description, description)
    FAKE_RULE_TEXT(ApplicationName, application)
    FAKE_RULE_TEXT(LocalPorts, localPorts)
    FAKE_RULE_NUMBER(Protocol, LONG, protocol)
    FAKE_RULE_NUMBER(Enabled, VARIANT_BOOL, enabled)
    FAKE_RULE_NUMBER(Profiles, LONG, profiles)
    FAKE_RULE_NUMBER(Action, NET_FW_ACTION, action)
#undef FAKE_RULE_TEXT
#undef FAKE_RULE_NUMBER

    FAKE_UNUSED(get_Name, BSTR*)
    FAKE_UNUSED(get_Description, BSTR*)
    FAKE_UNUSED(get_ApplicationName, BSTR*)
    FAKE_UNUSED(get_ServiceName, BSTR*)
    FAKE_UNUSED(put_ServiceName, BSTR)
    FAKE_UNUSED(get_Protocol, LONG*)
    FAKE_UNUSED(get_LocalPorts, BSTR*)
    FAKE_UNUSED(get_RemotePorts, BSTR*)
    FAKE_UNUSED(put_RemotePorts, BSTR)
    FAKE_UNUSED(get_LocalAddresses, BSTR*)
    FAKE_UNUSED(put_LocalAddresses, BSTR)
    FAKE_UNUSED(get_RemoteAddresses, BSTR*)
    FAKE_UNUSED(put_RemoteAddresses, BSTR)
    FAKE_UNUSED(get_IcmpTypesAndCodes, BSTR*)
    FAKE_UNUSED(put_IcmpTypesAndCodes, BSTR)
    FAKE_UNUSED(get_Direction, NET_FW_RULE_DIRECTION*)
    FAKE_UNUSED(put_Direction, NET_FW_RULE_DIRECTION)
    FAKE_UNUSED(get_Interfaces, VARIANT*)
    FAKE_UNUSED(put_Interfaces, VARIANT)
    FAKE_UNUSED(get_InterfaceTypes, BSTR*)
    FAKE_UNUSED(put_InterfaceTypes, BSTR)
    FAKE_UNUSED(get_Enabled, VARIANT_BOOL*)
    FAKE_UNUSED(get_Grouping, BSTR*)
    FAKE_UNUSED(put_Grouping, BSTR)
    FAKE_UNUSED(get_Profiles, LONG*)
    FAKE_UNUSED(get_EdgeTraversal, VARIANT_BOOL*)
    FAKE_UNUSED(put_EdgeTraversal, VARIANT_BOOL)
    FAKE_UNUSED(get_Action, NET_FW_ACTION*)
};

class FakeRules : public FakeDispatch<INetFwRules> {
public:
    explicit FakeRules(Firewall& fw) : FakeDispatch(fw, L"Rules", IID_INetFwRules) {}

    HRESULT STDMETHODCALLTYPE Item(BSTR name, INetFwRule** out) override {
        std::wstring key = fw_.Text(name, Op(L"Item"));
        return Give(L"Item", out, [&](INetFwRule** o) -> HRESULT {
            for (size_t i = 0; i < fw_.rules.size(); ++i)
                if (fw_.rules[i].name == key) {
                    *o = new FakeRule(fw_, &fw_.rules, i);
                    return S_OK;
                }
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }, key);
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwRule* rule) override {
        FakeRule* fake = fw_.Find<FakeRule>(rule);
        if (!fake || fake->data.Stored()) fw_.problems.push_back(L"Rules.Add of an object not made by NetFwRule");
        return Put(L"Add", L"Rule", [&] { if (fake) fw_.rules.push_back(fake->data.Get()); });
    }
    FAKE_UNUSED(get_Count, LONG*)
    FAKE_UNUSED(Remove, BSTR)
    FAKE_UNUSED(get__NewEnum, IUnknown**)
};

class FakePolicy2 : public FakeDispatch<INetFwPolicy2> {
public:
    explicit FakePolicy2(Firewall& fw) : FakeDispatch(fw, L"Policy2", IID_INetFwPolicy2) {}

    HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** out) override {
        return Give(L"get_Rules", out, [&](INetFwRules** o) { *o = new FakeRules(fw_); return S_OK; });
    }
    HRESULT STDMETHODCALLTYPE put_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2 profile, VARIANT_BOOL v) override {
        return Put(L"put_BlockAllInboundTraffic", Num(profile) + L"," + Num(v),
                   [&] { fw_.blockAllInbound[profile] = v; });
    }
    FAKE_UNUSED(get_CurrentProfileTypes, LONG*)
    FAKE_UNUSED(get_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    FAKE_UNUSED(put_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    FAKE_UNUSED(get_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT*)
    FAKE_UNUSED(put_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT)
    FAKE_UNUSED(get_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    FAKE_UNUSED(get_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    FAKE_UNUSED(put_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    FAKE_UNUSED(get_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    FAKE_UNUSED(put_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    FAKE_UNUSED(get_ServiceRestriction, INetFwServiceRestriction**)
    FAKE_UNUSED(EnableRuleGroup, LONG, BSTR, VARIANT_BOOL)
    FAKE_UNUSED(IsRuleGroupEnabled, LONG, BSTR, VARIANT_BOOL*)
    FAKE_UNUSED(RestoreLocalFirewallDefaults)
    FAKE_UNUSED(get_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    FAKE_UNUSED(put_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    FAKE_UNUSED(get_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    FAKE_UNUSED(put_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    FAKE_UNUSED(get_IsRuleGroupCurrentlyEnabled, BSTR, VARIANT_BOOL*)
    FAKE_UNUSED(get_LocalPolicyModifyState, NET_FW_MODIFY_STATE*)
};

#undef FAKE_UNUSED

template <class Make>
class FakeFactory : public IClassFactory {
public:
    FakeFactory(Firewall& fw, const wchar_t* className, Make make) : fw_(fw), className_(className), make_(make) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by the Firewall, which revokes the registration before it goes.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        std::wstring op = className_ + L".Create";
        HRESULT hr = fw_.Call(op);
        if (FAILED(hr)) return hr;
        // A creation that "succeeds" without an object: COM passes the
        // factory's result through as it is.
        if (fw_.YieldsNull(op)) return S_OK;
        FakeObject* object = make_();
        hr = object->Interface()->QueryInterface(riid, ppv);
        object->Interface()->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Firewall& fw_;
    std::wstring className_;
    Make make_;
};

template <class Make>
std::unique_ptr<IClassFactory> NewFactory(Firewall& fw, const wchar_t* className, Make make) {
    return std::unique_ptr<IClassFactory>(new FakeFactory<Make>(fw, className, make));
}

}  // namespace

FakeObject::FakeObject(Firewall& fw, std::wstring kind) : fw_(fw), kind_(std::move(kind)) {
    fw_.Track(this);
}

ULONG FakeObject::ReleaseImpl() {
    if (refs_ == 0) {
        fw_.problems.push_back(L"Release of " + kind_ + L" after its last reference");
        return 0;
    }
    if (--refs_ == 0) fw_.released.push_back(kind_);
    return refs_;
}

Firewall::Firewall() = default;

Firewall::~Firewall() {
    RevokeClasses();
}

void Firewall::FailAt(const std::wstring& call, FailMode mode) {
    failAt_ = call;
    failMode_ = mode;
}

void Firewall::RegisterClasses() {
    factories_.push_back(NewFactory(*this, L"NetFwMgr", [this] { return new FakeMgr(*this); }));
    factories_.push_back(NewFactory(*this, L"NetFwAuthorizedApplication",
                                    [this] { return new FakeApp(*this, nullptr, 0); }));
    factories_.push_back(NewFactory(*this, L"NetFwOpenPort", [this] { return new FakePort(*this, nullptr, 0); }));
    factories_.push_back(NewFactory(*this, L"NetFwPolicy2", [this] { return new FakePolicy2(*this); }));
    factories_.push_back(NewFactory(*this, L"NetFwRule", [this] { return new FakeRule(*this, nullptr, 0); }));
    const GUID* classes[] = {&CLSID_NetFwMgr, &CLSID_NetFwAuthorizedApplication, &CLSID_NetFwOpenPort,
                             &CLSID_NetFwPolicy2, &CLSID_NetFwRule};
    for (size_t i = 0; i < factories_.size(); ++i) {
        DWORD cookie = 0;
        HRESULT hr = CoRegisterClassObject(*classes[i], factories_[i].get(), CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
        if (FAILED(hr))
            problems.push_back(L"CoRegisterClassObject failed");
        else
            cookies_.push_back(cookie);
    }
}

void Firewall::RevokeClasses() {
    for (DWORD cookie : cookies_) CoRevokeClassObject(cookie);
    cookies_.clear();
}

ULONG Firewall::OutstandingReferences() const {
    ULONG n = 0;
    for (const auto& o : objects_) n += o->References();
    return n;
}

HRESULT Firewall::Call(const std::wstring& op, const std::wstring& args) {
    std::wstring full = args.empty() ? op : op + L"(" + args + L")";
    calls.push_back(full);
    if (!failAt_.empty() && (failAt_ == op || failAt_ == full)) {
        lastFailing_ = op;
        return failMode_ == FailMode::Error ? E_ACCESSDENIED : S_OK;
    }
    lastFailing_.clear();
    return S_OK;
}

bool Firewall::YieldsNull(const std::wstring& op) const {
    return failMode_ == FailMode::NullObject && lastFailing_ == op;
}

std::wstring Firewall::Text(BSTR s, const std::wstring& op) {
    if (!s) {
        problems.push_back(L"null BSTR passed to " + op);
        return std::wstring();
    }
    // A plain wide string passed where a BSTR belongs has no true length prefix.
    if (SysStringLen(s) != wcslen(s)) problems.push_back(L"not a BSTR passed to " + op);
    return std::wstring(s, wcslen(s));
}

void Firewall::Track(FakeObject* object) {
    objects_.emplace_back(object);
    created.push_back(object->Kind());
}

std::wstring Joined(const std::vector<std::wstring>& v) {
    std::wstring s;
    for (const auto& x : v) s += x + L"\n";
    return s;
}

}  // namespace fwfake
