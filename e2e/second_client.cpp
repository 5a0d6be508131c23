// A second OPC client beside the console monitor: it uses KetraOPCClient only
// through its public header, as a customer's program would, and reads the 16
// simulated tags of the installed service a few times.
//   krel_e2e_reader.exe [passes]
// Exit code 0 when every read gave a good VT_R4 inside its row's range and at
// least one value moved between passes; 1 otherwise; 2 when it cannot connect.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "IOPCClient.h"

namespace {

void IgnoreLog(const char*) {}

// Row k (from 1) of the simulation: Bomba.1H.Aceleracion ... Motor.4V.Velocidad.
std::vector<std::string> TagNames() {
    static const char* const machines[] = {"Bomba.1", "Bomba.2", "Motor.3", "Motor.4"};
    static const char* const axes[] = {"H", "V"};
    static const char* const kinds[] = {"Aceleracion", "Velocidad"};
    std::vector<std::string> names;
    for (const char* m : machines)
        for (const char* a : axes)
            for (const char* k : kinds) names.push_back(std::string(m) + a + "." + k);
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    int passes = argc > 1 ? std::atoi(argv[1]) : 3;
    if (passes < 2) passes = 2;

    HRESULT hrInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hrInit)) {
        std::printf("CoInitializeEx failed: 0x%08lx\n", static_cast<unsigned long>(hrInit));
        return 2;
    }
    int rc = 0;
    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    if (!client) {
        std::printf("CreateNewOPCClientObject gave null\n");
        rc = 2;
    } else {
        HRESULT hr = client->Connect("OPC Krel Server", "", IgnoreLog);
        if (FAILED(hr)) {
            std::printf("Connect failed: 0x%08lx\n", static_cast<unsigned long>(hr));
            rc = 2;
        } else {
            const std::vector<std::string> names = TagNames();
            std::vector<float> first(names.size(), -1.0f);
            int bad = 0, moved = 0;
            for (int pass = 0; pass < passes; ++pass) {
                if (pass) Sleep(300);
                for (size_t i = 0; i < names.size(); ++i) {
                    VARIANT value;
                    VariantInit(&value);
                    FILETIME stamp = {0, 0};
                    DWORD quality = 0;
                    const float low = static_cast<float>(i + 1);
                    if (!client->ReadValue(names[i].c_str(), &stamp, &value, &quality)) {
                        std::printf("%s: read failed\n", names[i].c_str());
                        ++bad;
                    } else if (value.vt != VT_R4 || (quality & 0xC0) != 0xC0 || value.fltVal < low - 0.001f ||
                               value.fltVal > low + 0.901f) {
                        std::printf("%s: vt %u quality %lu value %.3f, wanted VT_R4 good in %.1f..%.1f\n",
                                    names[i].c_str(), static_cast<unsigned>(value.vt),
                                    static_cast<unsigned long>(quality), value.vt == VT_R4 ? value.fltVal : -1.0,
                                    low, low + 0.9);
                        ++bad;
                    } else {
                        if (pass == 0)
                            first[i] = value.fltVal;
                        else if (value.fltVal != first[i])
                            ++moved;
                        if (pass == passes - 1) std::printf("%-22s %5.2f\n", names[i].c_str(), value.fltVal);
                    }
                    VariantClear(&value);
                }
            }
            std::printf("%d passes over %u tags: %d bad reads, %d values moved\n", passes,
                        static_cast<unsigned>(names.size()), bad, moved);
            if (bad || !moved) rc = 1;
            client->Disconnect();
        }
        DestroyOPCClientObject(client);
    }
    CoUninitialize();
    return rc;
}
