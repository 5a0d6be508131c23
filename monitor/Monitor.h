// The console monitor's logic: settings, the tag walk, the value texts and the
// connection cycle. The console, the keyboard and the sleeps go through
// IConsoleIO and the client library's exports through ClientFactory, so that
// tests can drive the whole screen without a console or a server.
#ifndef KREL_MONITOR_H
#define KREL_MONITOR_H

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "IOPCClient.h"

namespace krelmon {

const int kMaxTags = 20;
const size_t kTagSlot = 32;        // 31 characters and the NUL
const size_t kNameBuffer = 256;
const DWORD kProfileRead = 255;    // the size handed to GetPrivateProfileStringA
const size_t kIniPathBuffer = 264;
const short kValueColumn = 35;
const short kFirstTagRow = 3;
const short kTagColumn = 8;  // after the tab
// The characters of a tag name shown before its value: one column stays blank.
const size_t kTagShown = kValueColumn - kTagColumn - 1;
// Columns of a console whose size cannot be asked (80) and the widest value cell.
const short kDefaultColumns = 80;
const size_t kMaxCell = 200;
const DWORD kPollStep = 50;
const DWORD kRetryWait = 1000;
// The levels one tag walk may list: it needs at most kMaxTags leaves, and a
// server whose branches never end must not keep the console from its keys.
const int kMaxWalkLevels = 256;

extern const char kIniFileName[];  // "\OPC.Krel.Client.ini"

struct Settings {
    char serverName[kNameBuffer];
    char hostName[kNameBuffer];
};

struct TagTable {
    char tags[kMaxTags][kTagSlot];
    int count;
};

// The console as the monitor uses it.
class IConsoleIO {
public:
    virtual void Clear() = 0;                       // blank the screen, cursor to (0, 0)
    virtual void MoveTo(short column, short row) = 0;
    virtual void Print(const char* text) = 0;
    virtual bool KeyPressed() = 0;                  // looks without reading the key
    virtual void WaitForKey() = 0;                  // reads one key
    virtual void Sleep(DWORD ms) = 0;
    virtual short Columns() = 0;                    // the width of the screen's rows

protected:
    ~IConsoleIO() {}
};

struct ClientFactory {
    ketra::opc::IOPCClient*(__stdcall* create)();
    BOOL(__stdcall* destroy)(ketra::opc::IOPCClient*);
    // Why a Connect failed; null: the console says only that it failed.
    BOOL(__stdcall* lastError)(ketra::opc::IOPCClient*, KetraOPCError*) = nullptr;
};

// The library's own exports.
ClientFactory LibraryFactory();

// `directory` + "\OPC.Krel.Client.ini" into `out`; false (and "" in out) when it
// does not fit `outSize` bytes.
bool MakeIniPath(const char* directory, char* out, size_t outSize);

// Defaults first; then the INI file in `directory`, when there is a directory and
// the path fits the INI path buffer.
void LoadSettings(const char* directory, Settings& settings);

// Collects leaves below `path` depth first into `table` until it holds kMaxTags.
void WalkTags(ketra::opc::IOPCClient* client, const char* path, TagTable& table);

// The text of a value by its type (empty for types without one). An array shows
// its element count and as many of its first elements as fit `width` characters.
std::string ValueText(const VARIANT& value, size_t width = kMaxCell);
// The value column's cell of `width` characters for a value and its quality: the
// text clipped to the row, control characters as blanks, blanks to its end (so
// that nothing of a longer earlier value stays).
std::string ValueCell(const VARIANT& value, DWORD quality, size_t width);
// The cell of a value that could not be read or whose quality is bad.
std::string NoValueCell(size_t width);
// The value cell's width on a screen of `columns` columns.
size_t CellWidth(short columns);

// Polls the keyboard `times` times, kPollStep apart; true as soon as a key waits.
bool PollKeys(IConsoleIO& io, int times);

// One connection: 0 ends the program, -1 asks for another try.
int ConnectionCycle(IConsoleIO& io, const ClientFactory& factory, const Settings& settings, TagTable& table);

// The outer loop, until a key or a failed client creation ends it. Returns 0.
int RunMonitor(IConsoleIO& io, const ClientFactory& factory, const Settings& settings);

}  // namespace krelmon

#endif
