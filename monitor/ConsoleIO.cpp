#include "ConsoleIO.h"

#include <conio.h>
#include <cstdio>
#include <string>

#include "kit_com.h"

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
    // The texts are in the ANSI code page, and a console reads bytes in its own
    // (OEM) one: on a Spanish Windows (1252 and 850) an n with tilde would show
    // as a plus-minus sign. Wide text shows the same on any console.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        std::wstring wide = kit::WideFromAnsi(text);
        DWORD written = 0;
        std::fflush(stdout);
        if (wide.empty() || WriteConsoleW(out, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr))
            return;
    }
    // Not a console (output redirected to a file or a pipe): the bytes as they are.
    std::fputs(text, stdout);
    std::fflush(stdout);
}

bool ConsoleIO::KeyPressed() { return _kbhit() != 0; }

void ConsoleIO::WaitForKey() { _getch(); }

void ConsoleIO::Sleep(DWORD ms) { ::Sleep(ms); }

short ConsoleIO::Columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) || info.dwSize.X <= 0)
        return kDefaultColumns;  // not a console: a file or a pipe takes what a console would
    return info.dwSize.X;
}

}  // namespace krelmon
