// Sets the start type of the service "OPC Krel Server" (Wine's sc has no
// "config"): "disabled" keeps COM from starting it for a client, so the test can
// watch the console retry against a server that stays away; "auto" undoes that.
//   krel_e2e_starttype.exe auto|disabled
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "auto") != 0 && std::strcmp(argv[1], "disabled") != 0)) {
        std::fprintf(stderr, "usage: krel_e2e_starttype auto|disabled\n");
        return 2;
    }
    const DWORD type = std::strcmp(argv[1], "auto") == 0 ? SERVICE_AUTO_START : SERVICE_DISABLED;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) {
        std::fprintf(stderr, "OpenSCManager: %lu\n", GetLastError());
        return 1;
    }
    int rc = 0;
    SC_HANDLE service = OpenServiceA(scm, "OPC Krel Server", SERVICE_CHANGE_CONFIG);
    if (!service) {
        std::fprintf(stderr, "OpenService: %lu\n", GetLastError());
        rc = 1;
    } else {
        if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr)) {
            std::fprintf(stderr, "ChangeServiceConfig: %lu\n", GetLastError());
            rc = 1;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return rc;
}
