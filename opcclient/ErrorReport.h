// Which link of the chain a connect broke, and the words that explain it to the
// user: the code's symbolic name, the step's title and the one-line fix. The
// console's "why" under "Error de conexion" and every failed step of /Diag take
// their texts from here, so one table says what to change for each failure.
#ifndef KETRA_ERRORREPORT_H
#define KETRA_ERRORREPORT_H

#include <windows.h>

#include <cstddef>
#include <string>

// opcda.h declares OPCSERVERSTATE before IOPCClient.h would.
#include "opcda.h"
#include "IOPCClient.h"

namespace ketra {
namespace opc {

// The failing call of the last connect; step KETRA_STEP_CALL and S_OK = none.
struct ChainFailure {
    int step = KETRA_STEP_CALL;
    HRESULT code = S_OK;
    const char* call = "";  // a literal: it names a call, never data
};

// One fix. A row applies to a failure of its step whose code equals `code` (0 =
// any code) and, when `call` is set, whose call is exactly that one. Of the rows
// that apply the most specific wins, code before call: code and call, then code,
// then call, then the step's catch-all. In `text`, {servidor} is the server
// computer, {cliente} this computer, {progid} the server's ProgID, {bits} this
// program's bitness (32 or 64) and {otros} the other one.
struct FixRow {
    int step;
    HRESULT code;
    const char* call;
    const char* text;
};

const FixRow* FixRows(size_t* count);

// "REGDB_E_CLASSNOTREG" for 0x80040154; "" for a code the table does not name.
const char* HResultName(HRESULT code);
// What step `step` checks, e.g. "OPCEnum"; "" outside 0..8.
const char* StepTitle(int step);
// The fix for a failure, placeholders filled in; "" when no row applies.
std::string FixText(int step, HRESULT code, const char* call, const std::string& server,
                    const std::string& client, const std::string& progId);
// This computer's name as Windows shows it (NetBIOS).
std::string ThisComputerName();
// The server computer of a route, for the fixes: `host`, or this computer for the
// local route, or the computer the class's DCOM settings name.
std::string ServerComputer(bool isLocal, const std::string& host);

// Fills a caller's structure (whose size was checked) from a recorded failure.
void FillError(const ChainFailure& failure, const std::string& server, const std::string& progId,
               KetraOPCError* out);

}  // namespace opc
}  // namespace ketra

#endif
