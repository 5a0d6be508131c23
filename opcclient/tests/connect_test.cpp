// Connecting: the three creation routes, the wait for a running server, the group
// and its connection point, and what each failure says.
#include <olectl.h>

#include <cstdio>
#include <cstring>
#include <regex>

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

const char kUnableLocal[] = "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host (null)";

// What GetOPCClientLastError tells a caller: step, code and call of the failure.
std::string Why(ketra::opc::IOPCClient* client) {
    KetraOPCError e = {};
    e.size = sizeof e;
    if (!GetOPCClientLastError(client, &e)) return "refused";
    char text[160];
    std::snprintf(text, sizeof text, "%ld %08lX %s", static_cast<long>(e.step), static_cast<unsigned long>(e.code),
                  e.call);
    return text;
}

// What the engine asked of COM activation.
struct ActivationCall {
    CLSID clsid;
    DWORD context;
    std::wstring serverName;  // "<none>" when no COSERVERINFO
    std::vector<IID> iids;
};
std::vector<ActivationCall> g_calls;
fakeopc::FakeOpc* g_fake = nullptr;
HRESULT g_listCreateResult = S_OK;   // whole CoCreateInstanceEx of the server list
HRESULT g_listEntryResult = S_OK;    // its MULTI_QI entry
bool g_listIsNotAList = false;       // hand back an object without IOPCServerList
HRESULT g_serverCreateResult = S_OK; // CoCreateInstance(Ex) of the server itself

HRESULT WINAPI RecordingCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    g_calls.push_back({clsid, context, L"<none>", {iid}});
    if (context == CLSCTX_REMOTE_SERVER) {
        // Remote activation does not exist under Wine; answer as the class's
        // configured remote machine would.
        *out = nullptr;
        if (FAILED(g_serverCreateResult)) return g_serverCreateResult;
        return g_fake->CreateServer(iid, out);
    }
    return ketra::opc::DefaultActivation().coCreateInstance(clsid, outer, context, iid, out);
}

HRESULT WINAPI RecordingCreateEx(REFCLSID clsid, IUnknown*, DWORD context, COSERVERINFO* info, DWORD count,
                                 MULTI_QI* results) {
    ActivationCall call{clsid, context, info && info->pwszName ? info->pwszName : L"<none>", {}};
    for (DWORD i = 0; i < count; ++i) call.iids.push_back(*results[i].pIID);
    g_calls.push_back(call);
    if (IsEqualCLSID(clsid, CLSID_OpcServerList)) {
        if (FAILED(g_listCreateResult)) return g_listCreateResult;
        if (FAILED(g_listEntryResult)) {
            results[0].hr = g_listEntryResult;
            return CO_S_NOTALLINTERFACES;
        }
        void* p = nullptr;
        results[0].hr = g_listIsNotAList ? g_fake->CreateServer(IID_IUnknown, &p)
                                         : g_fake->CreateServerList(*results[0].pIID, &p);
        results[0].pItf = static_cast<IUnknown*>(p);
        return results[0].hr;
    }
    if (FAILED(g_serverCreateResult)) return g_serverCreateResult;
    void* p = nullptr;
    results[0].hr = g_fake->CreateServer(*results[0].pIID, &p);
    results[0].pItf = static_cast<IUnknown*>(p);
    return results[0].hr;
}

class ConnectTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        g_calls.clear();
        g_fake = fake.get();
        g_listCreateResult = g_listEntryResult = g_serverCreateResult = S_OK;
        g_listIsNotAList = false;
        ketra::opc::Activation().coCreateInstance = &RecordingCreate;
        ketra::opc::Activation().coCreateInstanceEx = &RecordingCreateEx;
    }
};

