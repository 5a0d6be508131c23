// The monitor's logic on a recorded screen: a scripted client (its address space,
// values and failures) behind the library's two exports, and a console that
// renders prints, tabs and cursor moves into rows and columns.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

// opcda.h (through the fake) first: the library's header then leaves OPCSERVERSTATE to it.
#include "FakeOpcServer.h"
#include "ConsoleIO.h"
#include "Diagnosis.h"
#include "Monitor.h"
#include "opcconst.h"

using ketra::opc::IItemEnumerator;
using ketra::opc::IOPCClient;

namespace {

int g_liveEnumerators = 0;

class ScriptEnumerator : public IItemEnumerator {
public:
    struct Entry {
        std::string id;
        bool branch;
    };
    explicit ScriptEnumerator(std::vector<Entry> e) : entries(std::move(e)) { ++g_liveEnumerators; }
    virtual ~ScriptEnumerator() { --g_liveEnumerators; }
#if !defined(_MSC_VER)
    void* VcDeletingDestructor(unsigned int flags) override {
        this->~ScriptEnumerator();
        if (flags & 1) ::operator delete(static_cast<void*>(this));
        return this;
    }
#endif
    const char* CurrentItemID() override { return pos < entries.size() ? entries[pos].id.c_str() : ""; }
    bool IsBranch() override { return pos < entries.size() && entries[pos].branch; }
    bool MoveNext() override {
        if (pos < entries.size()) ++pos;
        return pos < entries.size();
    }
    std::vector<Entry> entries;
    size_t pos = 0;
};

struct ScriptValue {
    VARTYPE vt;
    double number;
    std::wstring text;
    DWORD quality;
};

class ScriptClient : public IOPCClient {
public:
    HRESULT Connect(const char* progId, const char* host, ketra::opc::LogCallback callback) override {
        connects.push_back(std::string(progId) + "@" + host);
        if (callback) callback("DBG: ignored by the console");
        return connectResult;
    }
    int Disconnect() override { ++disconnects; return 0; }
    HRESULT GetServerState(OPCSERVERSTATE* state) override {
        ++stateQueries;
        if (SUCCEEDED(stateResult)) *state = OPC_STATUS_RUNNING;
        return stateResult;
    }
    IItemEnumerator* EnumerateItems(const char* path) override {
        std::string p = path ? path : "";
        browsed.push_back(p);
        if (nullLevels.count(p) || browsed.size() > 5000) return nullptr;  // the cap ends a runaway walk
        if (!levels.count(p) && unknownListsRoot) return new ScriptEnumerator(levels[""]);
        if (!levels.count(p) && endless) return new ScriptEnumerator({{p + ".a", true}, {p + ".b", true}});
        return new ScriptEnumerator(levels[p]);
    }
    void ReleaseEnumerator(IItemEnumerator* e) override {
        if (!e) return;
#if defined(_MSC_VER)
        delete e;
#else
        e->VcDeletingDestructor(1);
#endif
    }
    HRESULT ReadValues(DWORD count, const char* const* ids, KetraItemValue* values) override {
        ++batches;
        for (DWORD i = 0; i < count; ++i) {
            FILETIME ts;
            if (failReadAt >= 0 && static_cast<int>(reads.size()) == failReadAt) return E_FAIL;  // the link broke
            values[i].error = ReadValue(ids[i], &ts, &values[i].value, &values[i].quality) ? S_OK : E_FAIL;
        }
        return S_OK;
    }
    bool ReadValue(const char* itemId, FILETIME*, VARIANT* value, DWORD* quality) override {
        reads.push_back(itemId);
        if (unreadable.count(itemId)) return false;
        // A value per item and pass; the last one given stays.
        std::vector<ScriptValue>& seq = values[itemId];
        size_t pass = passes[itemId]++;
        const ScriptValue& v = seq.empty() ? ScriptValue{VT_R4, 1.0, L"", 0xC0} : seq[std::min(pass, seq.size() - 1)];
        VariantClear(value);
        value->vt = v.vt;
        switch (v.vt) {
        case VT_R4: value->fltVal = static_cast<float>(v.number); break;
        case VT_I4: value->lVal = static_cast<LONG>(v.number); break;
        case VT_UI1: value->bVal = static_cast<BYTE>(v.number); break;
        case VT_BSTR: value->bstrVal = SysAllocString(v.text.c_str()); break;
        case VT_I8: value->llVal = static_cast<LONGLONG>(v.number); break;
        default: break;
        }
        *quality = v.quality;
        return true;
    }

