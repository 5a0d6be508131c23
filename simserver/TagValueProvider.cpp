#include "TagValueProvider.h"

#include "TagTable.h"

namespace simserver {

namespace {
volatile LONG g_liveProviders = 0;
}

int CSimRandom::Next() {
    kit::CritSecLock hold(lock_);
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFF);
}

unsigned int CSimRandom::State() {
    kit::CritSecLock hold(lock_);
    return state_;
}

void CSimRandom::Seed(unsigned int state) {
    kit::CritSecLock hold(lock_);
    state_ = state;
}

CSimRandom& TagRandom() {
    // Built on first use, which is before the engine has any thread that reads.
    static CSimRandom sequence;
    return sequence;
}

CTagValueProvider::CTagValueProvider() { InterlockedIncrement(&g_liveProviders); }

CTagValueProvider::~CTagValueProvider() { InterlockedDecrement(&g_liveProviders); }

long CTagValueProvider::LiveCount() { return InterlockedCompareExchange(&g_liveProviders, 0, 0); }

int CTagValueProvider::ReadTag(const char* name, FILETIME* timestamp, DWORD* quality,
                               VARIANT* value) {
    const SimulatedTag* tag = FindSimulatedTag(name);
    if (!tag) return 1;  // not ours: the caller's buffers stay as they were

    if (timestamp) {
        timestamp->dwLowDateTime = 0;
        timestamp->dwHighDateTime = 0;
    }
    if (quality) *quality = 0xC0;  // OPC_QUALITY_GOOD

    const int r = TagRandom().Next() % 10;
    kit::Variant number;
    number->vt = VT_R4;
    number->fltVal = static_cast<float>(r * tag->scale + tag->offset);
    // A caller that wants no value, or whose VARIANT cannot be cleared, simply
    // gets none; the draw still counts, as every read consumes one step.
    if (value && SUCCEEDED(VariantClear(value))) {
        *value = *number.get();
        VariantInit(number.get());
    }
    return 0;
}

void DestroyValueProvider(IValueProvider* provider) {
    if (!provider) return;
#if defined(_MSC_VER)
    delete provider;
#else
    provider->VcDeletingDestructor(1);
#endif
}

}  // namespace simserver
