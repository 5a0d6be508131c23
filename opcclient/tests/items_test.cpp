// Items: registration on first read, the group's AddItems calls in both modes,
// synchronous reads, and the texts of item errors.
#include <olectl.h>

#include <cstring>
#include <set>
#include <thread>

#include "client_fixture.h"
#include "ComErrorText.h"
#include "opcconst.h"

using ketra::opc::ComError;

namespace {

std::string Text(HRESULT hr) {
    ComError error(hr);
    const char* t = error.ErrorMessage();
    return t ? t : "(null)";
}

VARIANT R4(float f) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = f;
    return v;
}

const char kUnknownText[] = " - OPC_E_UNKNOWNITEMID:The ItemID is not in the server address space.";

class ItemsTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        Define(L"Bomba.1H.Aceleracion", 3.25f);
        Define(L"Bomba.1H.Caudal", 17.0f);
        Define(L"Bomba.1H.Presion", 2.5f);
    }
    void Define(const std::wstring& id, float value, VARTYPE type = VT_R4) {
        fakeopc::FakeItem item;
        item.canonicalType = type;
        fake->DefineItem(id, item);
        fake->SetValue(id, R4(value));
    }
    bool Read(const char* id, float* f = nullptr, DWORD* quality = nullptr, ketra::opc::COPCClient* c = nullptr) {
        FILETIME ts = {};
        kit::Variant value;
        DWORD q = 0;
        bool ok = (c ? c : client)->ReadValue(id, &ts, value.get(), &q);
        if (ok && f) *f = value->vt == VT_R4 ? value->fltVal : -1.0f;
        if (quality) *quality = q;
        return ok;
    }
    OPCClient& engine() { return client->Engine(); }
};

TEST_F(ItemsTest, FirstReadRegistersAddsAndReadsLaterReadsReuse) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    FILETIME ts = {};
    kit::Variant value;
    DWORD quality = 0;
    ASSERT_TRUE(client->ReadValue("Bomba.1H.Aceleracion", &ts, value.get(), &quality));
    EXPECT_EQ(VT_R4, value->vt);
    EXPECT_FLOAT_EQ(3.25f, value->fltVal);
    EXPECT_EQ(192u, quality);
    const FILETIME expected = fake->Item(L"Bomba.1H.Aceleracion")->timestamp;
    EXPECT_EQ(expected.dwLowDateTime, ts.dwLowDateTime);
    EXPECT_EQ(expected.dwHighDateTime, ts.dwHighDateTime);
    EXPECT_TRUE(Lines().empty());

    auto adds = fake->AddItemsCalls();
    ASSERT_EQ(1u, adds.size());
    ASSERT_EQ(1u, adds[0].size());
    EXPECT_EQ(L"Bomba.1H.Aceleracion", adds[0][0].itemId);
    EXPECT_FALSE(adds[0][0].accessPathNull);
    EXPECT_EQ(L"", adds[0][0].accessPath);
    EXPECT_EQ(TRUE, adds[0][0].active);
    EXPECT_EQ(VT_EMPTY, adds[0][0].requestedType);
    COPCItem* item = engine().FindByName("Bomba.1H.Aceleracion");
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(adds[0][0].hClient, item->clientHandle);
    EXPECT_GE(item->clientHandle, 200000u);
    EXPECT_EQ(VT_R4, item->dataType) << "the server's canonical type replaces VT_UNKNOWN";

    auto reads = fake->Reads();
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(OPC_DS_CACHE, reads[0].source);
    EXPECT_EQ(std::vector<OPCHANDLE>{item->serverHandle}, reads[0].serverHandles);

    // Later reads find the item: no new AddItems, one Read each.
    EXPECT_TRUE(Read("Bomba.1H.Aceleracion"));
    EXPECT_EQ(1u, fake->AddItemsCalls().size());
    EXPECT_EQ(2u, fake->Reads().size());
    EXPECT_EQ(1u, engine().ItemCount());

    // Names differing in letter case are different items.
    EXPECT_FALSE(Read("bomba.1h.aceleracion"));
    EXPECT_EQ(2u, engine().ItemCount());
}

