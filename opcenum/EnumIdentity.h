// Who the server-list stand-in is to the service manager and to COM: shared by the
// program and by the installer, which registers it.
#ifndef KRELENUM_ENUM_IDENTITY_H
#define KRELENUM_ENUM_IDENTITY_H

// The Windows service, which COM starts through the AppID's LocalService value.
#define KRELENUM_SERVICE_NAME "OPC Krel Enum"
#define KRELENUM_FILE_NAME "OPC.Krel.Enum.exe"

// Service-specific exit codes of a failed start (sc query shows them).
#define KRELENUM_NO_COM 1101          // CoInitializeEx failed
#define KRELENUM_NO_CLASS_OBJECT 1102 // the class object could not be published

#endif