    void Leaf(const std::string& parent, const std::string& id) { levels[parent].push_back({id, false}); }
    void Branch(const std::string& parent, const std::string& id) { levels[parent].push_back({id, true}); }

    std::map<std::string, std::vector<ScriptEnumerator::Entry>> levels;
    std::map<std::string, bool> nullLevels;
    std::map<std::string, std::vector<ScriptValue>> values;
    std::map<std::string, size_t> passes;
    HRESULT connectResult = S_OK;
    KetraOPCError error = {};  // what GetOPCClientLastError would tell
    HRESULT stateResult = RPC_E_DISCONNECTED;  // a server that no longer answers
    int failReadAt = -1;
    std::set<std::string> unreadable;
    bool unknownListsRoot = false;  // a failed move into a branch lists the root again
    bool endless = false;           // every unscripted branch holds two new ones
    int stateQueries = 0;
    int batches = 0;  // ReadValues calls
    std::vector<std::string> connects;
    std::vector<std::string> browsed;
    std::vector<std::string> reads;
    int disconnects = 0;
};

// The clients the factory hands out, in order; null entries fail the creation.
std::vector<ScriptClient*> g_clients;
size_t g_created = 0;
int g_destroyed = 0;
IOPCClient* __stdcall CreateScripted() {
    return g_created < g_clients.size() ? g_clients[g_created++] : nullptr;
}
BOOL __stdcall DestroyScripted(IOPCClient* c) {
    if (c) ++g_destroyed;
    return c != nullptr;
}
BOOL __stdcall LastErrorScripted(IOPCClient* c, KetraOPCError* e) {
    *e = static_cast<ScriptClient*>(c)->error;
    return TRUE;
}
const krelmon::ClientFactory kFactory = {&CreateScripted, &DestroyScripted, &LastErrorScripted};

KetraOPCError Failure(LONG step, HRESULT code, const char* name, const char* title, const char* fix) {
    KetraOPCError e = {};
    e.size = sizeof e;
    e.step = step;
    e.code = code;
    std::snprintf(e.call, sizeof e.call, "%s", "CoCreateInstanceEx(OPCEnum)");
    std::snprintf(e.name, sizeof e.name, "%s", name);
    std::snprintf(e.text, sizeof e.text, "%s", "Clase no registrada");
    std::snprintf(e.stepTitle, sizeof e.stepTitle, "%s", title);
    std::snprintf(e.fix, sizeof e.fix, "%s", fix);
    return e;
}

class ScreenConsole : public krelmon::IConsoleIO {
public:
    ScreenConsole() : rows(30, std::string(100, ' ')) {}
    void Clear() override {
        rows.assign(30, std::string(100, ' '));
        col = row = 0;
        ++clears;
    }
    void MoveTo(short c, short r) override { col = c; row = r; }
    void Print(const char* text) override {
        printed += text;
        for (const char* p = text; *p; ++p) {
            if (*p == '\n') { col = 0; ++row; }
            else if (*p == '\t') col = (col / 8 + 1) * 8;
            else rows.at(row).at(col++) = *p;
        }
    }
    bool KeyPressed() override {
        ++polls;
        return keyAtPoll > 0 && polls >= keyAtPoll;
    }
    void WaitForKey() override { ++waits; }
    void Sleep(DWORD ms) override { slept += ms; }
    short Columns() override { return 100; }

    std::string Row(int r) const {
        std::string s = rows.at(r);
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }
    std::string Cell(int r) const { return rows.at(r).substr(35, 16); }

    std::vector<std::string> rows;
    std::string printed;
    int col = 0, row = 0, clears = 0, polls = 0, waits = 0;
    int keyAtPoll = 0;
    DWORD slept = 0;
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_clients.clear();
        g_created = 0;
        g_destroyed = 0;
        g_liveEnumerators = 0;
        std::snprintf(settings.serverName, sizeof settings.serverName, "%s", "Krel.Test");
        std::snprintf(settings.hostName, sizeof settings.hostName, "%s", "LocalHost");
    }
    void TearDown() override { EXPECT_EQ(0, g_liveEnumerators) << "enumerators not handed back"; }
    std::vector<std::string> Walk(ScriptClient& c) {
        krelmon::TagTable t;
        t.count = 0;
        krelmon::WalkTags(&c, nullptr, t);
        return std::vector<std::string>(t.tags, t.tags + t.count);
    }
    // The polls of one outer pass before the connection: four.
    static const int kHeaderPolls = 4;
    krelmon::Settings settings;
    ScreenConsole screen;
};

std::string Num(const char* prefix, int i) {
    char b[32];
    std::snprintf(b, sizeof b, "%s%02d", prefix, i);
    return b;
}

