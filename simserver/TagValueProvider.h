// The value provider the service hands to the server engine, and the random
// sequence behind the simulated values.
#ifndef SIMSERVER_TAG_VALUE_PROVIDER_H
#define SIMSERVER_TAG_VALUE_PROVIDER_H

#include <windows.h>
#include <oaidl.h>

#include "KetraOPCServer.h"
#include "kit_com.h"

namespace simserver {

// The classic C-library linear congruential generator (state * 214013 + 2531011,
// bits 16-30 of the new state), kept by ourselves: the C runtime's rand() keeps
// one state per thread on Windows, while the engine calls ReadTag from any of its
// threads and all tags must share one sequence in the order of the reads.
class CSimRandom {
public:
    static const unsigned int kInitialState = 1;

    CSimRandom() : state_(kInitialState) {}
    CSimRandom(const CSimRandom&) = delete;
    CSimRandom& operator=(const CSimRandom&) = delete;

    // 0 to 32767; one step of the sequence, serialised across threads.
    int Next();
    unsigned int State();
    // The service never reseeds; tests do, to compare against known sequences.
    void Seed(unsigned int state);

private:
    kit::CritSec lock_;
    unsigned int state_;
};

// The one sequence every ReadTag of the process draws from.
CSimRandom& TagRandom();

// Answers the engine's value requests from the constant tag table: a fresh value
// k.0 ... k.9 for row k, good quality, zero timestamp. Holds no data of its own.
class CTagValueProvider : public IValueProvider {
public:
    CTagValueProvider();
    ~CTagValueProvider();
    CTagValueProvider(const CTagValueProvider&) = delete;
    CTagValueProvider& operator=(const CTagValueProvider&) = delete;

    int ReadTag(const char* name, FILETIME* timestamp, DWORD* quality, VARIANT* value) override;

    // Providers alive in this process; lets tests see when the host destroyed one.
    static long LiveCount();

    KIT_VC_DESTRUCTOR_IMPL(CTagValueProvider)
};

// Destroys a provider through slot 0, the way a Visual C++ host says `delete p`
// on the interface.
void DestroyValueProvider(IValueProvider* provider);

}  // namespace simserver

#endif
