#include "ReceiveData.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

COPCReceiveData::COPCReceiveData() {}

COPCReceiveData::~COPCReceiveData() {}

void COPCReceiveData::ReceiveNotice(DWORD) {}

const char* COPCReceiveData::LevelPrefix(int level) {
    switch (level) {
    case LogDebug: return "DBG: ";
    case LogInfo: return "LOG: ";
    case LogWarning: return "WAR: ";
    case LogError: return "ERR: ";
    default: return nullptr;
    }
}

void COPCReceiveData::Log(int level, const char* format, ...) {
    kit::CritSecLock lock(logLock);
    char buffer[kLineBuffer];
    std::memset(buffer, 0, sizeof buffer);
    if (const char* prefix = LevelPrefix(level)) lastLine = prefix;
    va_list args;
    va_start(args, format);
    // At most kTextLimit characters; the zeroed buffer keeps the text terminated.
    std::vsnprintf(buffer, kTextLimit + 1, format ? format : "", args);
    va_end(args);
    lastLine += buffer;
}

std::string COPCReceiveData::LastLine() {
    kit::CritSecLock lock(logLock);
    return lastLine;
}