TEST_F(MonitorTest, WalkTakesTheFirstTwentyLeavesDepthFirst) {
    ScriptClient c;
    c.Branch("", "A");
    c.Branch("", "B");
    c.Leaf("", "Root");
    c.Branch("A", "A.Sub");
    for (int i = 0; i < 15; ++i) c.Leaf("A", Num("A.", i));
    for (const char* x : {"A.Sub.x", "A.Sub.y", "A.Sub.z"}) c.Leaf("A.Sub", x);
    for (int i = 0; i < 10; ++i) c.Leaf("B", Num("B.", i));
    c.Branch("", "C");  // after the table is full: never browsed

    std::vector<std::string> expected = {"A.Sub.x", "A.Sub.y", "A.Sub.z"};
    for (int i = 0; i < 15; ++i) expected.push_back(Num("A.", i));
    expected.push_back("B.00");
    expected.push_back("B.01");
    EXPECT_EQ(expected, Walk(c));
    EXPECT_EQ((std::vector<std::string>{"", "A", "A.Sub", "B"}), c.browsed);
}

TEST_F(MonitorTest, WalkEntersNoLevelOnceTheTableIsFull) {
    ScriptClient c;
    c.Branch("", "Full");
    c.Branch("", "Later");
    for (int i = 0; i < 20; ++i) c.Leaf("Full", Num("F", i));
    c.Leaf("Later", "L");
    EXPECT_EQ(20u, Walk(c).size());
    EXPECT_EQ((std::vector<std::string>{"", "Full"}), c.browsed);
}

TEST_F(MonitorTest, RootOfBranchesOnlyGivesTheLeavesInside) {
    ScriptClient c;
    c.Branch("", "X");
    c.Branch("", "Y");
    c.Leaf("X", "X.1");
    c.Leaf("X", "X.2");
    c.Branch("Y", "Y.Empty");
    c.Leaf("Y", "Y.1");
    EXPECT_EQ((std::vector<std::string>{"X.1", "X.2", "Y.1"}), Walk(c));
}

TEST_F(MonitorTest, IdsThatCannotBeReadBackAreLeftOut) {
    ScriptClient c;
    const std::string id31(31, 'a'), id32(32, 'b'), id40(40, 'c');
    c.Leaf("", id32);
    c.Leaf("", id31);
    c.Leaf("", id40);
    c.Leaf("", "");           // names nothing
    c.Branch("", "");         // would be the root again
    c.Branch("", "Null");     // the library could not make an enumerator
    c.nullLevels["Null"] = true;
    c.Branch("", "Blank");    // a level whose first ID is "" counts as empty
    c.Leaf("Blank", "");
    c.Leaf("Blank", "Blank.hidden");
    c.Leaf("", "Last");
    EXPECT_EQ((std::vector<std::string>{id31, "Last"}), Walk(c));
    EXPECT_EQ((std::vector<std::string>{"", "Null", "Blank"}), c.browsed);
}

TEST_F(MonitorTest, BranchesThatLeadBackToThemselvesEndTheWalk) {
    ScriptClient c;
    c.Branch("", "Loop");
    c.Branch("Loop", "Loop");
    c.Leaf("", "After");
    EXPECT_EQ(std::vector<std::string>{"After"}, Walk(c));

    // Branches whose level is the root again: each path is listed once.
    ScriptClient again;
    for (const char* b : {"A", "B", "C", "D"}) again.Branch("", b);
    again.levels["D"] = {{"D.1", false}, {"D.2", false}};
    again.unknownListsRoot = true;
    EXPECT_EQ((std::vector<std::string>{"D.1", "D.2"}), Walk(again));
    EXPECT_EQ((std::vector<std::string>{"", "A", "B", "C", "D"}), again.browsed);

    // New branches without end: the whole walk is bounded, not just its depth.
    ScriptClient endless;
    endless.endless = true;
    EXPECT_TRUE(Walk(endless).empty());
    EXPECT_EQ(static_cast<size_t>(krelmon::kMaxWalkLevels), endless.browsed.size());
}

std::string Padded(const std::string& text, size_t width = 16) { return text + std::string(width - text.size(), ' '); }

