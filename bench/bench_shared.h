// Identities shared by the engine benchmark and its host process.
#ifndef KETRA_BENCH_SHARED_H
#define KETRA_BENCH_SHARED_H

#include <windows.h>

// The engine under measurement. {9C2E4F61-3B7A-4D85-A1C9-5E0F2B6D8A13}
static const CLSID CLSID_BenchEngine = {0x9C2E4F61, 0x3B7A, 0x4D85, {0xA1, 0xC9, 0x5E, 0x0F, 0x2B, 0x6D, 0x8A, 0x13}};
// The same IOPCSyncIO call on an object that does nothing else. {9C2E4F62-3B7A-4D85-A1C9-5E0F2B6D8A13}
static const CLSID CLSID_BenchMinimal = {0x9C2E4F62, 0x3B7A, 0x4D85, {0xA1, 0xC9, 0x5E, 0x0F, 0x2B, 0x6D, 0x8A, 0x13}};

#define BENCH_READY_EVENT L"KetraEngineBench.Ready"
#define BENCH_EXIT_EVENT L"KetraEngineBench.Exit"

#endif
