// A throw-away emulated machine for a fuzz target: a fresh prefix in /tmp,
// removed when the process exits.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/posix/emulation.h"

namespace kvtr::fuzz {

inline void UseFreshPrefix() {
  static std::string directory;
  char pattern[] = "/tmp/kvtr-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr || !KvtrEmu_UsePrefix(pattern)) {
    std::fprintf(stderr, "cannot make a prefix in /tmp\n");
    std::abort();
  }
  directory = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  });
}

// Ends the run as a finding (libFuzzer saves the input).
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "kvtr fuzz: %s\n", what);
  std::abort();
}

}  // namespace kvtr::fuzz
