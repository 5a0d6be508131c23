#include "ClassRegistry.h"

#include <cstring>
#include <new>
#include <set>

#include "kit_com.h"
#include "opcconst.h"

namespace krelenum {

namespace {

// Longest key name the registry allows; longer names cannot be ProgIDs.
const DWORD kMaxKeyName = 255;
// A value longer than this is no name or GUID of a class: it is not read.
const DWORD kMaxValueChars = 1024;

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

std::wstring GuidText(const GUID& g) {
    wchar_t text[40];
    return StringFromGUID2(g, text, 40) ? std::wstring(text) : std::wstring();
}

// Only the braced form: CLSIDFromString would look anything else up as a ProgID.
bool ParseGuid(const std::wstring& text, GUID* out) {
    if (text.size() != 38 || text[0] != L'{' || text[37] != L'}') return false;
    return SUCCEEDED(CLSIDFromString(text.c_str(), out));
}

bool OpenKey(HKEY parent, const std::wstring& path, REGSAM view, kit::RegKey* key) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key->put()) == ERROR_SUCCESS;
}

bool HasKey(HKEY parent, const std::wstring& path, REGSAM view) {
    kit::RegKey key;
    return OpenKey(parent, path, view, &key);
}

// A string value (the default one for a null name); false when missing, of
// another type or too long to be what it should.
bool ReadText(HKEY parent, const std::wstring& path, REGSAM view, std::wstring* out) {
    kit::RegKey key;
    if (!OpenKey(parent, path, view, &key)) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxValueChars * sizeof(wchar_t))
        return false;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) !=
        ERROR_SUCCESS)
        return false;
    // The stored size may or may not count a terminator.
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    *out = text;
    return true;
}

// The names of a key's subkeys (names too long for a registry key are skipped).
std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[kMaxKeyName + 1];
        DWORD length = kMaxKeyName + 1;
        LONG rc = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_SUCCESS) names.push_back(std::wstring(name, length));
        else if (rc != ERROR_MORE_DATA) break;
    }
    return names;
}

// HKLM\SOFTWARE\Classes as one view sees it: what COM itself reads for every
// account, the one this service runs under included.
bool OpenClasses(REGSAM view, kit::RegKey* key) {
    return OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", view, key);
}

bool ImplementsOneOf(HKEY clsids, const std::wstring& clsid, REGSAM view, const std::vector<GUID>& categories) {
    for (const GUID& category : categories)
        if (HasKey(clsids, clsid + L"\\Implemented Categories\\" + GuidText(category), view)) return true;
    return false;
}

// A class that requires a category the client does not name is one it cannot use.
bool RequirementsMet(HKEY clsids, const std::wstring& clsid, REGSAM view, const CategoryFilter& filter) {
    if (filter.anyRequired) return true;
    kit::RegKey required;
    if (!OpenKey(clsids, clsid + L"\\Required Categories", view, &required)) return true;
    for (const std::wstring& name : SubkeyNames(required.get())) {
        GUID category;
        if (!ParseGuid(name, &category)) continue;
        bool named = false;
        for (const GUID& g : filter.required) named = named || IsEqualGUID(g, category);
        if (!named) return false;
    }
    return true;
}

class ClassList {
public:
    explicit ClassList(std::vector<CLSID>* out) : out_(out) {}
    void Add(const CLSID& clsid) {
        if (seen_.insert(clsid).second) out_->push_back(clsid);
    }
    bool Has(const CLSID& clsid) const { return seen_.count(clsid) != 0; }

private:
    std::vector<CLSID>* out_;
    std::set<CLSID, GuidLess> seen_;
};

}  // namespace

std::vector<REGSAM> RegistryViews() {
#if defined(_WIN64)
    return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
#else
    // IsWow64Process is missing before XP SP2, where there is one view anyway.
    typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, PBOOL);
    IsWow64Fn isWow64 = reinterpret_cast<IsWow64Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64) return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    return {0};
#endif
}

HRESULT ClassesOfCategories(const CategoryFilter& filter, std::vector<CLSID>* classes) try {
    classes->clear();
    ClassList list(classes);
    bool legacy = false;
    for (const GUID& g : filter.implemented) legacy = legacy || IsEqualGUID(g, CATID_OPCDAServer10);
    legacy = legacy && !filter.anyImplemented;

    for (REGSAM view : RegistryViews()) {
        kit::RegKey root, clsids;
        if (!OpenClasses(view, &root) || !OpenKey(root.get(), L"CLSID", view, &clsids)) continue;
        for (const std::wstring& name : SubkeyNames(clsids.get())) {
            CLSID clsid;
            if (!ParseGuid(name, &clsid) || list.Has(clsid)) continue;
            if (!filter.anyImplemented && !ImplementsOneOf(clsids.get(), name, view, filter.implemented)) continue;
            if (RequirementsMet(clsids.get(), name, view, filter)) list.Add(clsid);
        }
        if (!legacy) continue;
        // Servers older than component categories mark their ProgID with an
        // "OPC" subkey; they count as DA 1.0 servers.
        for (const std::wstring& progId : SubkeyNames(root.get())) {
            if (progId.empty() || progId[0] == L'.' || !HasKey(root.get(), progId + L"\\OPC", view)) continue;
            std::wstring text;
            CLSID clsid;
            if (!ReadText(root.get(), progId + L"\\CLSID", view, &text) || !ParseGuid(text, &clsid) ||
                list.Has(clsid))
                continue;
            const std::wstring key = GuidText(clsid);
            if (HasKey(clsids.get(), key, view) && RequirementsMet(clsids.get(), key, view, filter)) list.Add(clsid);
        }
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT ClassDetails(REFCLSID clsid, std::wstring* progId, std::wstring* userType, std::wstring* verIndProgId) try {
    const std::wstring key = L"CLSID\\" + GuidText(clsid);
    for (REGSAM view : RegistryViews()) {
        kit::RegKey root;
        if (!OpenClasses(view, &root) || !ReadText(root.get(), key + L"\\ProgID", view, progId) || progId->empty())
            continue;
        if (!ReadText(root.get(), key, view, userType)) userType->clear();
        if (!ReadText(root.get(), key + L"\\VersionIndependentProgID", view, verIndProgId)) verIndProgId->clear();
        return S_OK;
    }
    return REGDB_E_CLASSNOTREG;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT ClassFromProgId(const wchar_t* progId, CLSID* clsid) try {
    *clsid = GUID_NULL;
    // A name with a backslash would address some other key of the registry.
    auto usable = [](const std::wstring& name) {
        return !name.empty() && name.size() <= kMaxKeyName && name.find(L'\\') == std::wstring::npos;
    };
    const std::wstring name = progId ? progId : L"";
    if (!usable(name)) return CO_E_CLASSSTRING;
    for (REGSAM view : RegistryViews()) {
        kit::RegKey root;
        if (!OpenClasses(view, &root)) continue;
        std::wstring text, current;
        if (ReadText(root.get(), name + L"\\CLSID", view, &text) && ParseGuid(text, clsid)) return S_OK;
        // A version-independent ProgID may name only its current version.
        if (ReadText(root.get(), name + L"\\CurVer", view, &current) && usable(current) &&
            ReadText(root.get(), current + L"\\CLSID", view, &text) && ParseGuid(text, clsid))
            return S_OK;
    }
    *clsid = GUID_NULL;
    return CO_E_CLASSSTRING;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace krelenum