TEST_F(ItemsTest, ClientHandlesCountOnAcrossClientObjects) {
    ketra::opc::COPCClient* other = NewClient();
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_EQ(S_OK, other->Connect(kFakeProgId, nullptr, &CaptureLine));
    ASSERT_TRUE(Read("Bomba.1H.Aceleracion"));
    ASSERT_TRUE(Read("Bomba.1H.Caudal", nullptr, nullptr, other));
    ASSERT_TRUE(Read("Bomba.1H.Presion"));
    const OPCHANDLE first = engine().FindByName("Bomba.1H.Aceleracion")->clientHandle;
    EXPECT_EQ(first + 1, other->Engine().FindByName("Bomba.1H.Caudal")->clientHandle);
    EXPECT_EQ(first + 2, engine().FindByName("Bomba.1H.Presion")->clientHandle);
    EXPECT_TRUE(DestroyOPCClientObject(other));
}

TEST_F(ItemsTest, FirstReadsOnTwoThreadsNeverShareAHandle) {
    ketra::opc::COPCClient* other = NewClient();
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_EQ(S_OK, other->Connect(kFakeProgId, nullptr, &CaptureLine));
    auto readMany = [](ketra::opc::COPCClient* c, const char* prefix) {
        kit::ComInit com(COINIT_MULTITHREADED);
        for (int i = 0; i < 200; ++i) {
            std::string id = prefix + std::to_string(i);
            FILETIME ts;
            kit::Variant v;
            DWORD q;
            c->ReadValue(id.c_str(), &ts, v.get(), &q);  // unknown: registered, rejected
        }
    };
    std::thread a(readMany, client, "A."), b(readMany, other, "B.");
    a.join();
    b.join();
    std::set<OPCHANDLE> handles;
    for (auto& call : fake->AddItemsCalls())
        for (auto& def : call) handles.insert(def.hClient);
    EXPECT_EQ(400u, handles.size());
    EXPECT_TRUE(DestroyOPCClientObject(other));
}

TEST_F(ItemsTest, UnknownItemIsRejectedOnAddThenOnEveryReadUntilReconnected) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    EXPECT_FALSE(Read("Bomba.2H.Nivel"));
    EXPECT_EQ(std::vector<std::string>{std::string("ERR: Bomba.2H.Nivel") + kUnknownText}, Lines());
    EXPECT_TRUE(fake->Reads().empty()) << "no read after a failed registration";
    COPCItem* item = engine().FindByName("Bomba.2H.Nivel");
    ASSERT_NE(nullptr, item) << "stays registered";
    EXPECT_EQ(0xBAD0u, item->serverHandle) << "the handle the server returned with the rejection";
    EXPECT_EQ(VT_UNKNOWN, item->dataType);

    ClearLines();
    EXPECT_FALSE(Read("Bomba.2H.Nivel"));
    EXPECT_EQ((std::vector<std::string>{"ERR: OPCClient::ReadValue - OPC_E_INVALIDHANDLE:The passed item handle was invalid.",
                                        "ERR: ReadValue: Failed to read value Bomba.2H.Nivel"}),
              Lines());
    EXPECT_TRUE(fake->Reads().empty()) << "a handle given with a rejection is never read";
    EXPECT_EQ(1u, fake->AddItemsCalls().size()) << "not offered again before the next connection";

    // The next connection adds it again, and now the server knows it.
    Define(L"Bomba.2H.Nivel", 8.0f);
    client->Disconnect();
    ASSERT_EQ(S_OK, ConnectLocal());
    float f = 0;
    EXPECT_TRUE(Read("Bomba.2H.Nivel", &f));
    EXPECT_FLOAT_EQ(8.0f, f);
}

