#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "TagTable.h"
#include "TagValueProvider.h"
#include "kit_com.h"

using simserver::CSimRandom;
using simserver::CTagValueProvider;
using simserver::kSimulatedTags;
using simserver::TagRandom;

namespace {

// The values every Visual C++ program gets from rand() without srand().
const int kDefaultRandSequence[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};

TEST(SimRandom, StartsWithTheDefaultCRuntimeSequence) {
    CSimRandom sequence;
    for (int expected : kDefaultRandSequence) EXPECT_EQ(expected, sequence.Next());
}

TEST(SimRandom, StaysWithin15BitsAndReseedsExactly) {
    CSimRandom sequence;
    int highest = 0;
    for (int i = 0; i < 100000; ++i) highest = std::max(highest, sequence.Next());
    EXPECT_EQ(32767, highest);  // bit 15 is never set, but every lower bit is reached
    sequence.Seed(1);
    EXPECT_EQ(41, sequence.Next());
    EXPECT_EQ(2745024u, sequence.State());  // 1 * 214013 + 2531011
}

TEST(SimRandom, ThreadsShareOneSequenceWithoutDuplicatesOrLosses) {
    const int kThreads = 4;
    const int kDraws = 5000;
    CSimRandom shared;
    std::vector<std::vector<int>> drawn(kThreads);
    std::atomic<int> ready(0);  // all threads draw at the same time
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&shared, &drawn, &ready, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int i = 0; i < kDraws; ++i) drawn[t].push_back(shared.Next());
        });
    }
    for (auto& t : threads) t.join();

    CSimRandom reference;
    std::vector<int> expected;
    for (int i = 0; i < kThreads * kDraws; ++i) expected.push_back(reference.Next());
    std::vector<int> all;
    for (auto& d : drawn) all.insert(all.end(), d.begin(), d.end());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(all == expected);
    EXPECT_EQ(reference.State(), shared.State());
}

TEST(TagTable, SixteenRowsOf40BytesInOrder) {
    ASSERT_EQ(640u, sizeof(kSimulatedTags));
    const char* const names[16] = {
        "Bomba.1H.Aceleracion", "Bomba.1H.Velocidad", "Bomba.1V.Aceleracion", "Bomba.1V.Velocidad",
        "Bomba.2H.Aceleracion", "Bomba.2H.Velocidad", "Bomba.2V.Aceleracion", "Bomba.2V.Velocidad",
        "Motor.3H.Aceleracion", "Motor.3H.Velocidad", "Motor.3V.Aceleracion", "Motor.3V.Velocidad",
        "Motor.4H.Aceleracion", "Motor.4H.Velocidad", "Motor.4V.Aceleracion", "Motor.4V.Velocidad"};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(kSimulatedTags);
    for (int row = 0; row < 16; ++row) {
        const unsigned char* r = bytes + 40 * row;
        EXPECT_STREQ(names[row], reinterpret_cast<const char*>(r));
        for (size_t i = std::strlen(names[row]); i < 32; ++i) EXPECT_EQ(0, r[i]) << names[row];
        float offset, scale;
        std::memcpy(&offset, r + 32, 4);
        std::memcpy(&scale, r + 36, 4);
        EXPECT_EQ(static_cast<float>(row + 1), offset);
        EXPECT_EQ(0.1f, scale);
    }
}

struct ReadResult {
    int rc;
    FILETIME stamp;
    DWORD quality;
    VARTYPE vt;
    float value;
};

ReadResult Read(IValueProvider& provider, const char* name) {
    ReadResult out;
    out.stamp.dwLowDateTime = 0x1234;
    out.stamp.dwHighDateTime = 0x5678;
    out.quality = 77;
    kit::Variant value;
    value->vt = VT_I4;
    value->lVal = 42;
    out.rc = provider.ReadTag(name, &out.stamp, &out.quality, value.get());
    out.vt = value->vt;
    out.value = value->vt == VT_R4 ? value->fltVal : static_cast<float>(value->lVal);
    return out;
}

// The random unit behind a value of row `row` (1-based), or -1 if it is none.
int UnitOf(int row, float value) {
    for (int r = 0; r < 10; ++r) {
        if (std::fabs(value - (row + r / 10.0)) < 1e-5) return r;
    }
    return -1;
}

