// The 16 simulated tags the service declares to the server engine and answers
// values for. The table is constant for the life of the process, so any thread
// may read it without a lock.
#ifndef SIMSERVER_TAG_TABLE_H
#define SIMSERVER_TAG_TABLE_H

#include <cstddef>

namespace simserver {

// One row: item ID, base value and the step per random unit. The fixed 40-byte
// shape (32-byte name field, two 32-bit floats) is kept so the table reads the
// same in a memory dump as the rows documented for the kit.
struct SimulatedTag {
    char name[32];
    float offset;
    float scale;
};
static_assert(sizeof(SimulatedTag) == 40, "a tag row is 40 bytes");

const std::size_t kSimulatedTagCount = 16;
extern const SimulatedTag kSimulatedTags[kSimulatedTagCount];

// The first row whose name equals `name` byte for byte (case matters), or null.
const SimulatedTag* FindSimulatedTag(const char* name);

}  // namespace simserver

#endif
