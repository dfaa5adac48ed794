// The performance class table: the product's four WMI performance classes
// and the MOF file that defines each.
#pragma once

#include <cstddef>

namespace kvtr::installer {

struct PerfClass {
  char className[255];
  char mofFileName[255];
};

extern const PerfClass kPerfClassTable[4];

// The row whose class name equals `className` without regard to letter
// case, or null.
const PerfClass* FindPerfClass(const char* className);

}  // namespace kvtr::installer