TEST_F(ConnectTest, LocalServerRunningAtOnceConnectsWithoutWaiting) {
    ASSERT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ(std::vector<std::string>{"DBG: 1020: 0 Items added, Current Items count is 0."}, Lines());
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(static_cast<DWORD>(CLSCTX_ALL), g_calls[0].context);
    EXPECT_TRUE(IsEqualCLSID(CLSID_FakeOpcTest, g_calls[0].clsid));
    EXPECT_TRUE(IsEqualIID(IID_IOPCServer, g_calls[0].iids[0]));
    EXPECT_EQ(1, fake->Calls("GetStatus"));
    EXPECT_TRUE(g_sleeps.empty());
    auto groups = fake->AddGroups();
    ASSERT_EQ(1u, groups.size());
    EXPECT_EQ(L"Ketra.OPC.Client", groups[0].name);
    EXPECT_EQ(TRUE, groups[0].active);
    EXPECT_EQ(1000u, groups[0].rate);
    EXPECT_EQ(1u, groups[0].clientHandle);
    EXPECT_TRUE(IsEqualIID(IID_IOPCGroupStateMgt, groups[0].iid));
    EXPECT_EQ(GetSystemDefaultLCID(), fake->lastGroupLcid);
    EXPECT_EQ(1, fake->HeldClientRefs()) << "shutdown sink advised";
    EXPECT_EQ(0, fake->Calls("DataCallback.Advise")) << "values are read, not subscribed";
    EXPECT_TRUE(client->IsConnectedFlag());

    OPCSERVERSTATE state = OPC_STATUS_FAILED;
    EXPECT_EQ(S_OK, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_RUNNING, state);
}

TEST_F(ConnectTest, EmptyHostIsLocalAndNullCallbackDropsEveryLine) {
    ASSERT_EQ(S_OK, client->Connect(kFakeProgId, "", nullptr));
    EXPECT_EQ(static_cast<DWORD>(CLSCTX_ALL), g_calls.at(0).context);
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "", nullptr)) << "already connected";
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ConnectTest, UnknownProgIdFailsLocallyWithTheSystemText) {
    CLSID unused;
    HRESULT expected = CLSIDFromProgID(L"No.Such.Server.1", &unused);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(E_FAIL, client->Connect("No.Such.Server.1", nullptr, &CaptureLine));
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: CComPtr<IOPCServer>::CoCreateInstance failed for prog Id 'No.Such.Server.1', host '' (" +
                      Text(expected) + ")",
                  "ERR: Unable to connect to server No.Such.Server.1 on host (null)"}),
              Lines());
    EXPECT_EQ(0, fake->ServersCreated());
    EXPECT_FALSE(client->IsConnectedFlag());
    char why[64];
    std::snprintf(why, sizeof why, "5 %08lX CLSIDFromProgID", static_cast<unsigned long>(expected));
    EXPECT_EQ(why, Why(client));
}

TEST_F(ConnectTest, DcomHostUsesTheConfiguredRemoteServer) {
    ASSERT_EQ(S_OK, client->Connect(kFakeProgId, "DCOM", &CaptureLine));
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(static_cast<DWORD>(CLSCTX_REMOTE_SERVER), g_calls[0].context);
    EXPECT_EQ(L"<none>", g_calls[0].serverName);
    client->Disconnect();

    ClearLines();
    g_serverCreateResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "DCOM", &CaptureLine));
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: CComPtr<IOPCServer>::CoCreateInstance (REMOTE SERVER) failed for prog Id "
                  "'Kit.FakeOpc.Test.1', host 'DCOM' (" + Text(REGDB_E_CLASSNOTREG) + ")",
                  "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host DCOM"}),
              Lines());
    EXPECT_EQ("5 80040154 CoCreateInstance", Why(client));
}

