// What the outputs print the same way.
#pragma once

#include <cstdint>

namespace kvtr::logger {

// The code shown at the start of a line: the event id's low 16 bits, or
// the level × 10000 for an entry without an event id.
// Formatted with %lu, which takes 32 bits in the Microsoft conventions.
inline uint32_t EntryCode(int32_t level, int32_t eventId) {
  return eventId != 0 ? static_cast<uint32_t>(eventId) & 0xFFFFu : static_cast<uint32_t>(level) * 10000u;
}

// An output takes an entry whose level is at most its own, or 5.
inline bool PassesLevel(int32_t level, int32_t outputLevel) { return level <= outputLevel || level == 5; }

}  // namespace kvtr::logger