TEST_F(MonitorTest, ValueTextsByType) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(Padded(""), krelmon::ValueCell(v, 0xC0, 16)) << "VT_EMPTY of good quality blanks";
    EXPECT_EQ(Padded(" ----"), krelmon::ValueCell(v, 0x1C, 16)) << "a server waiting for its first value";
    v.vt = VT_UI1;
    v.bVal = 65;
    EXPECT_EQ(Padded("A"), krelmon::ValueCell(v, 0xC0, 16));
    EXPECT_EQ(Padded(" ----"), krelmon::ValueCell(v, 0, 16));
    for (DWORD bad : {0x04, 0x18, 0x1C, 0x3F}) EXPECT_EQ(Padded(" ----"), krelmon::ValueCell(v, bad, 16)) << bad;
    EXPECT_EQ(Padded("A"), krelmon::ValueCell(v, 0x40, 16)) << "uncertain shows its value";
    v.bVal = 10;
    EXPECT_EQ(Padded(" "), krelmon::ValueCell(v, 0xC0, 16)) << "a line feed would leave the row";

    struct Case {
        VARTYPE vt;
        LONGLONG bits;  // the value's first eight bytes
        double real;    // for VT_R4, VT_R8 and VT_DATE
        const char* text;
    };
    const Case cases[] = {
        {VT_I2, -12, 0, "-12"},
        {VT_I4, 123456, 0, "123456"},
        {VT_R4, 0, 3.14159, " 3.14"},
        {VT_R8, 0, 2.5, "2.500000"},
        {VT_BOOL, VARIANT_TRUE, 0, "TRUE"},
        {VT_BOOL, VARIANT_FALSE, 0, "FALSE"},
        {VT_I1, -5, 0, "-5"},
        {VT_UI2, 54321, 0, "54321"},
        {VT_UI4, 3000000000LL, 0, "3000000000"},
        {VT_INT, -77, 0, "-77"},
        {VT_UINT, 77, 0, "77"},
        {VT_I8, -1234567890123456789LL, 0, "-1234567890123456789"},
        {VT_UI8, -1, 0, "18446744073709551615"},
        {VT_CY, 123456789012345LL, 0, "12345678901.2345"},
        {VT_CY, -25000, 0, "-2.5"},
        {VT_CY, 0, 0, "0"},
        {VT_ERROR, static_cast<LONG>(0x80040154), 0, "0x80040154"},
        {VT_NULL, 0, 0, ""},
    };
    for (const Case& c : cases) {
        VariantInit(&v);
        v.vt = c.vt;
        v.llVal = c.bits;
        if (c.vt == VT_R4) v.fltVal = static_cast<float>(c.real);
        if (c.vt == VT_R8) v.dblVal = c.real;
        EXPECT_EQ(c.text, krelmon::ValueText(v)) << c.vt;
    }
    VariantInit(&v);
    v.vt = VT_DECIMAL;
    v.decVal.scale = 3;
    v.decVal.sign = DECIMAL_NEG;
    v.decVal.Hi32 = 1;  // 2^64 + 5
    v.decVal.Lo64 = 5;
    EXPECT_EQ("-18446744073709551.621", krelmon::ValueText(v));
    v.decVal.sign = 0;
    v.decVal.Hi32 = 0;
    v.decVal.Lo64 = 12;
    EXPECT_EQ("0.012", krelmon::ValueText(v));
    // The user's own format: the thread's locale, here Spain's.
    const LCID before = GetThreadLocale();
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN), SORT_DEFAULT));
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = 45215.25;  // two-digit day and month: "d/M" and "dd/MM" alike
    EXPECT_EQ("16/10/2023 6:00:00", krelmon::ValueText(v));
    SetThreadLocale(before);

    // Arrays: the count and the first elements that fit, whatever their type;
    // VT_ARRAY | VT_R4 among them.
    v.vt = VT_ARRAY | VT_R4;
    v.parray = SafeArrayCreateVector(VT_R4, 0, 4);
    for (LONG i = 0; i < 4; ++i) {
        float f = 1.5f * static_cast<float>(i);
        SafeArrayPutElement(v.parray, &i, &f);
    }
    EXPECT_EQ("[4] 0.00 1.50 3.00 4.50", krelmon::ValueText(v));
    EXPECT_EQ(Padded("[4] 0.00 1.50", 14), krelmon::ValueCell(v, 0xC0, 14)) << "whole elements only";
    VariantClear(&v);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT e;
    VariantInit(&e);
    e.vt = VT_BSTR;
    e.bstrVal = SysAllocString(L"uno");
    LONG at = 1;
    SafeArrayPutElement(v.parray, &at, &e);
    VariantClear(&e);
    EXPECT_EQ("[2]  uno", krelmon::ValueText(v)) << "an empty element, then a string";
    VariantClear(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 0);
    EXPECT_EQ("[0]", krelmon::ValueText(v));
    VariantClear(&v);

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"Bomba \u00f1\r\nfin");
    EXPECT_EQ("Bomba \xf1\r\nfin", krelmon::ValueText(v)) << "the ANSI code page's text";
    EXPECT_EQ("Bomba \xf1  fin", krelmon::ValueCell(v, 0xC0, 12)) << "control characters as blanks";
    EXPECT_EQ("Bom", krelmon::ValueCell(v, 0xC0, 3)) << "clipped to the row";
    VariantClear(&v);
}