TEST_F(ConnectTest, NamedHostsGoThroughThatMachinesServerList) {
    fake->MapProgId(kFakeProgIdW, CLSID_FakeOpcTest);
    // "dcom" in other letters is a machine name, and so is this machine's own.
    for (const char* host : {"PLANTA-7", "dcom", "LocalHost"}) {
        g_calls.clear();
        ASSERT_EQ(S_OK, client->Connect(kFakeProgId, host, &CaptureLine)) << host;
        ASSERT_EQ(2u, g_calls.size()) << host;
        std::wstring wideHost = kit::WideFromAnsi(host);
        EXPECT_TRUE(IsEqualCLSID(CLSID_OpcServerList, g_calls[0].clsid));
        EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER), g_calls[0].context);
        EXPECT_EQ(wideHost, g_calls[0].serverName);
        ASSERT_EQ(1u, g_calls[0].iids.size());
        EXPECT_TRUE(IsEqualIID(IID_IOPCServerList, g_calls[0].iids[0]));
        EXPECT_TRUE(IsEqualCLSID(CLSID_FakeOpcTest, g_calls[1].clsid));
        EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER), g_calls[1].context);
        EXPECT_EQ(wideHost, g_calls[1].serverName);
        ASSERT_EQ(1u, g_calls[1].iids.size());
        EXPECT_TRUE(IsEqualIID(IID_IOPCServer, g_calls[1].iids[0]));
        client->Disconnect();
    }
    EXPECT_EQ(3, fake->Calls("ServerList.CLSIDFromProgID"));
}

TEST_F(ConnectTest, EachServerListFailureHasItsOwnLineAndCreatesNoServer) {
    const std::string head = "prog Id 'Kit.FakeOpc.Test.1', host 'PLANTA-7' (";
    const std::string unable = "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host PLANTA-7";

    g_listCreateResult = E_ACCESSDENIED;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine));
    EXPECT_EQ((std::vector<std::string>{"ERR: CComPtr<IOPCServerList>::CoCreateInstance (REMOTE SERVER) failed for " +
                                            head + Text(E_ACCESSDENIED) + ")",
                                        unable}),
              Lines());
    EXPECT_EQ("4 80070005 CoCreateInstanceEx(OPCEnum)", Why(client));
    KetraOPCError e = {};
    e.size = sizeof e;
    ASSERT_TRUE(GetOPCClientLastError(client, &e));
    EXPECT_STREQ("E_ACCESSDENIED", e.name);
    EXPECT_EQ(Text(E_ACCESSDENIED), e.text);
    EXPECT_STREQ("OPCEnum", e.stepTitle);
    EXPECT_EQ(0, std::strncmp(e.fix, "En PLANTA-7: dcomcnfg", 21)) << e.fix;

    ClearLines();
    g_listCreateResult = S_OK;
    g_listEntryResult = E_NOINTERFACE;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine));
    EXPECT_EQ("ERR: CComPtr<IOPCServerList>::CoCreateInstance (REMOTE SERVER) failed for " + head +
                  Text(E_NOINTERFACE) + ")",
              Lines().at(0));

    ClearLines();
    g_listEntryResult = S_OK;
    g_listIsNotAList = true;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine));
    EXPECT_EQ("ERR: CComPtr<IOPCServerList>::QueryInterface (REMOTE SERVER) failed for " + head +
                  Text(E_NOINTERFACE) + ")",
              Lines().at(0));
    EXPECT_EQ("4 80004002 QueryInterface(IOPCServerList)", Why(client));
    const int listedServers = fake->ServersCreated();  // the stand-in above was one

    ClearLines();
    g_listIsNotAList = false;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine)) << "ProgID not mapped";
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: IOPCServerList::CLSIDFromProgID failed to get CLSID from ProgID (Kit.FakeOpc.Test.1)", unable}),
              Lines());
    EXPECT_EQ("4 80040154 IOPCServerList::CLSIDFromProgID", Why(client));

    ClearLines();
    fake->MapProgId(kFakeProgIdW, GUID_NULL);
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine)) << "GUID_NULL";
    EXPECT_EQ("ERR: IOPCServerList::CLSIDFromProgID failed to get CLSID from ProgID (Kit.FakeOpc.Test.1)",
              Lines().at(0));
    EXPECT_EQ(listedServers, fake->ServersCreated());

    ClearLines();
    fake->MapProgId(kFakeProgIdW, CLSID_FakeOpcTest);
    g_serverCreateResult = RPC_E_DISCONNECTED;
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "PLANTA-7", &CaptureLine));
    EXPECT_EQ("ERR: CComPtr<IOPCServer>::CoCreateInstance (REMOTE SERVER) failed for " + head +
                  Text(RPC_E_DISCONNECTED) + ")",
              Lines().at(0));
    EXPECT_EQ("5 80010108 CoCreateInstanceEx", Why(client));
    EXPECT_EQ(listedServers, fake->ServersCreated());
    EXPECT_FALSE(client->IsConnectedFlag());
}

