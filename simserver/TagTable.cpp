#include "TagTable.h"

#include <cstring>

namespace simserver {

const SimulatedTag kSimulatedTags[kSimulatedTagCount] = {
    {"Bomba.1H.Aceleracion", 1.0f, 0.1f},
    {"Bomba.1H.Velocidad", 2.0f, 0.1f},
    {"Bomba.1V.Aceleracion", 3.0f, 0.1f},
    {"Bomba.1V.Velocidad", 4.0f, 0.1f},
    {"Bomba.2H.Aceleracion", 5.0f, 0.1f},
    {"Bomba.2H.Velocidad", 6.0f, 0.1f},
    {"Bomba.2V.Aceleracion", 7.0f, 0.1f},
    {"Bomba.2V.Velocidad", 8.0f, 0.1f},
    {"Motor.3H.Aceleracion", 9.0f, 0.1f},
    {"Motor.3H.Velocidad", 10.0f, 0.1f},
    {"Motor.3V.Aceleracion", 11.0f, 0.1f},
    {"Motor.3V.Velocidad", 12.0f, 0.1f},
    {"Motor.4H.Aceleracion", 13.0f, 0.1f},
    {"Motor.4H.Velocidad", 14.0f, 0.1f},
    {"Motor.4V.Aceleracion", 15.0f, 0.1f},
    {"Motor.4V.Velocidad", 16.0f, 0.1f},
};
static_assert(sizeof(kSimulatedTags) == 640, "the tag table is 16 rows of 40 bytes");

const SimulatedTag* FindSimulatedTag(const char* name) {
    if (!name) return nullptr;
    for (const SimulatedTag& tag : kSimulatedTags) {
        if (std::strcmp(tag.name, name) == 0) return &tag;
    }
    return nullptr;
}

}  // namespace simserver
