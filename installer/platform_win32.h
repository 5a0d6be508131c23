#ifndef KREL_INST_PLATFORM_WIN32_H
#define KREL_INST_PLATFORM_WIN32_H

#include "Installer.h"

namespace krelinst {

// Sets every Windows entry of the table to the real call; leaves the engine and
// FwSetup entries alone.
void FillWin32Calls(InstallerPlatform& platform);

}  // namespace krelinst

#endif
