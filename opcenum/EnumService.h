// The program as a Windows service: it publishes the server list's class object
// from its start to its stop.
#ifndef KRELENUM_ENUM_SERVICE_H
#define KRELENUM_ENUM_SERVICE_H

namespace krelenum {

// StartServiceCtrlDispatcherA with the one service; false when the program was
// not started by the service manager.
bool RunServiceDispatcher();

}  // namespace krelenum

#endif
