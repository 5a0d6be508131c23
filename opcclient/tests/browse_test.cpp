// Address-space browse: the order and flags of a level, the 2.0 and 3.0 routes,
// every failure giving an empty (never null) enumerator, and enumerators that own
// their entries. The fixture's teardown proves every reference and every block of
// task memory the server handed out was given back.
#include "client_fixture.h"
#include "opcconst.h"

using ketra::opc::BrowseEntry;
using ketra::opc::COPCBrowser;
using ketra::opc::IItemEnumerator;

namespace {

struct Seen {
    std::string itemId;
    bool isBranch;
    bool operator==(const Seen& o) const { return itemId == o.itemId && isBranch == o.isBranch; }
};

void PrintTo(const Seen& s, std::ostream* os) { *os << "{" << s.itemId << (s.isBranch ? ", branch}" : ", leaf}"); }

class BrowseTest : public ClientTest {
protected:
    // The level under `path`, walked the way callers walk it: while the first
    // item ID is not "", read, then MoveNext until it says false.
    std::vector<Seen> Level(const char* path) {
        IItemEnumerator* e = client->EnumerateItems(path);
        EXPECT_NE(nullptr, e);
        std::vector<Seen> seen;
        if (!e) return seen;
        if (*e->CurrentItemID()) {
            do seen.push_back({e->CurrentItemID(), e->IsBranch()});
            while (e->MoveNext());
        }
        EXPECT_STREQ("", e->CurrentItemID()) << "at the end";
        EXPECT_FALSE(e->IsBranch()) << "at the end";
        EXPECT_FALSE(e->MoveNext()) << "the cursor stays at the end";
        client->ReleaseEnumerator(e);
        return seen;
    }
    std::vector<BrowseEntry> Entries(const char* path) {
        COPCBrowser browser(path, &client->Engine());
        browser.Browse();
        return browser.entries;
    }
    // Root: leaves and branches interleaved in server order; B1 holds two leaves.
    void BuildTree() {
        fake->AddBrowseNode(L"", L"L1", false);
        fake->AddBrowseNode(L"", L"B1", true);
        fake->AddBrowseNode(L"", L"L2", false);
        fake->AddBrowseNode(L"", L"B2", true);
        fake->AddBrowseNode(L"B1", L"X", false);
        fake->AddBrowseNode(L"B1", L"Y", false);
    }
};

const std::vector<Seen> kRoot = {{"B1", true}, {"B2", true}, {"L1", false}, {"L2", false}};

TEST_F(BrowseTest, HierarchicalLevelListsBranchesFirstFromTheRootEveryTime) {
    fake->hasBrowse20 = true;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());

    EXPECT_EQ(kRoot, Level(nullptr));
    EXPECT_EQ((std::vector<Seen>{{"B1.X", false}, {"B1.Y", false}}), Level("B1"));
    // Null and "" are the root, even after the server was left inside B1.
    EXPECT_EQ(kRoot, Level(""));
    EXPECT_EQ(std::vector<Seen>{}, Level("B2"));
    EXPECT_EQ((std::vector<std::wstring>{L"", L"B1", L"", L"B2"}), fake->browsePositions);

    ASSERT_EQ(8u, fake->browseIdsCalls.size()) << "one branch and one leaf listing per level";
    for (size_t i = 0; i < fake->browseIdsCalls.size(); ++i) {
        const fakeopc::BrowseIdsRecord& r = fake->browseIdsCalls[i];
        EXPECT_EQ(i % 2 ? OPC_LEAF : OPC_BRANCH, r.type);
        EXPECT_FALSE(r.filterNull);
        EXPECT_EQ(L"", r.filter);
        EXPECT_EQ(VT_EMPTY, r.dataType);
        EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), r.access) << "read-only tags too";
    }
    EXPECT_EQ(8, fake->Calls("EnumString.Reset"));

    std::vector<BrowseEntry> entries = Entries("B1");
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("X", entries[0].name) << "the listed name; the ID is the full one";
    EXPECT_EQ("B1.X", entries[0].itemId);
    EXPECT_EQ(static_cast<DWORD>(OPC_LEAF), entries[0].kind);
    std::vector<BrowseEntry> root = Entries(nullptr);
    ASSERT_EQ(4u, root.size());
    EXPECT_EQ(static_cast<DWORD>(OPC_BRANCH), root[0].kind);
    // A branch the server cannot move to is empty, not the level it stayed at.
    EXPECT_EQ(std::vector<Seen>{}, Level("B1.Gone"));
}

