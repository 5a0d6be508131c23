#include "Monitor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

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
const char kNoValue[] = " ----";

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

// The answers of one pass; every value is cleared when the pass is over.
class ItemValues {
public:
    explicit ItemValues(size_t n) : values_(n) {
        for (KetraItemValue& v : values_) {
            VariantInit(&v.value);
            v.error = E_FAIL;
        }
    }
    ItemValues(const ItemValues&) = delete;
    ItemValues& operator=(const ItemValues&) = delete;
    ~ItemValues() {
        for (KetraItemValue& v : values_) VariantClear(&v.value);
    }
    KetraItemValue* data() { return values_.data(); }

private:
    std::vector<KetraItemValue> values_;
};

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

namespace {

// A 96-bit magnitude (three 32-bit limbs, most significant first) with `scale`
// digits after the point: the decimal text, trailing zeros of the fraction dropped.
// The point is always '.', as in the texts of the real types.
std::string DecimalText(ULONG high, ULONG mid, ULONG low, BYTE scale, bool negative) {
    unsigned long long limbs[3] = {high, mid, low};
    std::string digits;
    while (limbs[0] || limbs[1] || limbs[2]) {
        unsigned long long rest = 0;
        for (unsigned long long& limb : limbs) {
            const unsigned long long part = (rest << 32) | limb;
            limb = part / 10;
            rest = part % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + rest));
    }
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    if (scale) {
        digits.insert(digits.size() - scale, 1, '.');
        digits.erase(digits.find_last_not_of('0') + 1);
        if (digits.back() == '.') digits.pop_back();
    }
    return negative && digits != "0" ? "-" + digits : digits;
}

// Date and time in the user's own format (the thread's locale).
std::string DateText(DATE date) {
    SYSTEMTIME time;
    if (!VariantTimeToSystemTime(date, &time)) return std::string();
    char day[64] = "", clock[64] = "";
    GetDateFormatA(GetThreadLocale(), DATE_SHORTDATE, &time, nullptr, day, sizeof day);
    GetTimeFormatA(GetThreadLocale(), 0, &time, nullptr, clock, sizeof clock);
    return std::string(day) + " " + clock;
}

// "[n]" and the first elements, as long as the text stays within `width`.
std::string ArrayText(const VARIANT& value, size_t width) {
    SAFEARRAY* array = value.parray;
    ULONG count = array && array->cDims ? 1 : 0;
    for (USHORT d = 0; array && d < array->cDims; ++d) count *= array->rgsabound[d].cElements;
    std::string text = "[" + std::to_string(count) + "]";
    const VARTYPE type = value.vt & VT_TYPEMASK;
    void* data = nullptr;
    if (!count || FAILED(SafeArrayAccessData(array, &data))) return text;
    const ULONG size = array->cbElements;
    for (ULONG i = 0; i < count; ++i) {
        const BYTE* element = static_cast<const BYTE*>(data) + static_cast<size_t>(i) * size;
        std::string item;
        if (type == VT_VARIANT && size == sizeof(VARIANT)) {
            item = ValueText(*reinterpret_cast<const VARIANT*>(element), width);
        } else if (type == VT_UI1) {
            item = std::to_string(*element);  // a number among numbers, not a letter
        } else {
            // A view of the element, never cleared: the array owns what it points to.
            VARIANT view;
            VariantInit(&view);
            if (type == VT_DECIMAL && size == sizeof(DECIMAL)) std::memcpy(&view.decVal, element, size);
            else if (size <= sizeof view.llVal) std::memcpy(&view.llVal, element, size);
            else break;
            view.vt = type;
            item = ValueText(view, width);
        }
        item.erase(0, item.find_first_not_of(' '));
        if (text.size() + 1 + item.size() > width) break;
        text += " " + item;
    }
    SafeArrayUnaccessData(array);
    return text;
}

// `text` as a cell of exactly `width` characters.
std::string Cell(std::string text, size_t width) {
    if (text.size() > width) text.resize(width);
    for (char& c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';  // a CR or LF would move the cursor off the row
    }
    text.resize(width, ' ');
    return text;
}

}  // namespace