TEST_F(MonitorTest, ScreenShowsHeaderTagsAndValuesAtColumn35UntilAKey) {
    ScriptClient c;
    c.Leaf("", "Bomba.Presion");
    c.Leaf("", "Bomba.Letra");
    c.Leaf("", "Bomba.Estado");
    c.values["Bomba.Presion"] = {{VT_R4, 2.5, L"", 0xC0}, {VT_R4, 12.75, L"", 0xC0}};
    c.values["Bomba.Letra"] = {{VT_UI1, 65, L"", 0xC0}};
    c.values["Bomba.Estado"] = {{VT_I4, 7, L"", 0}, {VT_I4, 8, L"", 0xC0}};
    c.Leaf("", "Bomba.Nota");  // a hint entry that cannot be read
    c.unreadable = {"Bomba.Nota"};
    c.Leaf("", "Bomba.Presion.Descarga.Sensor1");  // longer than the room before column 35
    c.values["Bomba.Presion.Descarga.Sensor1"] = {
        {VT_BSTR, 0, L"Linea 1\r\nLinea 2, con mas texto del que cabe en lo que queda de la fila", 0xC0},
        {VT_BSTR, 0, L"ok", 0xC0}};
    c.stateResult = S_OK;  // while the server answers
    g_clients = {&c};
    screen.keyAtPoll = kHeaderPolls + 20 + 1;  // during the second pass's wait

    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_EQ("OPC Server Name: Krel.Test", screen.Row(0));
    EXPECT_EQ("Host Name      : LocalHost", screen.Row(1));
    EXPECT_EQ("", screen.Row(2));
    EXPECT_EQ("        Bomba.Presion", screen.rows[3].substr(0, 35).substr(0, 21));
    EXPECT_EQ(std::string(14, ' '), screen.rows[3].substr(21, 14));
    EXPECT_EQ("12.75           ", screen.Cell(3));
    EXPECT_EQ("A               ", screen.Cell(4));
    EXPECT_EQ("8               ", screen.Cell(5)) << "good again after quality 0";
    EXPECT_EQ(" ----           ", screen.Cell(6)) << "the others kept updating";
    EXPECT_EQ(0, c.stateQueries) << "a row that cannot be read is an answer of the server";
    EXPECT_EQ("        Bomba.Presion.Descarga.Sen ok", screen.Row(7)) << "the shorter text erased the whole longer one";
    EXPECT_EQ("", screen.Row(8)) << "nothing wrapped into the next row";
    EXPECT_EQ((std::vector<std::string>{"Krel.Test@LocalHost"}), c.connects);
    EXPECT_EQ(2, c.batches) << "one call a pass";
    EXPECT_EQ(10u, c.reads.size());
    EXPECT_EQ(1, c.disconnects);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(1, screen.clears);
    EXPECT_EQ(static_cast<DWORD>(4 * 50 + 200 + 20 * 50), screen.slept) << "header polls, pause, one wait";
}

TEST_F(MonitorTest, BadQualityShowsDashes) {
    ScriptClient c;
    c.Leaf("", "T");
    c.values["T"] = {{VT_R4, 1.5, L"", 0x18}};  // bad (comm failure), yet not 0
    krelmon::TagTable table;
    g_clients = {&c};
    screen.keyAtPoll = 1;  // ends the refresh loop after its first pass
    screen.MoveTo(0, 3);   // under the header
    EXPECT_EQ(0, krelmon::ConnectionCycle(screen, kFactory, settings, table));
    EXPECT_EQ(" ----           ", screen.Cell(3));
    EXPECT_EQ("        T", screen.Row(3).substr(0, 9));
}

