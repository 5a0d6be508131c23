// What the console says when a connection fails: the failing step, its code and
// the fix under "Error de conexion"; and OPC.Krel.Client.exe /Diag, the whole
// chain step by step on screen and in OPC.Krel.Diag.txt.
#ifndef KREL_DIAGNOSIS_H
#define KREL_DIAGNOSIS_H

#include <string>

#include "Monitor.h"

namespace krelmon {

extern const char kDiagSwitch[];      // "/Diag"
extern const char kReportFileName[];  // "OPC.Krel.Diag.txt"

// The lines shown under "Error de conexion" for a failed connect (each ends in
// '\n'); just the pointer to /Diag when the library gave no code.
std::string WhyLines(const KetraOPCError& error);

// One step of /Diag as it is shown and written: its line, then its findings,
// code and fix indented.
std::string StepText(const KetraDiagStep& step);

typedef LONG(__stdcall* DiagRunner)(const char* progId, const char* host, KetraDiagCallback callback,
                                    void* context);

// Writes `text` (lines ending in '\n') as `name` in `directory`, or in the
// temporary folder when that cannot be written; the path written, "" if none.
std::string WriteReport(const std::string& text, const char* directory, const char* name);

// /Diag: runs the diagnosis, shows each step as it ends, writes the report beside
// the program (`programDirectory`) and returns the exit code: 0 when no step
// failed, else the number of the first failed step.
int RunDiagnosis(IConsoleIO& io, DiagRunner runner, const char* progId, const char* host,
                 const char* programDirectory);

}  // namespace krelmon

#endif