TEST_F(ConnectTest, ServerThatNeverRunsTimesOutThenASecondConnectOnlyWaits) {
    for (int i = 0; i < 4; ++i) fake->statusScript.push_back({S_OK, OPC_STATUS_NOCONFIG});
    EXPECT_EQ(E_FAIL, ConnectLocal());
    auto lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("WAR: Wait while server status not OPC_STATUS_RUNNING.", lines[0]);
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex("WAR: [0-9]+\\.[0-9]{2} ms passed and the OPC Server it's still not in state "
                             "OPC_STATUS_RUNNING\\.")))
        << lines[1];
    EXPECT_EQ(kUnableLocal, lines[2]);
    EXPECT_EQ((std::vector<DWORD>{500, 500, 500}), g_sleeps);
    EXPECT_EQ(4, fake->Calls("GetStatus"));
    EXPECT_EQ(0, fake->Calls("AddGroup")) << "Server-only state";
    EXPECT_FALSE(client->IsConnectedFlag());
    EXPECT_EQ("6 80004005 IOPCServer::GetStatus (OPC_STATUS_RUNNING)", Why(client));

    // Server only: no new server, no new advise; the wait runs again.
    ClearLines();
    g_sleeps.clear();
    fake->statusScript.push_back({S_OK, OPC_STATUS_SUSPENDED});
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ(1, fake->ServersCreated());
    EXPECT_EQ(1, fake->Calls("Shutdown.Advise"));
    EXPECT_EQ(1u, g_sleeps.size());
    EXPECT_EQ((std::vector<std::string>{"WAR: Wait while server status not OPC_STATUS_RUNNING.",
                                        "DBG: 1020: 0 Items added, Current Items count is 0."}),
              Lines());
    EXPECT_TRUE(client->IsConnectedFlag());
    EXPECT_EQ("0 00000000 ", Why(client)) << "a connect that succeeds clears the failure";
}

TEST_F(ConnectTest, StatusFailuresFirstQueryGoesOnPollFailureEndsTheConnect) {
    fake->statusScript.push_back({E_OUTOFMEMORY, OPC_STATUS_RUNNING});
    fake->statusScript.push_back({S_OK, OPC_STATUS_RUNNING});
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ("ERR: IOPCServer::GetStatus returned error: " + Text(E_OUTOFMEMORY), Lines().at(0));
    EXPECT_EQ(1u, g_sleeps.size());
    EXPECT_FALSE(HasLine("WAR: Wait while server status not OPC_STATUS_RUNNING."));
    client->Disconnect();

    ClearLines();
    fake->statusScript.push_back({S_OK, OPC_STATUS_TEST});
    fake->statusScript.push_back({RPC_E_DISCONNECTED, OPC_STATUS_RUNNING});
    EXPECT_EQ(RPC_E_DISCONNECTED, ConnectLocal()) << "a failed poll's code is the result";
    EXPECT_EQ((std::vector<std::string>{"WAR: Wait while server status not OPC_STATUS_RUNNING.",
                                        "ERR: IOPCServer::GetStatus returned error: " + Text(RPC_E_DISCONNECTED),
                                        "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host (null)"}),
              Lines());
    EXPECT_EQ("6 80010108 IOPCServer::GetStatus", Why(client));

    ClearLines();
    fake->statusScript.push_back({E_FAIL, OPC_STATUS_RUNNING});
    OPCSERVERSTATE state = OPC_STATUS_TEST;
    EXPECT_EQ(E_FAIL, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_TEST, state) << "output written only on success";
    EXPECT_EQ((std::vector<std::string>{"ERR: IOPCServer::GetStatus returned error: " + Text(E_FAIL),
                                        "ERR: Unable to get server state"}),
              Lines());
}

