// The receiver through which the connection engine reports: log lines and
// connection-state changes. COPCClient replaces Log with its caller's callback;
// a receiver that keeps the base Log collects the last line in lastLine.
#ifndef KETRA_RECEIVEDATA_H
#define KETRA_RECEIVEDATA_H

#include <windows.h>

#include <string>

#include "kit_com.h"

#if defined(__GNUC__)
#define KETRA_PRINTF_MEMBER(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define KETRA_PRINTF_MEMBER(fmt, args)
#endif

enum LogLevel : int {
    LogDebug = -1,
    LogInfo = 0,
    LogWarning = 1,
    LogError = 2
};

class COPCReceiveData {
public:
    COPCReceiveData();
    virtual ~COPCReceiveData();

    virtual void ReceiveData(DWORD a, DWORD b, DWORD c, DWORD d, DWORD e) = 0;
    virtual void ReceiveNotice(DWORD notice);
    virtual void Log(int level, const char* format, ...) KETRA_PRINTF_MEMBER(3, 4);
    virtual void StateChanged(int state, const char* text) = 0;

    std::string LastLine();

    // The five-character prefix of a level, or null for a level without one.
    static const char* LevelPrefix(int level);

    // The sizes of a log line: the buffer on the stack and the room for the
    // formatted text (terminator included) behind the prefix.
    static const size_t kLineBuffer = 4096;
    static const size_t kTextLimit = 4000;

protected:
    kit::CritSec logLock;
    std::string lastLine;
};

#endif
