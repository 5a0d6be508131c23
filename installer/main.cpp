// OPC.Krel.Inst.exe: a windowed program that never opens a window of its own;
// it only shows message boxes and ends with 0 (success) or -1 (failure).
#include "Installer.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    return krelinst::RunInstaller(krelinst::RealPlatform(), commandLine);
}
