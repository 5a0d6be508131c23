#include "ComErrorText.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace ketra {
namespace opc {

ComError::ComError(HRESULT hr, IErrorInfo* info)
    : hr_(hr), info_(info), text_(nullptr), fromSystem_(false) {
    if (info_) info_->AddRef();
}

ComError::ComError(const ComError& other)
    : hr_(other.hr_), info_(other.info_), text_(nullptr), fromSystem_(false) {
    if (info_) info_->AddRef();
}

ComError::~ComError() {
    if (text_) {
        if (fromSystem_) LocalFree(text_);
        else delete[] text_;
    }
    if (info_) info_->Release();
}

const char* ComError::ErrorMessage() const {
    if (text_) return text_;
    char* message = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, static_cast<DWORD>(hr_), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<char*>(&message), 0, nullptr);
    if (n > 0 && message) {
        size_t len = std::strlen(message);
        // System texts end in CR LF; a log line must not.
        if (len > 1 && message[len - 1] == '\n') {
            message[--len] = '\0';
            if (message[len - 1] == '\r') message[--len] = '\0';
        }
        text_ = message;
        fromSystem_ = true;
        return text_;
    }
    if (message) LocalFree(message);
    text_ = new (std::nothrow) char[32];
    if (!text_) return nullptr;
    unsigned long code = static_cast<unsigned long>(hr_);
    // Number 0 of the range has no IDispatch error of its own.
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        std::snprintf(text_, 32, "IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::snprintf(text_, 32, "Unknown error 0x%0lX", code);
    fromSystem_ = false;
    return text_;
}

}  // namespace opc
}  // namespace ketra