TEST_F(ItemsTest, ReconnectAddsEveryItemInOneCallInOrder) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Aceleracion"));
    ASSERT_TRUE(Read("Bomba.1H.Caudal"));
    ASSERT_TRUE(Read("Bomba.1H.Presion"));
    const OPCHANDLE oldCaudal = engine().FindByName("Bomba.1H.Caudal")->serverHandle;
    client->Disconnect();

    fake->Item(L"Bomba.1H.Caudal")->addError = OPC_E_BADTYPE;
    ClearLines();
    ASSERT_EQ(S_OK, ConnectLocal()) << "S_FALSE of the add is a success";
    auto adds = fake->AddItemsCalls();
    ASSERT_EQ(4u, adds.size());
    const auto& call = adds.back();
    ASSERT_EQ(3u, call.size());
    const char* order[] = {"Bomba.1H.Aceleracion", "Bomba.1H.Caudal", "Bomba.1H.Presion"};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(kit::WideFromAnsi(order[k]), call[k].itemId);
        EXPECT_EQ(engine().FindByName(order[k])->clientHandle, call[k].hClient);
        EXPECT_EQ(TRUE, call[k].active);
        EXPECT_EQ(L"", call[k].accessPath);
        EXPECT_FALSE(call[k].accessPathNull);
        EXPECT_EQ(VT_EMPTY, call[k].requestedType);
    }
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: Bomba.1H.Caudal - OPC_E_BADTYPE:The requested data type cannot be returned for this item.",
                  "DBG: 1020: 2 Items added, Current Items count is 3."}),
              Lines());
    EXPECT_EQ(oldCaudal, engine().FindByName("Bomba.1H.Caudal")->serverHandle) << "a rejected item is left as it was";
    // The server numbers this group afresh: the old handle now names Presion.
    EXPECT_EQ(oldCaudal, engine().FindByName("Bomba.1H.Presion")->serverHandle);
    size_t reads = fake->Reads().size();
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ(reads, fake->Reads().size()) << "an item in no group is never read";
    const auto refreshes = fake->Refreshes();
    ASSERT_EQ(1u, refreshes.size()) << "no refresh for an empty group";
    EXPECT_EQ(OPC_DS_CACHE, refreshes[0].first);
    EXPECT_EQ(1324u, refreshes[0].second);
    float f = 0;
    EXPECT_TRUE(Read("Bomba.1H.Presion", &f));
    EXPECT_FLOAT_EQ(2.5f, f);

    // The engine's own result is the server's S_FALSE with a count of n - 1.
    client->Disconnect();
    ASSERT_EQ(S_OK, ConnectLocal());
    int added = -1;
    EXPECT_EQ(S_FALSE, engine().AddParamsToGroup(&added));
    EXPECT_EQ(2, added);
}

TEST_F(ItemsTest, ReadValuesAddsNewItemsInOneCallAndReadsAllInOne) {
    Define(L"Bomba.3H.A", 1.0f);
    Define(L"Bomba.3H.B", 2.0f);
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Caudal"));  // registered before
    fake->Item(L"Bomba.1H.Presion")->readError = OPC_E_BADRIGHTS;
    const char* ids[] = {"Bomba.1H.Aceleracion", "Bomba.1H.Caudal", "Bomba.2H.Nivel", "Bomba.1H.Presion", nullptr};
    KetraItemValue v[5];
    for (KetraItemValue& x : v) VariantInit(&x.value);
    EXPECT_EQ(S_FALSE, client->ReadValues(5, ids, v));
    auto adds = fake->AddItemsCalls();
    ASSERT_EQ(2u, adds.size());
    ASSERT_EQ(3u, adds[1].size()) << "the three new items in one call";
    EXPECT_EQ(L"Bomba.2H.Nivel", adds[1][1].itemId);
    ASSERT_EQ(2u, fake->Reads().size());
    EXPECT_EQ(3u, fake->Reads()[1].serverHandles.size()) << "one read; the item the server refused is not in it";
    EXPECT_EQ(OPC_DS_CACHE, fake->Reads()[1].source);
    EXPECT_EQ(S_OK, v[0].error);
    EXPECT_FLOAT_EQ(3.25f, v[0].value.fltVal);
    EXPECT_EQ(192u, v[0].quality);
    EXPECT_EQ(fake->Item(L"Bomba.1H.Aceleracion")->timestamp.dwLowDateTime, v[0].timestamp.dwLowDateTime);
    EXPECT_FLOAT_EQ(17.0f, v[1].value.fltVal);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, v[2].error);
    EXPECT_EQ(VT_EMPTY, v[2].value.vt);
    EXPECT_EQ(OPC_E_BADRIGHTS, v[3].error);
    EXPECT_EQ(E_INVALIDARG, v[4].error) << "a null ID registers nothing";
    EXPECT_EQ(4u, engine().ItemCount());
    EXPECT_TRUE(HasLine("ERR: ReadValue: Failed to read value Bomba.1H.Presion"));

    // The next pass: one read, nothing added; the refused item is never read.
    EXPECT_EQ(S_FALSE, client->ReadValues(4, ids, v));
    EXPECT_EQ(2u, fake->AddItemsCalls().size());
    ASSERT_EQ(3u, fake->Reads().size());
    EXPECT_EQ(3u, fake->Reads()[2].serverHandles.size());
    EXPECT_EQ(OPC_E_INVALIDHANDLE, v[2].error);

    // A batch the server refuses as a whole: one call per item, as first reads add them.
    fake->addItemsScript = {E_OUTOFMEMORY};
    const char* more[] = {"Bomba.3H.A", "Bomba.3H.B"};
    EXPECT_EQ(S_OK, client->ReadValues(2, more, v));
    adds = fake->AddItemsCalls();
    ASSERT_EQ(5u, adds.size());
    EXPECT_EQ(2u, adds[2].size());
    EXPECT_EQ(1u, adds[4].size());
    EXPECT_EQ(4u, fake->Reads().size());
    EXPECT_FLOAT_EQ(2.0f, v[1].value.fltVal);

    // The read call itself fails: every item says so.
    fake->readScript = {RPC_E_DISCONNECTED};
    fake->readReturnsNoErrors = true;
    EXPECT_EQ(RPC_E_DISCONNECTED, client->ReadValues(2, more, v));
    EXPECT_EQ(RPC_E_DISCONNECTED, v[0].error);
    EXPECT_EQ(RPC_E_DISCONNECTED, v[1].error);
    // After a disconnect: registered, but there is no group to read from.
    client->Disconnect();
    const char* late = "Bomba.9H.Nuevo";
    EXPECT_EQ(E_FAIL, client->ReadValues(1, &late, v));
    EXPECT_EQ(E_FAIL, v[0].error);
    EXPECT_EQ(7u, engine().ItemCount());
    for (KetraItemValue& x : v) VariantClear(&x.value);
}

