// Identity and address space of the out-of-process OPC DA test server
// (opc_oop_server.exe). Tests that talk to it across processes share these.
#ifndef KIT_OOP_SERVER_H
#define KIT_OOP_SERVER_H

#include <windows.h>

// {B7A4E1D2-5C3F-4A9B-8E61-0F2D7C94A315}
static const CLSID CLSID_KitOopTestServer =
    {0xB7A4E1D2, 0x5C3F, 0x4A9B, {0x8E, 0x61, 0x0F, 0x2D, 0x7C, 0x94, 0xA3, 0x15}};
#define KIT_OOP_PROGID L"Krel.OopTest.1"
#define KIT_OOP_PROGID_A "Krel.OopTest.1"
#define KIT_OOP_EXE L"opc_oop_server.exe"

// Fixed values, so that a test can check every byte that crosses.
#define KIT_OOP_FIXED_REAL 2.5f
#define KIT_OOP_FIXED_TEXT L"Texto \u00f1and\u00fa"
#define KIT_OOP_FIXED_BYTE 65
#define KIT_OOP_TIME_LOW 0x89ABCDEFu
#define KIT_OOP_TIME_HIGH 0x01D9ABCDu
#define KIT_OOP_VENDOR L"Krel out-of-process test server"
#define KIT_OOP_MAJOR 3
#define KIT_OOP_MINOR 0
#define KIT_OOP_BUILD 7

// "Simul.Real" of row k changes on every read: 1.0 + (reads % 10) / 10.

#endif