TEST_F(ConnectTest, GroupNameCollisionsRetryUnderLongerNames) {
    ketra::opc::COPCClient* second = NewClient();
    ASSERT_EQ(S_OK, ConnectLocal());
    ASSERT_EQ(S_OK, second->Connect(kFakeProgId, nullptr, &CaptureLine));
    auto groups = fake->AddGroups();
    ASSERT_EQ(3u, groups.size());
    std::string renamed = kit::AnsiFromWide(groups[2].name.c_str());
    EXPECT_TRUE(std::regex_match(renamed, std::regex("Ketra\\.OPC\\.Client_[0-9]+"))) << renamed;
    EXPECT_EQ(1u, CountLine("ERR: IOPCServer::AddGroup returned OPC_E_DUPLICATENAME for group name " + renamed + "."));

    // Two collisions lengthen the name twice; the next Connect starts over.
    second->Disconnect();
    ClearLines();
    fake->addGroupScript = {OPC_E_DUPLICATENAME, OPC_E_DUPLICATENAME};
    ASSERT_EQ(S_OK, second->Connect(kFakeProgId, nullptr, &CaptureLine));
    groups = fake->AddGroups();
    ASSERT_EQ(6u, groups.size());
    EXPECT_EQ(L"Ketra.OPC.Client", groups[3].name);
    std::string twice = kit::AnsiFromWide(groups[5].name.c_str());
    EXPECT_TRUE(std::regex_match(twice, std::regex("Ketra\\.OPC\\.Client_[0-9]+_[0-9]+"))) << twice;
    EXPECT_EQ(2u, Lines().size() - 1);
    EXPECT_TRUE(DestroyOPCClientObject(second));
}

TEST_F(ConnectTest, EndlessCollisionsStopWithThe1003Line) {
    fake->addGroupScript.assign(100, OPC_E_DUPLICATENAME);
    EXPECT_EQ(E_FAIL, ConnectLocal());
    auto lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    const int retries = OPCClient::kMaxGroupNameRetries;
    EXPECT_EQ(retries + 1, fake->Calls("AddGroup"));
    std::string finalName = kit::AnsiFromWide(fake->AddGroups().back().name.c_str());
    EXPECT_EQ("ERR: 1003:IOPCServer::AddGroup failed for group name " + finalName + ".", lines[lines.size() - 2]);
    EXPECT_EQ(kUnableLocal, lines.back());
    EXPECT_EQ(static_cast<size_t>(retries) + 2, lines.size());
}

TEST_F(ConnectTest, AddGroupFailures) {
    fake->addGroupScript = {E_NOINTERFACE};
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{"ERR: IOPCServer::AddGroup returned E_NOINTERFACE (IID_IOPCGroupStateMgt)",
                                        kUnableLocal}),
              Lines());
    EXPECT_EQ("7 80004002 IOPCServer::AddGroup", Why(client));
    ClearLines();
    fake->addGroupScript = {E_OUTOFMEMORY};
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{"ERR: 1003:IOPCServer::AddGroup failed for group name Ketra.OPC.Client.",
                                        kUnableLocal}),
              Lines());
    EXPECT_EQ("7 8007000E IOPCServer::AddGroup", Why(client)) << "the server's own code, not E_FAIL";
    EXPECT_EQ(1, fake->ServersCreated()) << "Server-only between attempts";
}