// The console, the library and a server: the first pass adds the 20 tags in one
// call, and every pass is one read of all of them.
TEST_F(MonitorTest, EveryPassIsOneReadOfAllTags) {
    kit::ComInit com(COINIT_MULTITHREADED);
    fakeopc::FakeOpc fake;
    const CLSID clsid = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x80}};
    ASSERT_EQ(S_OK, fake.Register(clsid, L"Kit.FakeOpc.Monitor.1"));
    fake.hasBrowse20 = true;
    for (int i = 0; i < 21; ++i) {  // one more than the console takes
        const std::wstring id = L"T" + std::to_wstring(100 + i);
        fake.AddBrowseNode(L"", id, false);
        fakeopc::FakeItem item;
        if (i == 4) item.readError = OPC_E_BADRIGHTS;
        fake.DefineItem(id, item);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = i;
        fake.SetValue(id, v);
    }
    std::snprintf(settings.serverName, sizeof settings.serverName, "%s", "Kit.FakeOpc.Monitor.1");
    settings.hostName[0] = '\0';
    krelmon::TagTable table;
    screen.MoveTo(0, 3);
    screen.keyAtPoll = 20 + 20 + 1;  // after the third pass
    EXPECT_EQ(0, krelmon::ConnectionCycle(screen, krelmon::LibraryFactory(), settings, table));
    const auto adds = fake.AddItemsCalls();
    ASSERT_EQ(1u, adds.size());
    EXPECT_EQ(20u, adds[0].size());
    const auto reads = fake.Reads();
    ASSERT_EQ(3u, reads.size());
    for (const auto& r : reads) EXPECT_EQ(20u, r.serverHandles.size());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Padded(i == 4 ? " ----" : std::to_string(i)), screen.Cell(3 + i)) << "row of T" << 100 + i;
    EXPECT_EQ(0, fake.OutstandingRefs());
    EXPECT_EQ(0, fake.LiveObjects());
}

TEST_F(MonitorTest, NoTagsSaysSoAndRetriesWithANewClient) {
    ScriptClient empty, again;
    g_clients = {&empty, &again};
    // Keys: none through the first cycle and its wait, one during the second header.
    screen.keyAtPoll = kHeaderPolls + 20 + kHeaderPolls;
    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_EQ(1u, g_created) << "the key came before the second connection";
    EXPECT_EQ(1, empty.disconnects);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(2, screen.clears);
    EXPECT_EQ("", screen.Row(3)) << "the screen was cleared for the retry";

    ScreenConsole first;
    ScriptClient none;
    g_clients = {&none};
    g_created = 0;
    krelmon::TagTable table;
    EXPECT_EQ(-1, krelmon::ConnectionCycle(first, kFactory, settings, table));
    EXPECT_EQ("No hay Tags disponibles", first.Row(0));
}

TEST_F(MonitorTest, FailedConnectDestroysWithoutDisconnecting) {
    ScriptClient c;
    c.connectResult = E_FAIL;
    c.Leaf("", "T");
    g_clients = {&c};
    krelmon::TagTable table;
    screen.MoveTo(0, 3);
    EXPECT_EQ(-1, krelmon::ConnectionCycle(screen, kFactory, settings, table));
    EXPECT_EQ("Error de conexion", screen.Row(3));
    EXPECT_EQ("Diagnóstico completo: OPC.Krel.Client.exe /Diag", screen.Row(4)) << "no code to tell";
    EXPECT_EQ(0, c.disconnects);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_TRUE(c.browsed.empty());
}

TEST_F(MonitorTest, FailedConnectSaysWhyOnEveryRetry) {
    ScriptClient first, second;
    first.connectResult = second.connectResult = E_FAIL;
    first.error = Failure(5, E_ACCESSDENIED, "E_ACCESSDENIED", "Servidor OPC", "En PLANTA-7: dcomcnfg.");
    second.error = Failure(4, REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "OPCEnum", "En PLANTA-7: instale OPCEnum.");
    g_clients = {&first, &second};
    screen.keyAtPoll = kHeaderPolls + 20 + kHeaderPolls + 1;  // in the second failure's wait
    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_NE(std::string::npos, screen.printed.find("Paso 5 (Servidor OPC): 0x80070005 E_ACCESSDENIED"));
    EXPECT_EQ("Host Name      : LocalHost", screen.Row(1)) << "the rest of the screen as before";
    EXPECT_EQ("Error de conexion", screen.Row(3));
    EXPECT_EQ("Paso 4 (OPCEnum): 0x80040154 REGDB_E_CLASSNOTREG - Clase no registrada "
              "(CoCreateInstanceEx(OPCEnum))",
              screen.Row(4));
    EXPECT_EQ("Solución: En PLANTA-7: instale OPCEnum.", screen.Row(5));
    EXPECT_EQ("Diagnóstico completo: OPC.Krel.Client.exe /Diag", screen.Row(6));
    EXPECT_EQ("", screen.Row(7));
}