std::string ValueText(const VARIANT& value, size_t width) {
    char text[64] = "";
    if ((value.vt & VT_ARRAY) && !(value.vt & VT_BYREF)) return ArrayText(value, width);
    switch (value.vt) {
    case VT_I2: std::snprintf(text, sizeof text, "%d", static_cast<int>(value.iVal)); break;
    case VT_I4: std::snprintf(text, sizeof text, "%d", static_cast<int>(value.lVal)); break;
    case VT_R4: std::snprintf(text, sizeof text, "%5.2f", static_cast<double>(value.fltVal)); break;
    case VT_R8: std::snprintf(text, sizeof text, "%f", value.dblVal); break;
    case VT_BSTR: return kit::AnsiFromWide(value.bstrVal);
    case VT_BOOL: return value.boolVal ? "TRUE" : "FALSE";
    case VT_UI1: return std::string(1, static_cast<char>(value.bVal));
    case VT_I1: return std::to_string(static_cast<int>(value.cVal));
    case VT_UI2: return std::to_string(value.uiVal);
    case VT_UI4: return std::to_string(value.ulVal);
    case VT_INT: return std::to_string(value.intVal);
    case VT_UINT: return std::to_string(value.uintVal);
    case VT_I8: return std::to_string(value.llVal);
    case VT_UI8: return std::to_string(value.ullVal);
    case VT_DATE: return DateText(value.date);
    case VT_CY: {
        const bool negative = value.cyVal.int64 < 0;
        const unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value.cyVal.int64)
                                                      : static_cast<unsigned long long>(value.cyVal.int64);
        return DecimalText(0, static_cast<ULONG>(magnitude >> 32), static_cast<ULONG>(magnitude), 4, negative);
    }
    case VT_DECIMAL: {
        const DECIMAL& d = value.decVal;
        if (d.scale > 28) return std::string();
        return DecimalText(d.Hi32, d.Mid32, d.Lo32, d.scale, (d.sign & DECIMAL_NEG) != 0);
    }
    case VT_ERROR: std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value.scode)); break;
    default: break;
    }
    return text;
}

size_t CellWidth(short columns) {
    const int width = columns - kValueColumn - 1;  // the last column stays blank
    return static_cast<size_t>(std::max(13, std::min(width, static_cast<int>(kMaxCell))));
}

std::string NoValueCell(size_t width) { return Cell(kNoValue, width); }

std::string ValueCell(const VARIANT& value, DWORD quality, size_t width) {
    // Bad is every quality whose two top bits are 0, not only 0 itself. A server
    // waiting for its first value sends VT_EMPTY of bad quality.
    if ((quality & 0xC0) == 0) return NoValueCell(width);
    if (value.vt == VT_EMPTY) return std::string(width, ' ');
    return Cell(ValueText(value, width), width);
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
    std::vector<const char*> ids(static_cast<size_t>(table.count));
    for (int i = 0; i < table.count; ++i) {
        // A longer name is cut, so that the value column stays where it is.
        char line[kTagShown + 3];
        std::snprintf(line, sizeof line, "\t%.*s\n", static_cast<int>(kTagShown), table.tags[i]);
        io.Print(line);
        ids[static_cast<size_t>(i)] = table.tags[i];
    }
    const size_t width = CellWidth(io.Columns());
    for (;;) {
        ItemValues values(ids.size());
        // All tags in one round trip: over a slow link a pass costs one call's time.
        if (FAILED(client->ReadValues(static_cast<DWORD>(ids.size()), ids.data(), values.data()))) {
            // Nothing was read. A server that no longer answers ends the
            // connection; one that still does gets another pass.
            OPCSERVERSTATE state;
            if (FAILED(client->GetServerState(&state))) {
                Finish(client, factory);
                return -1;
            }
        }
        for (int i = 0; i < table.count; ++i) {
            // A tag that cannot be read (a hint, a write-only item) blanks only its own row.
            const KetraItemValue& v = values.data()[i];
            io.MoveTo(kValueColumn, static_cast<short>(kFirstTagRow + i));
            io.Print((FAILED(v.error) ? NoValueCell(width) : ValueCell(v.value, v.quality, width)).c_str());
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