TEST(TagValueProvider, EachRowAnswersItsOwnRangeWithGoodQualityAndZeroTime) {
    CTagValueProvider provider;
    TagRandom().Seed(1);
    CSimRandom reference;
    for (int row = 1; row <= 16; ++row) {
        std::vector<int> seen(10, 0);
        for (int i = 0; i < 100; ++i) {
            ReadResult got = Read(provider, kSimulatedTags[row - 1].name);
            ASSERT_EQ(0, got.rc);
            ASSERT_EQ(VT_R4, got.vt);
            EXPECT_EQ(0u, got.stamp.dwLowDateTime);
            EXPECT_EQ(0u, got.stamp.dwHighDateTime);
            EXPECT_EQ(192u, got.quality);
            int unit = UnitOf(row, got.value);
            ASSERT_EQ(reference.Next() % 10, unit) << kSimulatedTags[row - 1].name << " " << got.value;
            ++seen[unit];
        }
        EXPECT_EQ(0, std::count(seen.begin(), seen.end(), 0)) << "row " << row;
    }
}

TEST(TagValueProvider, FirstReadsAfterStartFollowTheDefaultSequence) {
    CTagValueProvider provider;
    TagRandom().Seed(1);
    EXPECT_FLOAT_EQ(1.1f, Read(provider, "Bomba.1H.Aceleracion").value);  // 41
    EXPECT_FLOAT_EQ(2.7f, Read(provider, "Bomba.1H.Velocidad").value);    // 18467
    EXPECT_FLOAT_EQ(16.4f, Read(provider, "Motor.4V.Velocidad").value);   // 6334
    EXPECT_FLOAT_EQ(1.0f, Read(provider, "Bomba.1H.Aceleracion").value);  // 26500
}

TEST(TagValueProvider, UnknownNamesLeaveEveryBufferAndTheSequenceAlone) {
    CTagValueProvider provider;
    TagRandom().Seed(1);
    const char* const strangers[] = {"bomba.1H.Aceleracion", "BOMBA.1H.ACELERACION",
                                     "Bomba.1h.Aceleracion", "Bomba.1H.Aceleracion ",
                                     " Bomba.1H.Aceleracion", "Bomba.1H", "", "Motor.4V.Velocidad2",
                                     nullptr};
    for (const char* name : strangers) {
        ReadResult got = Read(provider, name);
        EXPECT_NE(0, got.rc) << (name ? name : "(null)");
        EXPECT_EQ(0x1234u, got.stamp.dwLowDateTime);
        EXPECT_EQ(0x5678u, got.stamp.dwHighDateTime);
        EXPECT_EQ(77u, got.quality);
        EXPECT_EQ(VT_I4, got.vt);
        EXPECT_EQ(42.0f, got.value);
    }
    EXPECT_EQ(1u, TagRandom().State());
}

TEST(TagValueProvider, NullValueStillAnswersAndDrawsOnce) {
    CTagValueProvider provider;
    TagRandom().Seed(1);
    FILETIME stamp = {1, 2};
    DWORD quality = 0;
    EXPECT_EQ(0, provider.ReadTag("Motor.3V.Velocidad", &stamp, &quality, nullptr));
    EXPECT_EQ(0u, stamp.dwLowDateTime);
    EXPECT_EQ(0u, stamp.dwHighDateTime);
    EXPECT_EQ(192u, quality);
    EXPECT_EQ(18467, TagRandom().Next());  // the read took 41

    // An engine that passes no storage for the time or the quality still gets its value.
    kit::Variant value;
    EXPECT_EQ(0, provider.ReadTag("Motor.3V.Velocidad", nullptr, nullptr, value.get()));
    EXPECT_EQ(VT_R4, value->vt);
    EXPECT_FLOAT_EQ(12.4f, value->fltVal);  // 6334
}