TEST_F(ConnectTest, RevisedRateWarnsAndStillConnects) {
    fake->revisedRate = 2500;
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{"WAR: 1004: revisted update rate( 2500 ms ) differs from the requested.",
                                        "DBG: 1020: 0 Items added, Current Items count is 0."}),
              Lines());
    EXPECT_TRUE(client->IsConnectedFlag());
}

TEST_F(ConnectTest, GroupWithoutContainerOrDataCallbackPointFailsButStaysConnected) {
    fake->groupHasContainer = false;
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ((std::vector<std::string>{
                  "ERR: 1008: failed obtaining the IConnectionPointContainer interface from the Group (" +
                      Text(E_NOINTERFACE) + ").",
                  kUnableLocal}),
              Lines());
    EXPECT_FALSE(client->IsConnectedFlag());
    EXPECT_EQ("7 80004002 QueryInterface(IConnectionPointContainer)", Why(client));
    ClearLines();
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ("ERR: Already Connected", Lines().at(0));
    EXPECT_EQ("0 80004005 Already Connected", Why(client));
    client->Disconnect();
    EXPECT_EQ(0, fake->LiveGroups());

    ClearLines();
    fake->groupHasContainer = true;
    fake->groupHasDataCallbackPoint = false;
    EXPECT_EQ(E_FAIL, ConnectLocal());
    EXPECT_EQ("ERR: 1009: failed obtaining the  IOPCDataCallback interface. Server not compliant with OPC DA 2.0 (" +
                  Text(CONNECT_E_NOCONNECTION) + ").",
              Lines().at(0));
    EXPECT_EQ("7 80040200 FindConnectionPoint(IOPCDataCallback)", Why(client));
    EXPECT_EQ(1, fake->LiveGroups()) << "kept until Disconnect";
}

TEST_F(ConnectTest, ShutdownAdviseFailureIsLoggedButDoesNotFailTheConnect) {
    fake->serverHasShutdownPoint = false;
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ("ERR: COPCShutdownImpl::Advise returned error. (" + Text(E_FAIL) + ")", Lines().at(0));
    EXPECT_EQ(0, fake->HeldClientRefs());
    client->Disconnect();

    ClearLines();
    fake->serverHasShutdownPoint = true;
    fake->shutdownAdviseResult = CONNECT_E_ADVISELIMIT;
    EXPECT_EQ(S_OK, ConnectLocal());
    EXPECT_EQ("ERR: COPCShutdownImpl::Advise returned error. (" + Text(CONNECT_E_ADVISELIMIT) + ")", Lines().at(0));
}

TEST_F(ConnectTest, SecondConnectWhileConnectedKeepsTheConnection) {
    ASSERT_EQ(S_OK, ConnectLocal());
    ClearLines();
    EXPECT_EQ(E_FAIL, client->Connect(kFakeProgId, "OTRA", &CaptureLine));
    EXPECT_EQ((std::vector<std::string>{"ERR: Already Connected",
                                        "ERR: Unable to connect to server Kit.FakeOpc.Test.1 on host OTRA"}),
              Lines());
    EXPECT_EQ(1, fake->Calls("AddGroup"));
    EXPECT_EQ(1u, g_calls.size());
    EXPECT_TRUE(client->IsConnectedFlag());
}

TEST_F(ConnectTest, NullProgIdIsRefusedWithoutTouchingTheEngine) {
    EXPECT_EQ(E_INVALIDARG, client->Connect(nullptr, nullptr, &CaptureLine));
    EXPECT_EQ(std::vector<std::string>{"ERR: Unable to connect to server (null) on host (null)"}, Lines());
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ("0 80070057 Connect", Why(client));
    KetraOPCError shorter = {};
    shorter.size = sizeof shorter - 1;
    EXPECT_FALSE(GetOPCClientLastError(client, &shorter));
    EXPECT_FALSE(GetOPCClientLastError(nullptr, &shorter));
    // The client is still usable.
    EXPECT_EQ(S_OK, ConnectLocal());
}

}  // namespace