LONG __stdcall ScriptedDiagnosis(const char* progId, const char* host, KetraDiagCallback callback, void* context) {
    EXPECT_STREQ("Krel.Test", progId);
    EXPECT_STREQ("", host);
    KetraDiagStep s = {};
    s.size = sizeof s;
    s.step = 1;
    s.elapsedMs = 3;
    std::snprintf(s.title, sizeof s.title, "Este equipo");
    std::snprintf(s.detail, sizeof s.detail, "COM distribuido: habilitado\nautenticación: Conectar (2)\n");
    callback(&s, context);
    s.step = 4;
    s.verdict = KETRA_DIAG_FAILED;
    s.elapsedMs = 12;
    std::snprintf(s.title, sizeof s.title, "OPCEnum");
    std::snprintf(s.detail, sizeof s.detail, "servidores OPC DA 2.0 en X: 0\n");
    s.error = Failure(4, REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "OPCEnum", "En X: instale OPCEnum.");
    callback(&s, context);
    s.step = 5;
    s.verdict = KETRA_DIAG_SKIPPED;
    std::snprintf(s.title, sizeof s.title, "Servidor OPC");
    std::snprintf(s.detail, sizeof s.detail, "sin OPCEnum no hay CLSID del servidor (paso 4)\n");
    callback(&s, context);
    return 4;
}

