// The real console: the standard output handle, the C runtime's keyboard
// polling and Sleep.
#ifndef KREL_CONSOLEIO_H
#define KREL_CONSOLEIO_H

#include "Monitor.h"

namespace krelmon {

class ConsoleIO : public IConsoleIO {
public:
    void Clear() override;
    void MoveTo(short column, short row) override;
    void Print(const char* text) override;
    bool KeyPressed() override;
    void WaitForKey() override;
    void Sleep(DWORD ms) override;
    short Columns() override;
};

}  // namespace krelmon

#endif
