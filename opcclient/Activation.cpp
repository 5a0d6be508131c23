#include "Activation.h"

namespace ketra {
namespace opc {

namespace {
// Sleep's own declaration differs in constness between SDKs; this adapter keeps
// the table's signature the same everywhere.
void WINAPI PlatformSleep(DWORD milliseconds) { ::Sleep(milliseconds); }

const ActivationTable kPlatform = {&::CLSIDFromProgID, &::CoCreateInstance, &::CoCreateInstanceEx,
                                   &PlatformSleep};
ActivationTable g_activation = kPlatform;
}  // namespace

ActivationTable& Activation() { return g_activation; }
const ActivationTable& DefaultActivation() { return kPlatform; }

}  // namespace opc
}  // namespace ketra
