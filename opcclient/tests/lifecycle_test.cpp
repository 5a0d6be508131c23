// How a connection ends: the server's shutdown request from another thread,
// Disconnect, and destruction in each state, with nothing left behind.
#include "client_fixture.h"

#include <thread>

namespace {

class LifecycleTest : public ClientTest {};

TEST_F(LifecycleTest, ShutdownRequestFromAnotherThreadOnlyClearsTheConnectedFlag) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    fake->SendShutdownFromThread(L"Mantenimiento programado");
    EXPECT_FALSE(client->IsConnectedFlag());
    EXPECT_TRUE(Lines().empty()) << "a shutdown with a receiver does not log";
    EXPECT_EQ(1, fake->LiveGroups()) << "interfaces stay held";
    EXPECT_EQ(1, fake->HeldClientRefs());

    FILETIME ts = {};
    kit::Variant value;
    DWORD quality = 77;
    EXPECT_FALSE(client->ReadValue("Tag.1", &ts, value.get(), &quality));
    EXPECT_EQ(77u, quality);
    EXPECT_EQ(0u, client->Engine().ItemCount()) << "nothing registered while not connected";
    // A server that asked us to go may still answer "running": it is not asked.
    const int statusCalls = fake->Calls("GetStatus");
    OPCSERVERSTATE state = OPC_STATUS_TEST;
    EXPECT_EQ(E_FAIL, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_TEST, state);
    EXPECT_EQ(statusCalls, fake->Calls("GetStatus"));
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{"ERR: ReadValue: Server not connected", "ERR: Unable to get server state",
                                        "ERR: Already Connected",
                                        "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host (null)"}),
              Lines());

    // The user's way back: Disconnect, then Connect.
    client->Disconnect();
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_TRUE(client->IsConnectedFlag());
    EXPECT_EQ(S_OK, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_RUNNING, state);
}

// The receiver sees the reason as text, and no reason as the empty text.
class ReasonReceiver : public COPCReceiveData {
public:
    void ReceiveData(DWORD, DWORD, DWORD, DWORD, DWORD) override {}
    void StateChanged(int state, const char* text) override {
        reasons.push_back(std::to_string(state) + ":" + (text ? text : "<null>"));
    }
    std::vector<std::string> reasons;
};

TEST_F(LifecycleTest, ShutdownWithNullReasonIsAnEmptyReason) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ReasonReceiver receiver;
    client->Engine().SetReceiver(&receiver);
    fake->SendShutdownFromThread(L"Mantenimiento");
    fake->SendShutdownFromThread(nullptr);
    client->Engine().SetReceiver(client);
    EXPECT_EQ((std::vector<std::string>{"-1:Mantenimiento", "-1:"}), receiver.reasons);
}

// A server that asks its clients to go while one of them connects (after the
// shutdown advise, before the connect ends) is not read from afterwards.
fakeopc::FakeOpc* g_stopping = nullptr;
void WINAPI ShutdownWhileWaiting(DWORD) { g_stopping->SendShutdownFromThread(L"Reinicio"); }

TEST_F(LifecycleTest, ShutdownDuringConnectOutlastsIt) {
    fake->statusScript.push_back({S_OK, OPC_STATUS_NOCONFIG});  // the connect waits once
    g_stopping = fake.get();
    ketra::opc::Activation().sleep = &ShutdownWhileWaiting;
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_FALSE(client->IsConnectedFlag());
    FILETIME ts = {};
    kit::Variant value;
    DWORD quality = 0;
    EXPECT_FALSE(client->ReadValue("Tag.1", &ts, value.get(), &quality));
    OPCSERVERSTATE state = OPC_STATUS_TEST;
    EXPECT_EQ(E_FAIL, client->GetServerState(&state));
    // The next connection starts afresh.
    client->Disconnect();
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_TRUE(client->IsConnectedFlag());
}

TEST_F(LifecycleTest, ShutdownSinkAnswersOnlyItsOwnInterfaces) {
    COPCShutdownImpl& sink = *client->Engine().shutdownSink.get();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, sink.QueryInterface(IID_IOPCServer, &p));
    EXPECT_EQ(nullptr, p);
    ASSERT_EQ(S_OK, sink.QueryInterface(IID_IOPCShutdown, &p));
    EXPECT_EQ(static_cast<IOPCShutdown*>(&sink), p);
    EXPECT_EQ(1u, sink.Release()) << "the engine's own reference";
}

