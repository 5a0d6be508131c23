// The text of an HRESULT for the library's log lines. The error object makes the
// text on first use and owns it, so `ComErrorText(hr)` may be passed straight to
// a "%s" of a log call: the temporary lives until the call has formatted it.
#ifndef KETRA_COMERRORTEXT_H
#define KETRA_COMERRORTEXT_H

#include <windows.h>
#include <oaidl.h>

namespace ketra {
namespace opc {

class ComError {
public:
    explicit ComError(HRESULT hr, IErrorInfo* info = nullptr);
    ComError(const ComError& other);
    ComError& operator=(const ComError&) = delete;
    virtual ~ComError();

    HRESULT Error() const { return hr_; }
    // Null only when even the short fallback text could not be allocated.
    const char* ErrorMessage() const;

private:
    HRESULT hr_;
    IErrorInfo* info_;
    mutable char* text_;
    mutable bool fromSystem_;
};

// Thrown by the library's own helpers for a failure that carries only a code
// (allocation of a string for a COM call, for instance).
struct HResultError {
    HRESULT hr;
};

inline const char* ComErrorText(const ComError& e) { return e.ErrorMessage(); }

}  // namespace opc
}  // namespace ketra

#endif
