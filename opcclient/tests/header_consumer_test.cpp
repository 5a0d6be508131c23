// A user's program: it includes IOPCClient.h alone and links the DLL's import
// library, exactly as the header's documentation says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IOPCClient.h"

bool StartHeaderFake();
bool StopHeaderFakeClean();
std::vector<unsigned long> HeaderFakeClientHandles();

namespace {

std::vector<std::string> g_lines;
void Collect(const char* line) { g_lines.push_back(line); }
void __stdcall CountStep(const KetraDiagStep*, void* count) { ++*static_cast<int*>(count); }

TEST(HeaderConsumer, CreateConnectReadDisconnectDestroy) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_TRUE(StartHeaderFake());

    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    ASSERT_NE(nullptr, client);
    ASSERT_EQ(S_OK, client->Connect("Kit.FakeOpc.Header.1", "", &Collect));
    OPCSERVERSTATE state = OPC_STATUS_FAILED;
    EXPECT_EQ(S_OK, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_RUNNING, state);

    ketra::opc::IItemEnumerator* level = client->EnumerateItems(nullptr);
    ASSERT_NE(nullptr, level);
    EXPECT_STREQ("", level->CurrentItemID());
    client->ReleaseEnumerator(level);

    FILETIME ts = {};
    VARIANT value;
    VariantInit(&value);
    DWORD quality = 0;
    ASSERT_TRUE(client->ReadValue("Sim.Temperatura", &ts, &value, &quality));
    EXPECT_EQ(VT_R4, value.vt);
    EXPECT_FLOAT_EQ(21.5f, value.fltVal);
    EXPECT_EQ(0xC0u, quality);
    VariantClear(&value);
    // The first item this process ever registers gets the first client handle.
    EXPECT_EQ(std::vector<unsigned long>{200000ul}, HeaderFakeClientHandles());

    EXPECT_EQ(0, client->Disconnect());
    EXPECT_EQ(TRUE, DestroyOPCClientObject(client));

    // The appended exports, through the same import library.
    ketra::opc::IOPCClient* failing = CreateNewOPCClientObject();
    EXPECT_EQ(E_FAIL, failing->Connect("No.Such.Server.1", "", &Collect));
    KetraOPCError error = {};
    error.size = sizeof error;
    ASSERT_TRUE(GetOPCClientLastError(failing, &error));
    EXPECT_EQ(KETRA_STEP_SERVER, error.step);
    EXPECT_TRUE(FAILED(error.code));
    EXPECT_EQ(TRUE, DestroyOPCClientObject(failing));
    int steps = 0;
    RunOPCDiagnosis("Kit.FakeOpc.Header.1", "", &CountStep, &steps);
    EXPECT_EQ(8, steps);
    EXPECT_TRUE(StopHeaderFakeClean());
    CoUninitialize();
}

}  // namespace