TEST_F(ItemsTest, ReconnectOneByOneMakesOneCallPerItem) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Aceleracion"));
    ASSERT_TRUE(Read("Bomba.1H.Caudal"));
    ASSERT_TRUE(Read("Bomba.1H.Presion"));
    client->Disconnect();
    fake->Item(L"Bomba.1H.Caudal")->addError = OPC_E_BADRIGHTS;
    ClearLines();
    engine().addTogether = false;
    EXPECT_EQ(S_OK, engine().CreateServerObject(kFakeProgId, nullptr));
    auto adds = fake->AddItemsCalls();
    ASSERT_EQ(6u, adds.size());
    for (size_t k = 3; k < 6; ++k) EXPECT_EQ(1u, adds[k].size());
    EXPECT_EQ((std::vector<std::string>{"ERR: Bomba.1H.Caudal - OPC_E_BADRIGHTS:The item is not readable",
                                        "DBG: 1020: 2 Items added, Current Items count is 3."}),
              Lines());
    EXPECT_EQ(0xBAD0u, engine().FindByName("Bomba.1H.Caudal")->serverHandle);
    const size_t reads = fake->Reads().size();
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ(reads, fake->Reads().size()) << "the handle came with a rejection";

    // A one-item call that fails as a whole leaves the item in no group.
    client->Disconnect();
    fake->addItemsScript = {S_OK, E_OUTOFMEMORY};
    ClearLines();
    EXPECT_EQ(S_OK, engine().CreateServerObject(kFakeProgId, nullptr));
    EXPECT_EQ("ERR: Error Adding Item Bomba.1H.Caudal to the group.", Lines().at(0));
    EXPECT_EQ(0u, engine().FindByName("Bomba.1H.Caudal")->serverHandle);
}

TEST_F(ItemsTest, WholeAddFailureOnReconnectFailsTheConnect) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Aceleracion"));
    client->Disconnect();
    fake->addItemsScript = {OPC_E_PUBLIC};
    ClearLines();
    EXPECT_EQ(OPC_E_PUBLIC, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{"ERR: Error adding Items to the group.",
                                        "ERR: (null) - (" + Text(OPC_E_PUBLIC) + ") The function was unsuccessful.",
                                        "DBG: 1020: 0 Items added, Current Items count is 1.",
                                        "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host (null)"}),
              Lines());
}

TEST_F(ItemsTest, NoItemsToAddIsLoggedButNotAFailure) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    int added = -1;
    EXPECT_EQ(S_OK, engine().AddParamsToGroup(&added));
    EXPECT_EQ(0, added);
    EXPECT_EQ(std::vector<std::string>{"ERR: No items to add to the group."}, Lines());
}

TEST_F(ItemsTest, ReadAfterExplicitDisconnectRegistersButCannotRead) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Presion"));
    client->Disconnect();
    // The group's interfaces used by the read went with the connection; only the
    // data-callback point is kept until destruction.
    EXPECT_EQ(1, fake->OutstandingRefs());
    ClearLines();
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ(std::vector<std::string>{"ERR: ReadValue: Failed to read value Bomba.1H.Caudal"}, Lines());
    EXPECT_EQ(2u, engine().ItemCount());
    EXPECT_EQ(1u, fake->AddItemsCalls().size());

    ClearLines();
    FILETIME ts;
    kit::Variant v;
    DWORD q;
    EXPECT_FALSE(client->ReadValue(nullptr, &ts, v.get(), &q));
    EXPECT_EQ(std::vector<std::string>{"ERR: ReadValue: Failed to read value (null)"}, Lines());
    EXPECT_EQ(2u, engine().ItemCount()) << "a null ID registers nothing";
}