TEST_F(BrowseTest, FlatServerGivesItsWholeListForEveryPath) {
    fake->hasBrowse20 = true;
    fake->organization = OPC_NS_FLAT;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    const std::vector<Seen> all = {{"L1", false}, {"B1.X", false}, {"B1.Y", false}, {"L2", false}};
    EXPECT_EQ(all, Level(nullptr));
    EXPECT_EQ(all, Level("B1"));
    EXPECT_EQ(all, Level("no such branch"));
    EXPECT_TRUE(fake->browsePositions.empty()) << "a flat server has no position to change";
    for (const auto& r : fake->browseIdsCalls) EXPECT_EQ(OPC_FLAT, r.type);
    EXPECT_EQ(static_cast<DWORD>(OPC_LEAF), Entries(nullptr).at(0).kind);
}

TEST_F(BrowseTest, FailingQueryOrganizationIsBrowsedAsFlat) {
    fake->hasBrowse20 = true;
    fake->queryOrganizationResult = E_FAIL;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ((std::vector<Seen>{{"L1", false}, {"B1.X", false}, {"B1.Y", false}, {"L2", false}}), Level("B1"));
    EXPECT_EQ(1, fake->Calls("QueryOrganization"));
}

TEST_F(BrowseTest, FailedListingLosesOnlyItsOwnEntries) {
    fake->hasBrowse20 = true;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    fake->browseIdsResult[OPC_BRANCH] = E_FAIL;
    EXPECT_EQ((std::vector<Seen>{{"L1", false}, {"L2", false}}), Level(nullptr));
    fake->browseIdsResult.clear();
    fake->browseIdsResult[OPC_LEAF] = E_OUTOFMEMORY;
    EXPECT_EQ((std::vector<Seen>{{"B1", true}, {"B2", true}}), Level(nullptr));
    fake->browseIdsResult.clear();
    fake->browseIdsWithoutEnumerator = true;
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr));
}

TEST_F(BrowseTest, ElementWhoseItemIdIsRefusedIsLeftOut) {
    fake->hasBrowse20 = true;
    BuildTree();
    fake->AddBrowseNode(L"B1", L"Bad", false).itemIdFails = true;
    fake->AddBrowseNode(L"B1", L"Z", false);
    ASSERT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ((std::vector<Seen>{{"B1.X", false}, {"B1.Y", false}, {"B1.Z", false}}), Level("B1"));
}

TEST_F(BrowseTest, EntryWithAnEmptyItemIdReadsLikeTheEnd) {
    fake->hasBrowse20 = true;
    fake->AddBrowseNode(L"", L"Blank", false).itemId = L"";
    fake->AddBrowseNode(L"", L"After", false);
    ASSERT_EQ(S_OK, ConnectLocal());
    IItemEnumerator* e = client->EnumerateItems(nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_STREQ("", e->CurrentItemID());
    EXPECT_FALSE(e->IsBranch());
    ASSERT_TRUE(e->MoveNext()) << "the entry is there all the same";
    EXPECT_STREQ("After", e->CurrentItemID());
    client->ReleaseEnumerator(e);
}

TEST_F(BrowseTest, Da3OnlyServerIsBrowsedWithOneBrowseCall) {
    fake->hasBrowse30 = true;
    fake->da3HandsContinuation = true;  // must be freed, and not followed
    BuildTree();
    fake->AddBrowseNode(L"", L"Both", true).da3Flags = OPC_BROWSE_HASCHILDREN | OPC_BROWSE_ISITEM;
    fake->AddBrowseNode(L"", L"Neither", false).da3Flags = 4;
    ASSERT_EQ(S_OK, ConnectLocal());

    // Server order, no branches-first: the element flags decide.
    EXPECT_EQ((std::vector<Seen>{{"L1", false}, {"B1", true}, {"L2", false}, {"B2", true}, {"Both", true},
                                 {"Neither", false}}),
              Level(nullptr));
    EXPECT_EQ((std::vector<Seen>{{"B1.X", false}, {"B1.Y", false}}), Level("B1"));
    EXPECT_EQ(2, fake->Calls("Browse"));
    EXPECT_EQ(0, fake->Calls("QueryOrganization"));
    ASSERT_EQ(2u, fake->da3Browses.size());
    const fakeopc::Da3BrowseRecord& r = fake->da3Browses[0];
    EXPECT_EQ(L"", r.itemId);
    EXPECT_EQ(L"B1", fake->da3Browses[1].itemId);
    EXPECT_TRUE(r.continuationNull);
    EXPECT_EQ(0u, r.maxElements);
    EXPECT_EQ(OPC_BROWSE_FILTER_ALL, r.filter);
    EXPECT_EQ(L"", r.nameFilter);
    EXPECT_EQ(L"", r.vendorFilter);
    EXPECT_EQ(TRUE, r.allProperties);
    EXPECT_EQ(FALSE, r.propertyValues);
    EXPECT_EQ(std::vector<DWORD>{2}, r.propertyIds);

    std::vector<BrowseEntry> entries = Entries(nullptr);
    ASSERT_EQ(6u, entries.size());
    EXPECT_EQ(2u, entries[0].kind);
    EXPECT_EQ(1u, entries[1].kind);
    EXPECT_EQ(3u, entries[4].kind);
    EXPECT_EQ(4u, entries[5].kind);
    EXPECT_EQ("Both", entries[4].name);
}

TEST_F(BrowseTest, Da3FailureGivesAnEmptyLevel) {
    fake->hasBrowse30 = true;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    fake->da3BrowseResult = E_FAIL;
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr));
    fake->da3BrowseResult = S_OK;
    EXPECT_EQ(std::vector<Seen>{}, Level("not a branch")) << "the server's unknown-item error";
}

