// The firewall of Vista and later (INetFwPolicy2 family): named rules that
// apply to every profile. A rule found by name is taken over and rewritten.
#include <stdio.h>

#include "FwInternal.h"

namespace fwsetup {

namespace {

// The policy and its rule collection; 0 or the step code (base + 20, + 30).
int OpenRules(int base, kit::ComPtr<INetFwPolicy2>& policy, kit::ComPtr<INetFwRules>& rules) {
    if (!CreateInProc(CLSID_NetFwPolicy2, IID_INetFwPolicy2, policy)) return base + 20;
    if (!Obtained(policy->get_Rules(rules.put()), rules)) return base + 30;
    return 0;
}

// The found rule, or null when the lookup fails in any way.
kit::ComPtr<INetFwRule> FindRule(INetFwRules* rules, BSTR name) {
    kit::ComPtr<INetFwRule> rule;
    if (FAILED(rules->Item(name, rule.put()))) rule.Reset();
    return rule;
}

}  // namespace

int AdvancedAddApp(const WideText& path, const WideText& entryName) {
    kit::Bstr name(entryName.text);
    kit::Bstr imagePath(path.text);
    if (!name.get() || !imagePath.get()) return 2010;

    ComSession com;
    if (!com.Ready()) return 2110;
    kit::ComPtr<INetFwPolicy2> policy;
    kit::ComPtr<INetFwRules> rules;
    if (int code = OpenRules(2100, policy, rules)) return code;

    if (kit::ComPtr<INetFwRule> rule = FindRule(rules.get(), name.get())) {
        // Taken over as it is: its name, direction and the rest stay.
        if (FAILED(rule->put_Description(name.get()))) return 2330;
        if (FAILED(rule->put_ApplicationName(imagePath.get()))) return 2340;
        if (FAILED(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP))) return 2350;
        if (FAILED(rule->put_Enabled(VARIANT_TRUE))) return 2360;
        if (FAILED(rule->put_Profiles(NET_FW_PROFILE2_ALL))) return 2370;
        if (FAILED(rule->put_Action(NET_FW_ACTION_ALLOW))) return 2380;
        return 0;
    }

    kit::ComPtr<INetFwRule> rule;
    if (!CreateInProc(CLSID_NetFwRule, IID_INetFwRule, rule)) return 2210;
    if (FAILED(rule->put_Name(name.get()))) return 2220;
    if (FAILED(rule->put_Description(name.get()))) return 2230;
    if (FAILED(rule->put_ApplicationName(imagePath.get()))) return 2240;
    if (FAILED(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP))) return 2250;
    if (FAILED(rule->put_Enabled(VARIANT_TRUE))) return 2260;
    if (FAILED(rule->put_Profiles(NET_FW_PROFILE2_ALL))) return 2270;
    if (FAILED(rule->put_Action(NET_FW_ACTION_ALLOW))) return 2280;
    if (FAILED(rules->Add(rule.get()))) return 2290;
    return 0;
}

int AdvancedAddPort(const WideText& name, LONG port) {
    char portDigits[16];
    snprintf(portDigits, sizeof(portDigits), "%d", static_cast<int>(port));
    WideText portText;
    WidenBytes(portDigits, portText);
    kit::Bstr ruleName(name.text);
    kit::Bstr localPorts(portText.text);
    if (!ruleName.get() || !localPorts.get()) return 6010;

    ComSession com;
    if (!com.Ready()) return 6110;
    kit::ComPtr<INetFwPolicy2> policy;
    kit::ComPtr<INetFwRules> rules;
    if (int code = OpenRules(6100, policy, rules)) return code;

    // Protocol goes before LocalPorts: a rule refuses ports while its protocol
    // is not one that has them.
    if (kit::ComPtr<INetFwRule> rule = FindRule(rules.get(), ruleName.get())) {
        if (FAILED(rule->put_Description(ruleName.get()))) return 6330;
        if (FAILED(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP))) return 6340;
        if (FAILED(rule->put_LocalPorts(localPorts.get()))) return 6350;
        if (FAILED(rule->put_Enabled(VARIANT_TRUE))) return 6360;
        if (FAILED(rule->put_Profiles(NET_FW_PROFILE2_ALL))) return 6370;
        if (FAILED(rule->put_Action(NET_FW_ACTION_ALLOW))) return 6380;
        return 0;
    }

    kit::ComPtr<INetFwRule> rule;
    if (!CreateInProc(CLSID_NetFwRule, IID_INetFwRule, rule)) return 6210;
    if (FAILED(rule->put_Name(ruleName.get()))) return 6220;
    if (FAILED(rule->put_Description(ruleName.get()))) return 6230;
    if (FAILED(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP))) return 6240;
    if (FAILED(rule->put_LocalPorts(localPorts.get()))) return 6250;
    if (FAILED(rule->put_Enabled(VARIANT_TRUE))) return 6260;
    if (FAILED(rule->put_Profiles(NET_FW_PROFILE2_ALL))) return 6270;
    if (FAILED(rule->put_Action(NET_FW_ACTION_ALLOW))) return 6280;
    if (FAILED(rules->Add(rule.get()))) return 6290;
    return 0;
}

int AdvancedAllowExceptions() {
    ComSession com;
    if (!com.Ready()) return 4110;
    kit::ComPtr<INetFwPolicy2> policy;
    if (!CreateInProc(CLSID_NetFwPolicy2, IID_INetFwPolicy2, policy)) return 4120;
    // Written every time, without reading it first; a profile already switched
    // stays switched when a later one fails.
    if (FAILED(policy->put_BlockAllInboundTraffic(NET_FW_PROFILE2_PUBLIC, VARIANT_FALSE))) return 4130;
    if (FAILED(policy->put_BlockAllInboundTraffic(NET_FW_PROFILE2_PRIVATE, VARIANT_FALSE))) return 4140;
    if (FAILED(policy->put_BlockAllInboundTraffic(NET_FW_PROFILE2_DOMAIN, VARIANT_FALSE))) return 4150;
    return 0;
}

}  // namespace fwsetup
