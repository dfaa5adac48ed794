// A fresh emulated machine (Linux) or a throw-away corner of the real one
// (Windows, Wine) for each test, and the helpers that let one test source
// run on both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

// True when the test program runs under Wine.
bool RunningUnderWine();

// Names a documented place where Wine's answer differs from Windows'.
// Returns true under Wine, where the caller then checks Wine's answer (not
// nothing); the POSIX layer and Windows are held to Windows' answer. Each
// deviation taken is recorded as a property of the running test and printed
// on its output.
bool WineDiffers(const char* what);

// Names a documented place where Wine's i386 half (a 32-bit program under
// Wine) differs from Windows where Wine's x86_64 half does not. True there.
bool Wine32Differs(const char* what);

// Names a place where the i386 Wine under qemu-user (the test command's x86
// phase) departs from Wine itself because of the emulator. True there, where
// the caller then checks, or avoids, what the emulator does.
bool EmulatorDiffers(const char* what);

// Names a documented place where the POSIX layer departs from Windows on
// purpose (it never reads past a caller's buffer, for one). Returns true on
// the layer, where the caller then checks the layer's answer; Windows and
// Wine are held to Windows' answer.
bool LayerDiffers(const char* what);

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // A key below HKEY_CURRENT_USER that exists, empty, for this test only.
  const std::string& ScratchKey() const { return scratchKey_; }
  // A folder that exists, empty, for this test only ("C:\kvtr-tests\...").
  const WString& ScratchFolder() const { return scratchFolder_; }

  // File system helpers for Windows paths (mapped into the prefix on Linux).
  static bool MakeFolder(const WString& path);
  static bool WriteFile(const WString& path, std::string_view bytes);
  // The file's bytes; empty when it cannot be read.
  static std::string ReadFile(const WString& path);
  static bool RemoveTree(const WString& path);
  // Makes a file read-only (TRUE) or writable again.
  static bool SetReadOnly(const WString& path, bool readOnly);

 private:
  std::string hostPrefix_;
  std::string scratchKey_;
  WString scratchFolder_;
};

// Deletes a registry key with everything below it (test cleanup only).
LONG DeleteTree(HKEY root, const std::string& path);

// The bytes of a file below the source tree, e.g. "mof/AgentWMIPerf.mof".
std::string ReadSourceFile(const std::string& relative);
// The path of a program built beside this test program (Windows: "name"
// in this program's folder).
std::string ProgramBesideThis(const char* name);

// The bytes of a file of the host (empty when it cannot be read).
std::string ReadHostFile(const std::string& path);

// The entries of REG_MULTI_SZ data, up to the list's terminating empty
// string, and the data of a list of entries.
std::vector<WString> DecodeMultiString(std::string_view bytes);
std::string MultiStringBytes(const std::vector<WString>& entries);

}  // namespace kvtr::test
