// The firewall before Vista (INetFwMgr family): entries of the current profile
// only, programs keyed by path and ports by number and protocol.
#include "FwInternal.h"

namespace fwsetup {

namespace {

// The current profile, reached through the manager and its local policy.
// Returns 0 or the step code (base + 20, + 30, + 40) of the first failure.
int OpenCurrentProfile(int base, kit::ComPtr<INetFwMgr>& manager, kit::ComPtr<INetFwPolicy>& policy,
                       kit::ComPtr<INetFwProfile>& profile) {
    if (!CreateInProc(CLSID_NetFwMgr, IID_INetFwMgr, manager)) return base + 20;
    if (!Obtained(manager->get_LocalPolicy(policy.put()), policy)) return base + 30;
    if (!Obtained(policy->get_CurrentProfile(profile.put()), profile)) return base + 40;
    return 0;
}

}  // namespace

int LegacyAddApp(const WideText& path, const WideText& entryName) {
    kit::Bstr imagePath(path.text);
    kit::Bstr name(entryName.text);
    if (!imagePath.get() || !name.get()) return 1010;

    ComSession com;
    if (!com.Ready()) return 1110;
    kit::ComPtr<INetFwMgr> manager;
    kit::ComPtr<INetFwPolicy> policy;
    kit::ComPtr<INetFwProfile> profile;
    if (int code = OpenCurrentProfile(1100, manager, policy, profile)) return code;
    kit::ComPtr<INetFwAuthorizedApplications> apps;
    if (!Obtained(profile->get_AuthorizedApplications(apps.put()), apps)) return 1150;

    kit::ComPtr<INetFwAuthorizedApplication> existing;
    if (SUCCEEDED(apps->Item(imagePath.get(), existing.put())) && existing) {
        // An entry for this path, perhaps under another name: only make sure it is on.
        VARIANT_BOOL enabled = VARIANT_FALSE;
        if (FAILED(existing->get_Enabled(&enabled))) return 1210;
        if (enabled == VARIANT_TRUE) return 0;
        if (FAILED(existing->put_Enabled(VARIANT_TRUE))) return 1220;
        return 0;
    }

    kit::ComPtr<INetFwAuthorizedApplication> app;
    if (!CreateInProc(CLSID_NetFwAuthorizedApplication, IID_INetFwAuthorizedApplication, app)) return 1310;
    if (FAILED(app->put_ProcessImageFileName(imagePath.get()))) return 1320;
    if (FAILED(app->put_Name(name.get()))) return 1330;
    if (FAILED(app->put_Enabled(VARIANT_TRUE))) return 1340;
    if (FAILED(apps->Add(app.get()))) return 1350;
    return 0;
}

int LegacyAddPort(const WideText& name, LONG port) {
    kit::Bstr entryName(name.text);
    if (!entryName.get()) return 5010;

    ComSession com;
    if (!com.Ready()) return 5110;
    kit::ComPtr<INetFwMgr> manager;
    kit::ComPtr<INetFwPolicy> policy;
    kit::ComPtr<INetFwProfile> profile;
    if (int code = OpenCurrentProfile(5100, manager, policy, profile)) return code;
    kit::ComPtr<INetFwOpenPorts> ports;
    if (!Obtained(profile->get_GloballyOpenPorts(ports.put()), ports)) return 5150;

    kit::ComPtr<INetFwOpenPort> existing;
    if (SUCCEEDED(ports->Item(port, NET_FW_IP_PROTOCOL_TCP, existing.put())) && existing) {
        // The port is already listed, whatever its name: only make sure it is on.
        VARIANT_BOOL enabled = VARIANT_FALSE;
        if (FAILED(existing->get_Enabled(&enabled))) return 5210;
        if (enabled == VARIANT_TRUE) return 0;
        if (FAILED(existing->put_Enabled(VARIANT_TRUE))) return 5220;
        return 0;
    }

    kit::ComPtr<INetFwOpenPort> entry;
    if (!CreateInProc(CLSID_NetFwOpenPort, IID_INetFwOpenPort, entry)) return 5310;
    if (FAILED(entry->put_Port(port))) return 5320;
    if (FAILED(entry->put_Protocol(NET_FW_IP_PROTOCOL_TCP))) return 5330;
    if (FAILED(entry->put_Name(entryName.get()))) return 5340;
    if (FAILED(entry->put_Enabled(VARIANT_TRUE))) return 5350;
    if (FAILED(ports->Add(entry.get()))) return 5360;
    return 0;
}

int LegacyAllowExceptions() {
    ComSession com;
    if (!com.Ready()) return 3110;
    kit::ComPtr<INetFwMgr> manager;
    kit::ComPtr<INetFwPolicy> policy;
    kit::ComPtr<INetFwProfile> profile;
    if (int code = OpenCurrentProfile(3100, manager, policy, profile)) return code;
    // Written every time, without reading it first.
    if (FAILED(profile->put_ExceptionsNotAllowed(VARIANT_FALSE))) return 3150;
    return 0;
}

}  // namespace fwsetup
