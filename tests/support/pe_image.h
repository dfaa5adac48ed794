// A minimal Windows module image (PE32+) carrying a version resource, for
// tests that read file versions on either platform.
#pragma once

#include <cstdint>
#include <string>

namespace kvtr::test {

// The bytes of a module whose fixed file version is a.b.c.d.
std::string VersionedModuleImage(uint16_t a, uint16_t b, uint16_t c, uint16_t d);
// The same module without any resources.
std::string UnversionedModuleImage();

}  // namespace kvtr::test
