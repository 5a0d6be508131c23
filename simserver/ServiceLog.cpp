#include "ServiceLog.h"

#include <cstdarg>
#include <cstdio>

namespace simserver {

namespace {

void SystemLocalClock(SYSTEMTIME* now) { GetLocalTime(now); }

LocalClock g_clock = SystemLocalClock;

const int kMaxMessage = 255;  // this many characters or more are not logged

}  // namespace

void SetLogClock(LocalClock clock) { g_clock = clock ? clock : SystemLocalClock; }

void LogLine(const char* format, ...) {
    if (!format) return;
    char message[kMaxMessage + 1];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length <= 0 || length >= kMaxMessage) return;

    SYSTEMTIME now;
    g_clock(&now);
    char date[16];
    char time[16];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", now.wDay, now.wMonth, now.wYear);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);

    // Relative on purpose: the log lives beside wherever the service runs.
    CreateDirectoryA("LOGGS", nullptr);
    char path[64];
    std::snprintf(path, sizeof path, "LOGGS\\ZubOpcSrv@%s.log", date);
    FILE* file = std::fopen(path, "a+t");
    if (!file) return;
    std::fprintf(file, "%s %s\t%s\n", date, time, message);
    std::fclose(file);
}

}  // namespace simserver