TEST_F(MonitorTest, DiagShowsEachStepWritesTheSameReportAndExitsWithTheFailedStep) {
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    const std::string dir = std::string(temp) + "krelmon_diag";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string report = dir + "\\OPC.Krel.Diag.txt";
    DeleteFileA(report.c_str());
    EXPECT_EQ(4, krelmon::RunDiagnosis(screen, &ScriptedDiagnosis, "Krel.Test", "", dir.c_str()));
    const std::vector<std::string> expected = {
        "OPC Krel Client 3.0 - diagnóstico de la conexión",
        "Servidor OPC: Krel.Test",
        "Equipo      : (vacío: este equipo, ruta local)",
        "",
        "1. Este equipo ................... correcto (3 ms)",
        "     COM distribuido: habilitado",
        "     autenticación: Conectar (2)",
        "4. OPCEnum ....................... FALLA (12 ms)",
        "     servidores OPC DA 2.0 en X: 0",
        "     Código: 0x80040154 REGDB_E_CLASSNOTREG - Clase no registrada (CoCreateInstanceEx(OPCEnum))",
        "     Solución: En X: instale OPCEnum.",
        "5. Servidor OPC .................. omitido: sin OPCEnum no hay CLSID del servidor (paso 4)",
        "",
        "Resultado: falla el paso 4 (OPCEnum)",
        "Informe: " + report,
    };
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], screen.Row(static_cast<int>(i))) << i;
    // The file holds what the screen showed, as Windows text (CR LF).
    std::string shown = screen.printed.substr(0, screen.printed.rfind("Informe: "));
    std::string file;
    FILE* f = std::fopen(report.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    for (int ch; (ch = std::fgetc(f)) != EOF;) file += static_cast<char>(ch);
    std::fclose(f);
    std::string crlf;
    for (char ch : shown) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(crlf, file);

    // A folder that cannot take the report: the temporary folder does.
    EXPECT_EQ(std::string(temp) + "OPC.Krel.Diag.txt",
              krelmon::WriteReport("x\n", (dir + "\\no\\such").c_str(), krelmon::kReportFileName));
    DeleteFileA((std::string(temp) + "OPC.Krel.Diag.txt").c_str());
    DeleteFileA(report.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST_F(MonitorTest, FailedReadEndsTheCycleAndTheNextWalksAfresh) {
    ScriptClient first, second;
    for (ScriptClient* c : {&first, &second}) {
        c->Leaf("", "T1");
        c->Leaf("", "T2");
    }
    first.failReadAt = 3;  // the second pass's second tag; the server no longer answers
    g_clients = {&first, &second};
    screen.keyAtPoll = kHeaderPolls + 20 + 20 + kHeaderPolls + 1;
    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_EQ(1, first.stateQueries);
    EXPECT_EQ(1, first.disconnects);
    EXPECT_EQ(2u, g_created);
    EXPECT_EQ((std::vector<std::string>{""}), second.browsed);
    EXPECT_EQ(1, second.disconnects);
    EXPECT_EQ(2, g_destroyed);
}

TEST_F(MonitorTest, FailedCreationWaitsForAKeyAndEnds) {
    g_clients.clear();
    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_EQ("Error al crear el OPC Cliente (NULL)", screen.Row(3));
    EXPECT_EQ("", screen.Row(4));
    EXPECT_EQ("Presine una tecla para terminar", screen.Row(7));
    EXPECT_EQ(1, screen.waits);
    EXPECT_EQ(1, screen.clears);
}

TEST_F(MonitorTest, KeyRightAfterTheHeaderEndsWithoutConnecting) {
    ScriptClient c;
    g_clients = {&c};
    screen.keyAtPoll = 2;
    EXPECT_EQ(0, krelmon::RunMonitor(screen, kFactory, settings));
    EXPECT_EQ(0u, g_created);
    EXPECT_EQ(50u, screen.slept);
}

TEST(MonitorSettings, IniPathFitsItsBufferOrIsRefused) {
    char path[krelmon::kIniPathBuffer];
    std::string dir(243, 'd');
    ASSERT_TRUE(krelmon::MakeIniPath(dir.c_str(), path, sizeof path));
    EXPECT_EQ(dir + "\\OPC.Krel.Client.ini", path);
    dir += 'd';
    EXPECT_FALSE(krelmon::MakeIniPath(dir.c_str(), path, sizeof path));
    EXPECT_STREQ("", path);
}

TEST(MonitorSettings, DefaultsIniValuesAndDirectoriesTooLong) {
    krelmon::Settings s;
    krelmon::LoadSettings(nullptr, s);
    EXPECT_STREQ("OPC Krel Server", s.serverName);
    EXPECT_STREQ("LocalHost", s.hostName);

    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    std::string dir = std::string(temp) + "krelmon_settings";
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string ini = dir + "\\OPC.Krel.Client.ini";
    DeleteFileA(ini.c_str());
    krelmon::LoadSettings(dir.c_str(), s);
    EXPECT_STREQ("OPC Krel Server", s.serverName) << "no INI file";
    EXPECT_STREQ("LocalHost", s.hostName);

    std::string longName(300, 'n');
    ASSERT_TRUE(WritePrivateProfileStringA("OPC.KREL", "OpcServerName", longName.c_str(), ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("OPC.KREL", "HostName", "", ini.c_str()));
    krelmon::LoadSettings(dir.c_str(), s);
    EXPECT_EQ(std::string(254, 'n'), s.serverName) << "read with size 255";
    EXPECT_STREQ("", s.hostName) << "an empty host is this machine";

    // A directory that does not leave room for the file name keeps the defaults.
    std::string deep = dir + "\\" + std::string(250, 'x');
    krelmon::LoadSettings(deep.c_str(), s);
    EXPECT_STREQ("OPC Krel Server", s.serverName);
    EXPECT_STREQ("LocalHost", s.hostName);

    DeleteFileA(ini.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

namespace {

// The real console. It needs one of its own: monitor_screen_tests runs this in
// a tmux pane, and the ctest entry of monitor_tests leaves it out.
TEST(MonitorConsole, AnsiTextShowsRightOnAnOemCodePageConsole) {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) GTEST_SKIP() << "no console";
    const UINT before = GetConsoleOutputCP();
    ASSERT_TRUE(SetConsoleOutputCP(850)) << "the console of a Spanish Windows, ANSI code page 1252";
    // Wine's msvcrt re-encodes ANSI text for a console itself; Windows' msvcrt.dll
    // hands the bytes on unchanged, as binary mode does here.
    std::fflush(stdout);
    const int textMode = _setmode(_fileno(stdout), _O_BINARY);
    krelmon::ConsoleIO io;
    io.Clear();
    io.MoveTo(krelmon::kValueColumn, krelmon::kFirstTagRow);
    io.Print("Texto \xf1" "and\xfa 25 \xb0" "C");
    wchar_t cells[17] = {};
    DWORD read = 0;
    const COORD at = {krelmon::kValueColumn, krelmon::kFirstTagRow};
    ReadConsoleOutputCharacterW(GetStdHandle(STD_OUTPUT_HANDLE), cells, 17, at, &read);
    _setmode(_fileno(stdout), textMode);
    SetConsoleOutputCP(before);
    EXPECT_EQ(L"Texto \u00f1and\u00fa 25 \u00b0C", std::wstring(cells, read));
}

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// The program as shipped: one icon group, and the icons it names.
TEST(MonitorProgram, CarriesOneIconGroup) {
    HMODULE exe = LoadLibraryExA("OPC.Krel.Client.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, exe);
    int groups = 0, icons = 0;
    EnumResourceNamesA(exe, MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, &CountName, reinterpret_cast<LONG_PTR>(&groups));
    EnumResourceNamesA(exe, MAKEINTRESOURCEA(3) /* RT_ICON */, &CountName, reinterpret_cast<LONG_PTR>(&icons));
    EXPECT_EQ(1, groups);
    EXPECT_GE(icons, 1);
    FreeLibrary(exe);
}

}  // namespace
