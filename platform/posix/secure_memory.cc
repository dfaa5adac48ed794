// POSIX platform layer: SecureZeroMemory.
//
// Zeroes memory with explicit_bzero, a store the compiler may not remove
// even when the memory is released or never read again. Only the wiping of
// memory goes here; memory checks live in memory_checks.cc.
#include <string.h>

#include "win32_api.h"

// Neither call can throw, so no barrier is needed.
PVOID SecureZeroMemory(PVOID address, SIZE_T bytes) {
  if (bytes != 0) explicit_bzero(address, bytes);
  return address;
}