TEST_F(BrowseTest, ServerWithBothInterfacesIsBrowsedThrough2_0) {
    fake->hasBrowse20 = true;
    fake->hasBrowse30 = true;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ(kRoot, Level(nullptr));
    EXPECT_EQ(0, fake->Calls("Browse"));
}

TEST_F(BrowseTest, NothingToBrowseGivesAnEmptyEnumeratorAndNoLogLine) {
    BuildTree();
    fake->hasBrowse20 = true;
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr)) << "not connected";
    EXPECT_EQ(0, fake->Calls("CreateServer"));
    fake->hasBrowse20 = false;
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr)) << "no browse interface";
    fake->hasBrowse20 = true;
    fake->organization = static_cast<OPCNAMESPACETYPE>(7);
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr)) << "an organisation of neither kind";
    EXPECT_TRUE(Lines().empty());
    fake->organization = OPC_NS_HIERARCHIAL;
    fake->browseLevels.clear();
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr)) << "an empty address space";
    client->ReleaseEnumerator(nullptr);
}

TEST_F(BrowseTest, EnumeratorsAreIndependentAndOutliveTheConnection) {
    fake->hasBrowse20 = true;
    BuildTree();
    ASSERT_EQ(S_OK, ConnectLocal());
    IItemEnumerator* root = client->EnumerateItems(nullptr);
    IItemEnumerator* b1 = client->EnumerateItems("B1");
    ASSERT_TRUE(root && b1);
    EXPECT_STREQ("B1", root->CurrentItemID());
    EXPECT_STREQ("B1.X", b1->CurrentItemID());
    EXPECT_TRUE(root->MoveNext());
    EXPECT_STREQ("B1.X", b1->CurrentItemID()) << "moving one leaves the other";
    EXPECT_TRUE(b1->MoveNext());
    EXPECT_STREQ("B2", root->CurrentItemID());
    const char* kept = b1->CurrentItemID();

    client->Disconnect();
    fake->browseLevels.clear();
    EXPECT_EQ(std::vector<Seen>{}, Level(nullptr)) << "a browse after the disconnect";
    EXPECT_STREQ("B1.Y", kept) << "the pointer stays valid";
    EXPECT_TRUE(root->MoveNext());
    EXPECT_STREQ("L1", root->CurrentItemID());
    EXPECT_FALSE(root->IsBranch());
    EXPECT_TRUE(root->MoveNext());
    EXPECT_FALSE(root->MoveNext());
    EXPECT_FALSE(b1->MoveNext());
    client->ReleaseEnumerator(root);
    client->ReleaseEnumerator(b1);
}

}  // namespace