TEST_F(ItemsTest, ReadFailuresWithAndWithoutItemCodes) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Caudal"));
    ClearLines();
    fake->readScript = {E_FAIL};
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ((std::vector<std::string>{"ERR: OPCClient::ReadValue - E_FAIL:The operation failed for this item",
                                        "ERR: ReadValue: Failed to read value Bomba.1H.Caudal"}),
              Lines());
    ClearLines();
    fake->readScript = {RPC_E_DISCONNECTED};
    fake->readReturnsNoErrors = true;
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ(std::vector<std::string>{"ERR: ReadValue: Failed to read value Bomba.1H.Caudal"}, Lines());
    ClearLines();
    fake->Item(L"Bomba.1H.Caudal")->readError = OPC_E_BADRIGHTS;
    EXPECT_FALSE(Read("Bomba.1H.Caudal"));
    EXPECT_EQ("ERR: OPCClient::ReadValue - OPC_E_BADRIGHTS:The item is not readable", Lines().at(0));

    // Nowhere to put the answer: refused like a null ID, before any registration or read.
    fake->Item(L"Bomba.1H.Caudal")->readError = S_OK;
    const size_t reads = fake->Reads().size();
    FILETIME ts;
    kit::Variant v;
    DWORD q;
    EXPECT_FALSE(client->ReadValue("Bomba.1H.Caudal", nullptr, v.get(), &q));
    EXPECT_FALSE(client->ReadValue("Bomba.1H.Caudal", &ts, nullptr, &q));
    EXPECT_FALSE(client->ReadValue("Bomba.1H.Presion", &ts, v.get(), nullptr));
    EXPECT_EQ(1u, CountLine("ERR: ReadValue: Failed to read value Bomba.1H.Presion"));
    EXPECT_EQ(reads, fake->Reads().size());
    EXPECT_EQ(1u, engine().ItemCount());
}

TEST_F(ItemsTest, FirstReadsOfAConnectionOnTwoThreadsShareTheGroupsInterfaces) {
    fake->groupQueryDelayMs = 100;  // both threads ask before either has the answer
    ASSERT_EQ(S_OK, ConnectLocal());
    kit::Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto reader = [this, &go](const char* id, float expected) {
        kit::ComInit com(COINIT_MULTITHREADED);
        WaitForSingleObject(go.get(), INFINITE);
        float f = 0, g = 0;
        EXPECT_TRUE(Read(id, &f) && Read(id, &g) && f == expected && g == expected) << id;
    };
    std::thread a(reader, "Bomba.1H.Aceleracion", 3.25f), b(reader, "Bomba.1H.Caudal", 17.0f);
    SetEvent(go.get());
    a.join();
    b.join();
    // The teardown finds every reference the two threads were handed given back.
}

TEST_F(ItemsTest, StringValuesBelongToTheCallerAndQualityIsWidened) {
    fakeopc::FakeItem item;
    item.canonicalType = VT_BSTR;
    item.quality = 0;
    fake->DefineItem(L"Bomba.1H.Estado", item);
    kit::Variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(L"En marcha");
    fake->SetValue(L"Bomba.1H.Estado", *text.get());
    ASSERT_EQ(S_OK, ConnectLocal());

    FILETIME ts;
    kit::Variant value;
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocString(L"old content, released by the read");
    DWORD quality = 99;
    ASSERT_TRUE(client->ReadValue("Bomba.1H.Estado", &ts, value.get(), &quality));
    EXPECT_EQ(0u, quality) << "bad quality still reads";
    ASSERT_EQ(VT_BSTR, value->vt);
    EXPECT_STREQ(L"En marcha", value->bstrVal);
    EXPECT_NE(fake->Item(L"Bomba.1H.Estado")->value->get()->bstrVal, value->bstrVal) << "the caller's own copy";

    VARIANT ui1;
    VariantInit(&ui1);
    ui1.vt = VT_UI1;
    ui1.bVal = 0xA5;
    fake->SetValue(L"Bomba.1H.Estado", ui1);
    fake->Item(L"Bomba.1H.Estado")->quality = 0xC0;
    ASSERT_TRUE(client->ReadValue("Bomba.1H.Estado", &ts, value.get(), &quality));
    EXPECT_EQ(192u, quality);
    ASSERT_EQ(VT_UI1, value->vt) << "the string before it was released by this read";
    EXPECT_EQ(0xA5, value->bVal);
    // The caller's VARIANTs are cleared by kit::Variant; the spy checks the rest.
}

