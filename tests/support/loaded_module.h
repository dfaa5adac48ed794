// The built module loaded at run time, as a host loads it: kvtr.dll next to
// the test program on Windows, the built libkvtr.so elsewhere.
#pragma once

#include "platform/loaded_library.h"

namespace kvtr::test {

#ifdef _WIN32
#define KVTR_TEST_LIBRARY L"kvtr.dll"
#else
#define KVTR_TEST_LIBRARY u"" KVTR_LIBRARY_FILE
#endif

class LoadedModule : public LoadedLibrary {
 public:
  LoadedModule() : LoadedLibrary(KVTR_TEST_LIBRARY) {}
};

}  // namespace kvtr::test
