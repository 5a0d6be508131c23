// Pieces shared by the two firewall generations inside FwSetup.dll.
#ifndef FWSETUP_FWINTERNAL_H
#define FWSETUP_FWINTERNAL_H

#include <windows.h>
#include <netfw.h>

#include "kit_com.h"

namespace fwsetup {

// Longest path or name accepted, in characters, terminator not counted.
const size_t kMaxText = 260;

// A caller's narrow text widened byte by byte into a fixed buffer.
struct WideText {
    wchar_t text[kMaxText + 1];
};

// Widens s byte for byte (each byte becomes the wide character of the same
// value, as the C library does in the "C" locale). False when s is null or
// longer than kMaxText; out is then untouched.
bool WidenBytes(const char* s, WideText& out);

// The file-name part of path without directory and extension, widened.
// path must already have passed WidenBytes (so it fits in kMaxText).
void EntryNameFromPath(const char* path, WideText& out);

// COM for one call: a single-threaded apartment unless the thread already
// lives in another one. Declare it before any interface holder so that every
// interface is released before COM is uninitialised.
class ComSession {
public:
    ComSession() : init_(COINIT_APARTMENTTHREADED) {}
    bool Ready() const { return SUCCEEDED(init_.result()) || init_.result() == RPC_E_CHANGED_MODE; }
private:
    kit::ComInit init_;
};

// CoCreateInstance in-process; a success without an object counts as failure.
template <class T>
bool CreateInProc(REFCLSID clsid, REFIID iid, kit::ComPtr<T>& out) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out.put_void());
    return SUCCEEDED(hr) && out;
}

// An interface-returning property read; a success without an object counts as failure.
template <class T>
bool Obtained(HRESULT hr, const kit::ComPtr<T>& p) {
    return SUCCEEDED(hr) && p;
}

int LegacyAddApp(const WideText& path, const WideText& entryName);
int LegacyAddPort(const WideText& name, LONG port);
int LegacyAllowExceptions();

int AdvancedAddApp(const WideText& path, const WideText& entryName);
int AdvancedAddPort(const WideText& name, LONG port);
int AdvancedAllowExceptions();

}  // namespace fwsetup

#endif
