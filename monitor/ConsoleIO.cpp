#include "ConsoleIO.h"

#include <conio.h>
#include <cstdio>

namespace krelmon {

namespace {
const DWORD kClearedCells = 8192;
}

// Text still in the C runtime's buffer would land wherever the cursor is moved
// next: every console call flushes first.
void ConsoleIO::Clear() {
    std::fflush(stdout);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    COORD origin = {0, 0};
    DWORD written = 0;
    FillConsoleOutputCharacterA(out, ' ', kClearedCells, origin, &written);
    SetConsoleCursorPosition(out, origin);
}

void ConsoleIO::MoveTo(short column, short row) {
    std::fflush(stdout);
    COORD at = {column, row};
    SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), at);
}

void ConsoleIO::Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

bool ConsoleIO::KeyPressed() { return _kbhit() != 0; }

void ConsoleIO::WaitForKey() { _getch(); }

void ConsoleIO::Sleep(DWORD ms) { ::Sleep(ms); }

}  // namespace krelmon
