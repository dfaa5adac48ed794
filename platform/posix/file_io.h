// POSIX platform layer: whole reads and writes of a descriptor, finishing
// what an interrupted (EINTR) or short call left. errno tells why one
// failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kvtr::posix {

// Writes all of `text` at the descriptor's position.
bool WriteAll(int fd, std::string_view text);
// Writes the pieces one after the other from `offset`, in one call when the
// system takes them whole.
bool WriteAllAt(int fd, uint64_t offset, std::initializer_list<std::string_view> pieces);
// Appends everything from the descriptor's position to its end.
bool ReadAll(int fd, std::string* text);
// Up to `count` bytes from `offset` (fewer at the end of the file).
bool ReadAt(int fd, uint64_t offset, size_t count, std::string* text);

}  // namespace kvtr::posix
