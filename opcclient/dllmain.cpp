// The library has no start-up work of its own: client objects are made and
// destroyed by the two exports alone.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
