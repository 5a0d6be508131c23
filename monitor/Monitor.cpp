#include "Monitor.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "Diagnosis.h"
#include "kit_com.h"

namespace krelmon {

const char kIniFileName[] = "\\OPC.Krel.Client.ini";

namespace {

const char kSection[] = "OPC.KREL";
const char kDefaultServer[] = "OPC Krel Server";
const char kDefaultHost[] = "LocalHost";
// A server whose branches lead back to their own ancestors would otherwise
// recurse until the stack runs out.
const int kMaxDepth = 64;

// The console shows no library log.
void IgnoreLog(const char*) {}

void CopyText(char* out, size_t size, const char* text) {
    std::snprintf(out, size, "%s", text);
}

// What the value column shows for a value that could not be read or whose
// quality is bad.
const char kNoValue[] = " ----        ";

struct WalkState {
    std::set<std::string> seen;  // item IDs already listed, branches and leaves
    int levels = 0;              // levels listed so far
};

void Walk(ketra::opc::IOPCClient* client, const char* path, TagTable& table, int depth, WalkState& walk) {
    if (walk.levels >= kMaxWalkLevels) return;
    ++walk.levels;
    ketra::opc::IItemEnumerator* level = client->EnumerateItems(path);
    if (!level) return;
    if (*level->CurrentItemID() == '\0') {
        client->ReleaseEnumerator(level);
        return;
    }
    do {
        const char* itemId = level->CurrentItemID();
        size_t length = std::strlen(itemId);
        if (length == 0) {
            // Names nothing; as a branch it would be the root all over again.
        } else if (!walk.seen.insert(itemId).second) {
            // Listed before: a branch that leads back, or a server that lists a
            // level again where it could not move into a branch.
        } else if (level->IsBranch()) {
            if (depth < kMaxDepth) Walk(client, itemId, table, depth + 1, walk);
        } else if (length < kTagSlot) {
            std::memcpy(table.tags[table.count], itemId, length + 1);
            ++table.count;
        }
        // A longer ID does not fit its slot, and a cut one would name another
        // item (or none): it is left out.
    } while (level->MoveNext() && table.count < kMaxTags && walk.levels < kMaxWalkLevels);
    client->ReleaseEnumerator(level);
}

void Finish(ketra::opc::IOPCClient* client, const ClientFactory& factory) {
    client->Disconnect();
    factory.destroy(client);
}

}  // namespace

ClientFactory LibraryFactory() {
    ClientFactory f = {&CreateNewOPCClientObject, &DestroyOPCClientObject, &GetOPCClientLastError};
    return f;
}

bool MakeIniPath(const char* directory, char* out, size_t outSize) {
    if (outSize) out[0] = '\0';
    if (!directory) return false;
    size_t need = std::strlen(directory) + std::strlen(kIniFileName) + 1;
    if (need > outSize) return false;
    std::snprintf(out, outSize, "%s%s", directory, kIniFileName);
    return true;
}

void LoadSettings(const char* directory, Settings& settings) {
    CopyText(settings.serverName, sizeof settings.serverName, kDefaultServer);
    CopyText(settings.hostName, sizeof settings.hostName, kDefaultHost);
    char iniPath[kIniPathBuffer];
    // A directory too long for the path buffer keeps the defaults rather than
    // reading some other, truncated, file name.
    if (!MakeIniPath(directory, iniPath, sizeof iniPath)) return;
    GetPrivateProfileStringA(kSection, "OpcServerName", kDefaultServer, settings.serverName, kProfileRead, iniPath);
    GetPrivateProfileStringA(kSection, "HostName", kDefaultHost, settings.hostName, kProfileRead, iniPath);
}

void WalkTags(ketra::opc::IOPCClient* client, const char* path, TagTable& table) {
    WalkState walk;
    Walk(client, path, table, 0, walk);
}

std::string ValueText(const VARIANT& value) {
    char text[64] = "";
    switch (value.vt) {
    case VT_I2: std::snprintf(text, sizeof text, "%d", static_cast<int>(value.iVal)); break;
    case VT_I4: std::snprintf(text, sizeof text, "%d", static_cast<int>(value.lVal)); break;
    case VT_R4: std::snprintf(text, sizeof text, "%5.2f", static_cast<double>(value.fltVal)); break;
    case VT_R8: std::snprintf(text, sizeof text, "%f", value.dblVal); break;
    case VT_BSTR: return kit::AnsiFromWide(value.bstrVal);
    case VT_BOOL: return value.boolVal ? "TRUE" : "FALSE";
    case VT_UI1: return std::string(1, static_cast<char>(value.bVal));
    case VT_ARRAY | VT_R4: return value.iVal ? "TRUE" : "FALSE";
    default: break;
    }
    return text;
}

std::string ValueCell(const VARIANT& value, DWORD quality) {
    if (value.vt == VT_EMPTY) return "             ";
    // Bad is every quality whose two top bits are 0, not only 0 itself.
    if ((quality & 0xC0) == 0) return kNoValue;
    // The blanks wipe the tail of a longer earlier value.
    return ValueText(value) + "      ";
}

bool PollKeys(IConsoleIO& io, int times) {
    for (int i = 0; i < times; ++i) {
        if (io.KeyPressed()) return true;
        io.Sleep(kPollStep);
    }
    return false;
}

int ConnectionCycle(IConsoleIO& io, const ClientFactory& factory, const Settings& settings, TagTable& table) {
    ketra::opc::IOPCClient* client = factory.create();
    if (!client) {
        io.Print("Error al crear el OPC Cliente (NULL)\n");
        io.Print("\n\n\nPresine una tecla para terminar\n");
        io.WaitForKey();
        return 0;
    }
    if (client->Connect(settings.serverName, settings.hostName, &IgnoreLog) < 0) {
        // Asked before the object goes: the failure is the object's.
        KetraOPCError error = {};
        error.size = sizeof error;
        if (!factory.lastError || !factory.lastError(client, &error)) error.code = S_OK;
        factory.destroy(client);
        io.Print("Error de conexion\n");
        io.Print(WhyLines(error).c_str());
        return -1;
    }
    table.count = 0;
    WalkTags(client, nullptr, table);
    if (table.count == 0) {
        Finish(client, factory);
        io.Print("No hay Tags disponibles\n");
        return -1;
    }
    for (int i = 0; i < table.count; ++i) {
        char line[kTagSlot + 4];
        std::snprintf(line, sizeof line, "\t%s\n", table.tags[i]);
        io.Print(line);
    }
    for (;;) {
        bool linkChecked = false;
        for (int i = 0; i < table.count; ++i) {
            FILETIME timestamp = {0, 0};
            DWORD quality = 0;
            kit::Variant value;
            const bool read = client->ReadValue(table.tags[i], &timestamp, value.get(), &quality);
            if (!read && !linkChecked) {
                // A tag that cannot be read (a hint, a write-only item) blanks only
                // its own row; a server that no longer answers ends the connection.
                linkChecked = true;
                OPCSERVERSTATE state;
                if (FAILED(client->GetServerState(&state))) {
                    Finish(client, factory);
                    return -1;
                }
            }
            io.MoveTo(kValueColumn, static_cast<short>(kFirstTagRow + i));
            io.Print(read ? ValueCell(*value.get(), quality).c_str() : kNoValue);
        }
        if (PollKeys(io, static_cast<int>(kRetryWait / kPollStep))) {
            Finish(client, factory);
            return 0;
        }
    }
}

int RunMonitor(IConsoleIO& io, const ClientFactory& factory, const Settings& settings) {
    TagTable table;
    table.count = 0;
    for (;;) {
        io.Clear();
        std::string header = std::string("OPC Server Name: ") + settings.serverName + "\n";
        io.Print(header.c_str());
        header = std::string("Host Name      : ") + settings.hostName + "\n\n";
        io.Print(header.c_str());
        if (PollKeys(io, 4)) return 0;
        io.Sleep(200);
        if (ConnectionCycle(io, factory, settings, table) == 0) return 0;
        if (PollKeys(io, static_cast<int>(kRetryWait / kPollStep))) return 0;
    }
}

}  // namespace krelmon
