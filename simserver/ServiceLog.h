// The service's daily log: LOGGS\ZubOpcSrv@dd-mm-yyyy.log under the current
// directory, one "date time<TAB>message" line per event.
#ifndef SIMSERVER_SERVICE_LOG_H
#define SIMSERVER_SERVICE_LOG_H

#include <windows.h>

namespace simserver {

// Where the log takes "now" from. Tests put a fixed clock here to reach the
// midnight roll-over; the service uses GetLocalTime.
typedef void (*LocalClock)(SYSTEMTIME* now);
void SetLogClock(LocalClock clock);  // null restores GetLocalTime

// Formats the message printf-style and appends it to today's file. An empty
// message, or one of 255 characters or more, is dropped; so is a line whose file
// cannot be opened. The service writes from its own thread only.
void LogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace simserver

#endif
