#include "client_fixture.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const CLSID CLSID_FakeOpcTest = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x78}};
const char kFakeProgId[] = "Kit.FakeOpc.Test.1";
const wchar_t kFakeProgIdW[] = L"Kit.FakeOpc.Test.1";
std::vector<DWORD> g_sleeps;

// Freed objects are overwritten: a call into a destroyed client object (or
// anything it embeds) then faults at once instead of finding its old contents.
void operator delete(void* p) noexcept {
    if (!p) return;
    std::memset(p, 0xDD, _msize(p));
    std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {
void WINAPI CountSleep(DWORD ms) {
    g_sleeps.push_back(ms);
}
kit::CritSec g_linesLock;
std::vector<std::string> g_lines;
}  // namespace

void CaptureLine(const char* line) {
    kit::CritSecLock lock(g_linesLock);
    g_lines.push_back(line ? line : "<null>");
}

std::vector<std::string> Lines() {
    kit::CritSecLock lock(g_linesLock);
    return g_lines;
}

void ClearLines() {
    kit::CritSecLock lock(g_linesLock);
    g_lines.clear();
}

size_t CountLine(const std::string& line) {
    auto lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

bool HasLine(const std::string& line) { return CountLine(line) > 0; }

void ClientTest::SetUp() {
    com.reset(new kit::ComInit(COINIT_MULTITHREADED));
    ASSERT_TRUE(SUCCEEDED(com->result()));
    saved = ketra::opc::Activation();
    // The half-second polls are real time otherwise; tests count them instead.
    ketra::opc::Activation().sleep = &CountSleep;
    g_sleeps.clear();
    fake.reset(new fakeopc::FakeOpc());
    ASSERT_EQ(S_OK, fake->Register(CLSID_FakeOpcTest, kFakeProgIdW));
    ClearLines();
    ASSERT_TRUE(fakeopc::TaskMemorySpy::Instance().Registered());
    memoryMark = fakeopc::TaskMemorySpy::Instance().Mark();
    client = NewClient();
}

ketra::opc::COPCClient* ClientTest::NewClient() {
    return static_cast<ketra::opc::COPCClient*>(CreateNewOPCClientObject());
}

void ClientTest::DestroyClient() {
    if (client) {
        EXPECT_EQ(TRUE, DestroyOPCClientObject(client));
    }
    client = nullptr;
}

void ClientTest::TearDown() {
    if (HasFailure())
        for (const auto& line : Lines()) std::printf("  log: %s\n", line.c_str());
    DestroyClient();
    ketra::opc::Activation() = saved;
    if (fake) {
        EXPECT_EQ(0, fake->OutstandingRefs()) << "references to the fake still held";
        EXPECT_EQ(0, fake->LiveObjects()) << "fake objects still alive";
        EXPECT_EQ(0, fake->HeldClientRefs()) << "the fake still holds a client sink";
    }
    EXPECT_EQ(0u, fakeopc::TaskMemorySpy::Instance().OutstandingSince(memoryMark)) << "task-memory blocks left";
    fake.reset();
    com.reset();
}
