// Visual C++ vtable layout for interfaces that cross a DLL boundary.
//
// Visual C++ gives a virtual destructor one vtable slot (the "scalar deleting
// destructor", a __thiscall taking one unsigned flags argument; bit 0 set means
// "free the memory too"). GCC gives it two slots (complete and deleting), which
// shifts every later slot. A header that must mean the same layout to both
// compilers therefore declares slot 0 with KIT_VC_DESTRUCTOR_SLOT, and every
// concrete class built by GCC fills it with KIT_VC_DESTRUCTOR_IMPL.
//
// Member functions are __thiscall under both compilers on i686 (GCC's default for
// MinGW targets), so the remaining slots need no annotation.
#ifndef KIT_VCABI_H
#define KIT_VCABI_H

#if defined(_MSC_VER)

#define KIT_VC_DESTRUCTOR_SLOT(Interface) \
public:                                    \
    virtual ~Interface() {}

#define KIT_VC_DESTRUCTOR_IMPL(Class)

#else

#define KIT_VC_DESTRUCTOR_SLOT(Interface)                                   \
public:                                                                     \
    virtual void* VcDeletingDestructor(unsigned int flags) = 0;             \
protected:                                                                  \
    ~Interface() {}                                                         \
public:

// Runs the real destructor and frees the memory when asked, exactly as the
// Visual C++ scalar deleting destructor does for a caller that says `delete p`.
#define KIT_VC_DESTRUCTOR_IMPL(Class)                                       \
public:                                                                     \
    void* VcDeletingDestructor(unsigned int flags) override {               \
        this->~Class();                                                     \
        if (flags & 1) ::operator delete(static_cast<void*>(this));         \
        return this;                                                        \
    }

#endif

#endif