TEST_F(ItemsTest, PercentSignsInItemIdsAreText) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    EXPECT_FALSE(Read("%s%n%x"));
    EXPECT_FALSE(Read("%s%n%x"));
    EXPECT_EQ((std::vector<std::string>{std::string("ERR: %s%n%x") + kUnknownText,
                                        "ERR: OPCClient::ReadValue - OPC_E_INVALIDHANDLE:The passed item handle was invalid.",
                                        "ERR: ReadValue: Failed to read value %s%n%x"}),
              Lines());
}

TEST_F(ItemsTest, VeryLongItemIdsAreCutNotOverrun) {
    ASSERT_EQ(S_OK, ConnectLocal());
    std::string id(5000, 'L');
    ClearLines();
    EXPECT_FALSE(Read(id.c_str()));
    ASSERT_EQ(1u, Lines().size());
    EXPECT_EQ(4u + 1u + 3999u, Lines()[0].size() + 0u) << "the line is cut at the line limit";

    opcError error("Can't add parameter %s to group", id.c_str());
    EXPECT_EQ(2047u, std::strlen(error.Message()));
    EXPECT_EQ(0, std::strncmp("Can't add parameter LLL", error.Message(), 23));
}

TEST_F(ItemsTest, EngineReadOfAHandleWithoutItemLeavesNothingBehind) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_TRUE(Read("Bomba.1H.Caudal"));
    FILETIME ts;
    kit::Variant v;
    WORD q = 7;
    EXPECT_FALSE(engine().ReadValue(123456789, &ts, v.get(), &q));
    EXPECT_EQ(7, q);
    EXPECT_EQ(nullptr, engine().ParamByHandle(123456789));
    EXPECT_EQ(1u, fake->Reads().size());
}

TEST_F(ItemsTest, RegistrationKeepsTheFirstItemOfAnIdAndNumbersHandleZero) {
    OPCHANDLE h1 = engine().AddParam(0, "Dup", VT_I4);
    OPCHANDLE h2 = engine().AddParam(0, "Dup", VT_I2);
    EXPECT_EQ(1u, h1) << "handle 0 becomes the item's position";
    EXPECT_EQ(2u, h2);
    EXPECT_EQ(h1, engine().FindByName("Dup")->clientHandle);
    EXPECT_EQ(nullptr, engine().FindByName(nullptr));
    EXPECT_EQ(nullptr, engine().FindByName("dup"));
    EXPECT_EQ(0u, engine().RegisterParam(nullptr));
    COPCItem* second = engine().ParamByHandle(h2);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(VT_I2, second->dataType);
    EXPECT_EQ(0xC0, second->quality);
}

TEST_F(ItemsTest, ItemErrorTexts) {
    client->Connect("No.Such.Server.1", nullptr, &CaptureLine);  // sets the receiver
    ClearLines();
    OPCClient& e = engine();
    e.LogItemError(S_OK, "T");
    e.LogItemError(E_FAIL, "T");
    e.LogItemError(E_INVALIDARG, "T");
    e.LogItemError(OPC_E_INVALIDHANDLE, "T");
    e.LogItemError(OPC_E_INVALIDITEMID, "T");
    e.LogItemError(OPC_E_UNKNOWNPATH, nullptr);
    e.LogItemError(OPC_E_INVALIDFILTER, "T");
    e.LogItemError(S_FALSE, "T");
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: T - E_FAIL:The operation failed for this item",
                  "ERR: An argument to the function was invalid. ( e.g dwCount=0).",
                  "ERR: T - OPC_E_INVALIDHANDLE:The passed item handle was invalid.",
                  "ERR: T - OPC_E_INVALIDITEMID:The ItemID is not syntactically valid.",
                  "ERR: (null) - OPC_E_UNKNOWNPATH:The item's access path is not known to the server.",
                  "ERR: T - (" + Text(OPC_E_INVALIDFILTER) + ") The function was unsuccessful.",
                  "ERR: T - (" + Text(S_FALSE) + ") The function was unsuccessful."}),
              Lines());
    EXPECT_EQ("ERR: T - (Unknown error 0xC0040009) The function was unsuccessful.", Lines()[5])
        << "Wine has no text for OPC codes";
}

}  // namespace