TEST_F(LifecycleTest, SinkKeptByAGoneServerOutlivesTheClient) {
    // The server's process died: Unadvise fails, and its reference (and the
    // stub COM keeps for a server in another process) stay behind the client.
    fake->shutdownUnadviseResult = RPC_E_DISCONNECTED;
    ASSERT_EQ(S_OK, ConnectLocal());
    kit::ComPtr<IStream> stub;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stub.put()));
    ASSERT_EQ(S_OK, CoMarshalInterface(stub.get(), IID_IUnknown, client->Engine().shutdownSink.get(), MSHCTX_INPROC,
                                       nullptr, MSHLFLAGS_NORMAL));
    std::thread racing([this] { fake->SendShutdownFromThread(L"racing the destruction"); });
    DestroyClient();
    racing.join();
    fake->SendShutdownFromThread(L"after the destruction");
    stub->Seek(LARGE_INTEGER(), STREAM_SEEK_SET, nullptr);
    kit::ComPtr<IUnknown> reached;
    EXPECT_NE(S_OK, CoUnmarshalInterface(stub.get(), IID_IUnknown, reached.put_void())) << "COM let go of it";
    EXPECT_EQ(1, fake->HeldClientRefs());
    fake->DropSinks();  // the last reference: the sink goes now
}

TEST_F(LifecycleTest, DisconnectTwiceAndBeforeAnyConnect) {
    EXPECT_EQ(0, client->Disconnect());
    EXPECT_TRUE(Lines().empty()) << "no receiver yet";

    ASSERT_EQ(S_OK, ConnectLocal());
    OPCHANDLE groupHandle = client->Engine().serverGroupHandle;
    EXPECT_EQ(0, client->Disconnect());
    auto removed = fake->RemoveGroups();
    ASSERT_EQ(1u, removed.size());
    EXPECT_EQ(groupHandle, removed[0].first);
    EXPECT_EQ(TRUE, removed[0].second) << "removed with force";
    // Only the group's data-callback point stays held, until destruction or the
    // next group replaces it.
    EXPECT_EQ(1, fake->OutstandingRefs());
    EXPECT_EQ(0, fake->HeldClientRefs()) << "sink unadvised";
    EXPECT_TRUE(client->IsConnectedFlag()) << "Disconnect leaves the flag alone";

    ClearLines();
    EXPECT_EQ(0, client->Disconnect());
    EXPECT_EQ(std::vector<std::string>{"ERR: OPCClient::Disconnect: Already disconnected."}, Lines());
    EXPECT_EQ(1u, fake->RemoveGroups().size());
}

TEST_F(LifecycleTest, DisconnectInServerOnlyStateReleasesNothing) {
    for (int i = 0; i < 4; ++i) fake->statusScript.push_back({S_OK, OPC_STATUS_FAILED});
    ASSERT_EQ(E_FAIL, ConnectLocal());
    ClearLines();
    client->Disconnect();
    EXPECT_EQ(std::vector<std::string>{"ERR: OPCClient::Disconnect: Already disconnected."}, Lines());
    EXPECT_EQ(1, fake->LiveObjects());
    EXPECT_EQ(1, fake->HeldClientRefs());
}

TEST_F(LifecycleTest, DestroyingWhileConnectedRemovesTheGroup) {
    ASSERT_EQ(S_OK, ConnectLocal());
    DestroyClient();
    ASSERT_EQ(1u, fake->RemoveGroups().size());
    EXPECT_EQ(TRUE, fake->RemoveGroups()[0].second);
    EXPECT_EQ(1, fake->Calls("Shutdown.Unadvise"));
    EXPECT_EQ(0, fake->LiveGroups());
}

TEST_F(LifecycleTest, DestroyingInServerOnlyStateUnadvisesTheSink) {
    for (int i = 0; i < 4; ++i) fake->statusScript.push_back({S_OK, OPC_STATUS_NOCONFIG});
    ASSERT_EQ(E_FAIL, ConnectLocal());
    ASSERT_EQ(1, fake->HeldClientRefs());
    DestroyClient();
    EXPECT_EQ(1, fake->Calls("Shutdown.Unadvise"));
    EXPECT_EQ(0, fake->Calls("RemoveGroup"));
    EXPECT_EQ(0, fake->HeldClientRefs());
}

TEST_F(LifecycleTest, DestroyingAfterAFailedAdviseReleasesTheConnectionPoint) {
    fake->shutdownAdviseResult = E_OUTOFMEMORY;
    ASSERT_EQ(S_OK, ConnectLocal());
    // The failed advise keeps the connection point: a later advise is refused.
    EXPECT_EQ(E_FAIL, client->Engine().shutdownSink->Advise(client->Engine().server.get()));
    EXPECT_EQ(1, fake->Calls("Shutdown.Advise"));
}

TEST_F(LifecycleTest, CreateAndDestroyExports) {
    EXPECT_EQ(FALSE, DestroyOPCClientObject(nullptr));
    ketra::opc::IOPCClient* other = CreateNewOPCClientObject();
    ASSERT_NE(nullptr, other);
    // IOPCClient is the first base: the object's address is its interface's.
    EXPECT_EQ(static_cast<void*>(other), static_cast<void*>(static_cast<ketra::opc::COPCClient*>(other)));
    EXPECT_EQ(TRUE, DestroyOPCClientObject(other));

    OPCSERVERSTATE state = OPC_STATUS_TEST;
    EXPECT_EQ(E_FAIL, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_TEST, state);
    EXPECT_TRUE(Lines().empty()) << "no callback before the first Connect";
}

}  // namespace
