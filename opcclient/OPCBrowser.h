// Address-space browse: one level below a branch, from the server's OPC DA 2.0
// browse interface or, where it has none, its OPC DA 3.0 one. The result is a
// private copy, so an enumerator outlives later browses and the connection.
#ifndef KETRA_OPCBROWSER_H
#define KETRA_OPCBROWSER_H

#include <string>
#include <vector>

// opcda.h (through OPCClient.h) declares OPCSERVERSTATE first.
#include "OPCClient.h"
#include "IOPCClient.h"

namespace ketra {
namespace opc {

// One element of a browsed level.
struct BrowseEntry {
    std::string name;    // as the server listed it
    std::string itemId;  // fully qualified; what the enumerator hands out
    DWORD kind;          // 2.0: OPC_BRANCH / OPC_LEAF; 3.0: the element's dwFlagValue
    bool isBranch;       // whether the caller should browse into it
};

// Performs one browse; lives only inside one EnumerateItems call.
class COPCBrowser {
public:
    COPCBrowser(const char* branchPath, OPCClient* connection);
    COPCBrowser(const COPCBrowser&) = delete;
    COPCBrowser& operator=(const COPCBrowser&) = delete;

    // Fills `entries`; every failure just leaves fewer (or no) entries.
    void Browse();

    std::string path;
    OPCClient* connection;
    std::vector<BrowseEntry> entries;
    // At most this many entries from each listing (0: all), for a caller that
    // needs only a few and must not pay two round trips for each of thousands.
    size_t maxEntries;

private:
    void BrowseDa2(IOPCBrowseServerAddressSpace* browse);
    void BrowseDa3(IOPCBrowse* browse);
    void ListStrings(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, DWORD kind, bool isBranch);
};

// The only IItemEnumerator: its own copy of the entries and a cursor into it.
class CItemEmumerator : public IItemEnumerator {
public:
    explicit CItemEmumerator(std::vector<BrowseEntry> entries) : entries_(std::move(entries)), cursor_(0) {}
    virtual ~CItemEmumerator() {}
#if !defined(_MSC_VER)
    // Visual C++'s deleting destructor, in the slot where its callers look for it.
    void* VcDeletingDestructor(unsigned int flags) override {
        this->~CItemEmumerator();
        if (flags & 1) ::operator delete(static_cast<void*>(this));
        return this;
    }
#endif
    const char* CurrentItemID() override { return AtEnd() ? "" : entries_[cursor_].itemId.c_str(); }
    bool IsBranch() override { return !AtEnd() && entries_[cursor_].isBranch; }
    // At the end already, the cursor stays there.
    bool MoveNext() override {
        if (!AtEnd()) ++cursor_;
        return !AtEnd();
    }

private:
    bool AtEnd() const { return cursor_ >= entries_.size(); }
    std::vector<BrowseEntry> entries_;
    size_t cursor_;
};

}  // namespace opc
}  // namespace ketra

#endif
