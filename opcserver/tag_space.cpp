// The declared tags, their '.'-separated address-space tree and the gate in
// front of the host's value provider.
#include "engine.h"

namespace ketra {
namespace engine {

namespace {

std::vector<std::wstring> SplitId(const std::wstring& id) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = id.find(L'.', start);
        if (dot == std::wstring::npos) {
            parts.push_back(id.substr(start));
            return parts;
        }
        parts.push_back(id.substr(start, dot - start));
        start = dot + 1;
    }
}

bool SupportedType(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_BOOL: case VT_I8: case VT_UI8:
        return true;
    default:
        return false;
    }
}

}  // namespace

TagSpace::TagSpace() : provider_(nullptr), closed_(false), activeCalls_(0) {
    idle_.Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
}

TagSpace::~TagSpace() {}

bool TagSpace::ValidId(const wchar_t* id) {
    if (!id || !*id) return false;
    std::wstring s(id);
    for (const std::wstring& part : SplitId(s))
        if (part.empty()) return false;
    for (wchar_t c : s)
        if (c < 0x20) return false;
    return true;
}

bool TagSpace::Add(const char* name, VARTYPE type, DWORD access) {
    if (!name || !*name || !SupportedType(type)) return false;
    if (access == 0 || (access & ~static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE)) != 0) return false;
    std::wstring id = kit::WideFromAnsi(name);
    if (!ValidId(id.c_str())) return false;

    std::unique_ptr<Tag> tag(new Tag);
    tag->name = name;
    tag->id = id;
    tag->type = type;
    tag->access = access;

    kit::CritSecLock lock(tagsLock_);
    if (tags_.count(id)) return false;  // a second declaration could not mean the same tag
    Node* node = &root_;
    std::vector<std::wstring> parts = SplitId(id);
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::unique_ptr<Node>& child = node->children[parts[i]];
        if (!child) child.reset(new Node);
        node = child.get();
    }
    std::unique_ptr<Node>& leaf = node->children[parts.back()];
    if (!leaf) leaf.reset(new Node);
    // The tree names the tag only once the map owns it (inserting may throw).
    const Tag* added = tag.get();
    tags_[id] = std::move(tag);
    leaf->tag = added;
    return true;
}

const Tag* TagSpace::Find(const wchar_t* id) const {
    if (!id) return nullptr;
    kit::CritSecLock lock(tagsLock_);
    auto it = tags_.find(id);
    return it == tags_.end() ? nullptr : it->second.get();
}

const TagSpace::Node* TagSpace::NodeAt(const std::vector<std::wstring>& path) const {
    const Node* node = &root_;
    for (const std::wstring& part : path) {
        auto it = node->children.find(part);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return node;
}

bool TagSpace::BranchExists(const std::vector<std::wstring>& path) const {
    kit::CritSecLock lock(tagsLock_);
    const Node* node = NodeAt(path);
    return node && (path.empty() || !node->children.empty());
}

void TagSpace::Children(const std::vector<std::wstring>& path, std::vector<std::wstring>* branches,
                        std::vector<const Tag*>* leaves) const {
    kit::CritSecLock lock(tagsLock_);
    const Node* node = NodeAt(path);
    if (!node) return;
    for (const auto& child : node->children) {
        if (branches && !child.second->children.empty()) branches->push_back(child.first);
        if (leaves && child.second->tag) leaves->push_back(child.second->tag);
    }
}

void TagSpace::AllTags(std::vector<const Tag*>* tags) const {
    kit::CritSecLock lock(tagsLock_);
    for (const auto& t : tags_) tags->push_back(t.second.get());
}

void TagSpace::SetProvider(IValueProvider* provider) {
    kit::CritSecLock lock(providerLock_);
    if (!closed_) provider_ = provider;
}

void TagSpace::Close() {
    // Waits for every ReadTag in progress: the host may destroy the provider
    // as soon as the engine has stopped.
    {
        kit::CritSecLock lock(providerLock_);
        closed_ = true;
        provider_ = nullptr;
    }
    WaitForSingleObject(idle_.get(), INFINITE);
}

void TagSpace::Read(const Tag& tag, TagValue* out) {
    out->value.Clear();
    {
        kit::CritSecLock lock(tag.writeLock);
        if (tag.hasWritten) {
            VariantCopy(out->value.get(), tag.written.get());
            out->quality = OPC_QUALITY_GOOD;
            out->timestamp = tag.writtenAt;
            return;
        }
    }
    FILETIME ts = {0, 0};
    DWORD quality = 0;
    kit::Variant raw;
    IValueProvider* provider;
    {
        kit::CritSecLock lock(providerLock_);
        provider = provider_;
        if (!provider) {
            out->quality = closed_ ? (OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE)
                                   : (OPC_QUALITY_BAD | OPC_QUALITY_NOT_CONNECTED);
            out->timestamp = NowFileTime();
            return;
        }
        if (activeCalls_++ == 0) ResetEvent(idle_.get());
    }
    int rc = provider->ReadTag(tag.name.c_str(), &ts, &quality, raw.get());
    {
        kit::CritSecLock lock(providerLock_);
        if (--activeCalls_ == 0) SetEvent(idle_.get());
    }
    if (rc != 0) {
        // Declared, but the provider does not know it: a configuration fault.
        out->quality = OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR;
        out->timestamp = NowFileTime();
        return;
    }
    out->quality = static_cast<WORD>(quality & 0xFFFF);
    // Providers may leave the time to us (a zero FILETIME); clients want a real one.
    out->timestamp = (ts.dwLowDateTime == 0 && ts.dwHighDateTime == 0) ? NowFileTime() : ts;
    if (V_VT(raw.get()) == VT_EMPTY) return;
    if (FAILED(ConvertValue(out->value.get(), raw.get(), tag.type))) {
        out->value.Clear();
        out->quality = OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR;
    }
}

HRESULT TagSpace::Write(const Tag& tag, const VARIANT& value) {
    if (!(tag.access & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
    // An empty VARIANT carries no value: converted, it would store 0 or "".
    if (V_VT(&value) == VT_EMPTY) return OPC_E_BADTYPE;
    kit::Variant canonical;
    if (FAILED(ConvertValue(canonical.get(), &value, tag.type))) return OPC_E_BADTYPE;
    {
        kit::CritSecLock lock(providerLock_);
        if (closed_) return E_FAIL;
    }
    kit::CritSecLock lock(tag.writeLock);
    canonical.MoveTo(tag.written.get());
    tag.writtenAt = NowFileTime();
    tag.hasWritten = true;
    return S_OK;
}

}  // namespace engine
}  // namespace ketra
