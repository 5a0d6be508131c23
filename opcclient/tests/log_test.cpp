// Log lines: prefixes, the line limit, the base receiver's lastLine, the
// serialised callback, and the texts of HRESULTs.
#include <atomic>
#include <thread>

#include "client_fixture.h"
#include "ComErrorText.h"

using ketra::opc::ComError;

namespace {

class LogTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        // A failed connect is the only way a caller sets the callback.
        client->Connect("No.Such.Server.1", nullptr, &CaptureLine);
        ClearLines();
    }
};

TEST_F(LogTest, EachLevelHasItsPrefixAndOthersNone) {
    client->Log(-1, "d %d", 1);
    client->Log(0, "l %s", "x");
    client->Log(1, "w");
    client->Log(2, "e %.2f", 1.5);
    client->Log(7, "plain");
    EXPECT_EQ((std::vector<std::string>{"DBG: d 1", "LOG: l x", "WAR: w", "ERR: e 1.50", "plain"}), Lines());
}

TEST_F(LogTest, LongTextsAreCutInsideTheLineBuffer) {
    const size_t limit = COPCReceiveData::kTextLimit - 1;  // characters of text kept
    for (size_t n : {limit, limit + 1, size_t(4000), size_t(4091), size_t(20000)}) {
        ClearLines();
        std::string text(n, 'x');
        text[0] = 'A';
        client->Log(2, "%s", text.c_str());
        auto lines = Lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("ERR: " + text.substr(0, std::min(n, limit)), lines[0]) << n;
    }
    ClearLines();
    client->Log(7, "%s", std::string(5000, 'y').c_str());
    EXPECT_EQ(limit, Lines().at(0).size());
}

class KeepingReceiver : public COPCReceiveData {
public:
    void ReceiveData(DWORD, DWORD, DWORD, DWORD, DWORD) override {}
    void StateChanged(int, const char*) override {}
};

TEST_F(LogTest, BaseReceiverKeepsTheLastLine) {
    KeepingReceiver r;
    EXPECT_EQ("", r.LastLine());
    r.Log(1, "uno %d", 1);
    EXPECT_EQ("WAR: uno 1", r.LastLine());
    r.Log(9, "+dos");
    EXPECT_EQ("WAR: uno 1+dos", r.LastLine()) << "a level without prefix appends";
    r.Log(2, "%s", std::string(6000, 'z').c_str());
    EXPECT_EQ("ERR: " + std::string(COPCReceiveData::kTextLimit, 'z'), r.LastLine());
}

std::atomic<int> g_inside(0);
std::atomic<int> g_overlaps(0);
void SlowCallback(const char*) {
    if (g_inside.fetch_add(1) != 0) g_overlaps.fetch_add(1);
    Sleep(1);
    g_inside.fetch_sub(1);
}

TEST_F(LogTest, TwoThreadsNeverRunTheCallbackAtOnce) {
    client->Connect("No.Such.Server.1", nullptr, &SlowCallback);
    g_overlaps = 0;
    auto logMany = [this] {
        for (int i = 0; i < 100; ++i) client->Log(1, "line %d", i);
    };
    std::thread a(logMany), b(logMany);
    a.join();
    b.join();
    EXPECT_EQ(0, g_overlaps.load());
}

TEST(ComErrorText, SystemTextsLoseTheirLineEnd) {
    std::string text = ComError(E_OUTOFMEMORY).ErrorMessage();
    ASSERT_FALSE(text.empty());
    EXPECT_NE('\n', text.back());
    EXPECT_NE('\r', text.back());
    char* raw = nullptr;
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, static_cast<DWORD>(E_OUTOFMEMORY), 0x0400, reinterpret_cast<char*>(&raw), 0,
                             nullptr),
              0u);
    std::string expected = raw;
    LocalFree(raw);
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
    EXPECT_EQ(expected, text);
}

TEST(ComErrorText, CodesWithoutSystemTextGetTheFallbacks) {
    // Only codes the system has no text for reach the fallbacks; check that first.
    auto systemHas = [](HRESULT hr) {
        char* raw = nullptr;
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                     FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                 nullptr, static_cast<DWORD>(hr), 0x0400, reinterpret_cast<char*>(&raw), 0, nullptr);
        if (raw) LocalFree(raw);
        return n > 0;
    };
    ASSERT_FALSE(systemHas(static_cast<HRESULT>(0x80040201)));
    EXPECT_STREQ("IDispatch error #1", ComError(static_cast<HRESULT>(0x80040201)).ErrorMessage());
    EXPECT_STREQ("IDispatch error #65023", ComError(static_cast<HRESULT>(0x8004FFFF)).ErrorMessage());
    ASSERT_FALSE(systemHas(static_cast<HRESULT>(0x80040200)));
    EXPECT_STREQ("Unknown error 0x80040200", ComError(static_cast<HRESULT>(0x80040200)).ErrorMessage());
    ASSERT_FALSE(systemHas(static_cast<HRESULT>(0xC0040009)));
    EXPECT_STREQ("Unknown error 0xC0040009", ComError(static_cast<HRESULT>(0xC0040009)).ErrorMessage());
    ComError e(static_cast<HRESULT>(0xC0040009));
    EXPECT_EQ(e.ErrorMessage(), e.ErrorMessage()) << "made once, kept by the object";
}

}  // namespace
