// Walking a va_list: a cursor that can be passed by reference on every ABI,
// and the address of the storage the next argument is read from.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "common_utils/format/format_directive.h"

namespace kvtr::format {

// A va_list wrapped so helpers can advance it through a reference: a bare
// va_list parameter is an array on some ABIs and a pointer on others, so
// passing one by value does not behave the same everywhere.
struct ArgumentCursor {
  va_list list;

  explicit ArgumentCursor(va_list source) { va_copy(list, source); }
  ~ArgumentCursor() { va_end(list); }
  ArgumentCursor(const ArgumentCursor&) = delete;
  ArgumentCursor& operator=(const ArgumentCursor&) = delete;
};

// The address the next va_arg of class `cls` will read, without advancing.
// Null when this ABI is not known here; the caller then checks the copy it
// fetched instead, which is always readable (the check degrades to a no-op).
//
// Windows (x86 and x64) and 32-bit x86 cdecl: a va_list is a plain pointer
// to the next argument slot (4-byte slots on x86 with 8-byte doubles and
// 64-bit integers; 8-byte slots on x64).
//
// System V x86-64: the va_list is {gp_offset, fp_offset, overflow_arg_area,
// reg_save_area}. The first six integer/pointer arguments sit in the
// register save area at gp_offset (8 bytes each, up to offset 48); the
// first eight doubles at fp_offset (16 bytes per XMM register, from 48 up
// to 176). Past those, arguments follow one another in 8-byte slots at
// overflow_arg_area.
inline const void* NextArgumentSlot(va_list& list, ArgClass cls) noexcept {
#if defined(_WIN32) && (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86))
  (void)cls;
  return list;
#elif defined(__i386__)
  (void)cls;
  return list;
#elif defined(__x86_64__)
  struct SysVList {
    unsigned gpOffset;
    unsigned fpOffset;
    char* overflowArgArea;
    char* regSaveArea;
  };
  static_assert(sizeof(va_list) == sizeof(SysVList), "unexpected System V va_list");
  SysVList state;
  std::memcpy(&state, &list[0], sizeof state);
  if (cls == ArgClass::kDouble) {
    if (state.fpOffset <= 176 - 16) return state.regSaveArea + state.fpOffset;
  } else if (state.gpOffset <= 48 - 8) {
    return state.regSaveArea + state.gpOffset;
  }
  return state.overflowArgArea;
#else
  (void)list;
  (void)cls;
  return nullptr;
#endif
}

// Memory known to be readable because `source` was just read through it:
// on System V x86-64 a va_list parameter points at the caller's va_list
// object. Null where a va_list is a plain value.
inline const void* ListObject(va_list source) noexcept {
#if defined(__x86_64__) && !defined(_WIN32)
  return source;
#else
  (void)source;
  return nullptr;
#endif
}

// Takes the next argument of class `cls` and returns its bits: an int slot
// zero-extended, a double's IEEE bits, a pointer's value.
inline uint64_t FetchArgumentBits(va_list& list, ArgClass cls) noexcept {
  switch (cls) {
    case ArgClass::kInt32:
      return static_cast<uint32_t>(va_arg(list, int));
    case ArgClass::kInt64:
      return static_cast<uint64_t>(va_arg(list, long long));
    case ArgClass::kDouble: {
      const double value = va_arg(list, double);
      uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      return bits;
    }
    case ArgClass::kPointer:
    default:
      return reinterpret_cast<uintptr_t>(va_arg(list, void*));
  }
}

}  // namespace kvtr::format