TEST(TagValueProvider, OldValueIsClearedAndAnUnclearableOneIsKept) {
    CTagValueProvider provider;
    FILETIME stamp;
    DWORD quality = 0;

    kit::Variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(L"old");
    EXPECT_EQ(0, provider.ReadTag("Bomba.2V.Velocidad", &stamp, &quality, text.get()));
    EXPECT_EQ(VT_R4, text->vt);
    EXPECT_GE(text->fltVal, 8.0f);
    EXPECT_LE(text->fltVal, 8.9f + 1e-5f);

    // VariantClear refuses an unknown type: the number is dropped, the rest answered.
    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 0x7FF;
    odd.lVal = 5;
    quality = 0;
    EXPECT_EQ(0, provider.ReadTag("Bomba.2V.Velocidad", &stamp, &quality, &odd));
    EXPECT_EQ(0x7FF, odd.vt);
    EXPECT_EQ(5, odd.lVal);
    EXPECT_EQ(192u, quality);
}

TEST(TagValueProvider, ConcurrentReadsConsumeOneSequence) {
    CTagValueProvider provider;
    TagRandom().Seed(1);
    const int kThreads = 4;
    const int kReads = 2000;
    std::vector<std::vector<int>> units(kThreads);
    std::atomic<int> ready(0);  // all threads draw at the same time
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&provider, &units, &ready, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int i = 0; i < kReads; ++i) {
                int row = (t * 5 + i) % 16 + 1;
                kit::Variant value;
                FILETIME stamp;
                DWORD quality;
                if (provider.ReadTag(kSimulatedTags[row - 1].name, &stamp, &quality, value.get()) != 0 ||
                    value->vt != VT_R4) {
                    units[t].push_back(-1);
                } else {
                    units[t].push_back(UnitOf(row, value->fltVal));
                }
            }
        });
    }
    for (auto& t : threads) t.join();

    CSimRandom reference;
    std::vector<int> expected(10, 0);
    for (int i = 0; i < kThreads * kReads; ++i) ++expected[reference.Next() % 10];
    std::vector<int> got(10, 0);
    for (auto& u : units) {
        for (int unit : u) {
            ASSERT_GE(unit, 0);
            ++got[unit];
        }
    }
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(reference.State(), TagRandom().State());
}

// Slot order as a Visual C++ caller sees it: a plain table of __thiscall entries.
#if defined(_MSC_VER)
// Visual C++ takes __thiscall on members only; __fastcall with an unused second
// register argument puts `this` in ecx the same way.
typedef void*(__fastcall* DeletingDtor)(void* self, void* unused, unsigned flags);
typedef int(__fastcall* ReadTagEntry)(void* self, void* unused, const char*, FILETIME*, DWORD*, VARIANT*);
#define VC_CALL(fn, self, ...) fn(self, nullptr, __VA_ARGS__)
#else
typedef void*(__thiscall* DeletingDtor)(void* self, unsigned flags);
typedef int(__thiscall* ReadTagEntry)(void* self, const char*, FILETIME*, DWORD*, VARIANT*);
#define VC_CALL(fn, self, ...) fn(self, __VA_ARGS__)
#endif
struct VcProviderVtbl {
    DeletingDtor deletingDestructor;  // slot 0
    ReadTagEntry readTag;             // slot 1
};

TEST(TagValueProvider, HasTheVisualCppSlotLayout) {
    const long before = CTagValueProvider::LiveCount();
    IValueProvider* provider = new CTagValueProvider;
    void* self = provider;
    const VcProviderVtbl* vtbl = *static_cast<VcProviderVtbl**>(self);

    kit::Variant value;
    FILETIME stamp;
    DWORD quality = 0;
    EXPECT_EQ(0, VC_CALL(vtbl->readTag, self, "Motor.4H.Velocidad", &stamp, &quality, value.get()));
    EXPECT_EQ(192u, quality);
    EXPECT_EQ(VT_R4, value->vt);
    EXPECT_NE(0, VC_CALL(vtbl->readTag, self, "nada", &stamp, &quality, value.get()));

    EXPECT_EQ(before + 1, CTagValueProvider::LiveCount());
    EXPECT_EQ(self, VC_CALL(vtbl->deletingDestructor, self, 1u));  // `delete p` from Visual C++
    EXPECT_EQ(before, CTagValueProvider::LiveCount());
}

}  // namespace
