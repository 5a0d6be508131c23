// The benchmarks' one clock: the performance counter, read as seconds,
// milliseconds or microseconds.
#pragma once

#include <windows.h>

namespace benchclock {

inline double Seconds() {
    static const double perSecond = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / perSecond;
}

inline double Ms() { return Seconds() * 1e3; }
inline double Us() { return Seconds() * 1e6; }

}  // namespace benchclock
