#include "support/test_machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

std::atomic<int> g_machineCount{0};

std::string UniqueName() {
#ifdef _WIN32
  const int pid = _getpid();
#else
  const int pid = getpid();
#endif
  return std::to_string(pid) + "-" + std::to_string(++g_machineCount);
}

#ifndef _WIN32
// Test programs never touch the user's default prefix: before any test
// runs, KVTR_PREFIX points at a session directory of their own.
struct SessionPrefix {
  std::string directory;
  SessionPrefix() {
    char pattern[] = "/tmp/kvtr-session-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      directory = pattern;
      setenv("KVTR_PREFIX", pattern, 1);
    }
  }
  ~SessionPrefix() {
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
  }
};
SessionPrefix g_sessionPrefix;

std::string Host(const WString& path) {
  std::vector<char> out(4096);
  KvtrEmu_HostPath(path.c_str(), out.data(), out.size());
  return out.data();
}
#endif

}  // namespace

bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

namespace {

// Names a deviation the running test accepts: in the test's XML record
// and on its output, so that a run lists every place it took Wine's (or the
// emulator's) answer instead of Windows'.
bool Accepted(const char* kind, const char* what) {
  ::testing::Test::RecordProperty(kind, what);
  std::printf("[ %-8s ] %s\n", kind, what);
  return true;
}

}  // namespace

bool WineDiffers(const char* what) { return RunningUnderWine() && Accepted("Wine", what); }

bool Wine32Differs(const char* what) { return sizeof(void*) == 4 && RunningUnderWine() && Accepted("Wine32", what); }

bool EmulatorDiffers([[maybe_unused]] const char* what) {
#ifdef _WIN32
  // The x86 phase runs Wine's i386 half under qemu-user, whose settings
  // Wine passes on into the Windows environment.
  return sizeof(void*) == 4 && RunningUnderWine() && GetEnvironmentVariableA("QEMU_LD_PREFIX", nullptr, 0) > 0 &&
         Accepted("qemu", what);
#else
  return false;
#endif
}


bool LayerDiffers(const char*) {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

LONG DeleteTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> children;
  char name[512];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) children.push_back(name);
  RegCloseKey(key);
  for (const std::string& child : children) DeleteTree(root, path + "\\" + child);
  return RegDeleteKeyA(root, path.c_str());
}

TestMachine::TestMachine() {
  const std::string name = UniqueName();
#ifndef _WIN32
  char pattern[] = "/tmp/kvtr-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) hostPrefix_ = pattern;
  KvtrEmu_UsePrefix(hostPrefix_.c_str());
  KvtrEmu_Reset();
#endif
  scratchKey_ = "Software\\kvtr-tests\\" + name;
  DeleteTree(HKEY_CURRENT_USER, scratchKey_);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, scratchKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  scratchFolder_ = W("C:\\kvtr-tests\\") + WidenAscii(name);
  RemoveTree(scratchFolder_);
  MakeFolder(scratchFolder_);
}

TestMachine::~TestMachine() {
  DeleteTree(HKEY_CURRENT_USER, scratchKey_);
  RemoveTree(scratchFolder_);
#ifndef _WIN32
  KvtrEmu_Reset();
  std::error_code ignored;
  if (!hostPrefix_.empty()) std::filesystem::remove_all(hostPrefix_, ignored);
#endif
}

#ifdef _WIN32

bool TestMachine::MakeFolder(const WString& path) {
  std::filesystem::create_directories(std::filesystem::path(path));
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool TestMachine::WriteFile(const WString& path, std::string_view bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string TestMachine::ReadFile(const WString& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestMachine::RemoveTree(const WString& path) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path), ignored);
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool TestMachine::SetReadOnly(const WString& path, bool readOnly) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  attributes = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesW(path.c_str(), attributes) != 0;
}

#else

bool TestMachine::MakeFolder(const WString& path) {
  std::error_code error;
  std::filesystem::create_directories(Host(path), error);
  return !error;
}

bool TestMachine::WriteFile(const WString& path, std::string_view bytes) {
  std::ofstream out(Host(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string TestMachine::ReadFile(const WString& path) {
  std::ifstream in(Host(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestMachine::RemoveTree(const WString& path) {
  std::error_code ignored;
  std::filesystem::remove_all(Host(path), ignored);
  return !std::filesystem::exists(Host(path));
}

bool TestMachine::SetReadOnly(const WString& path, bool readOnly) {
  const std::string host = Host(path);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) return false;
  const mode_t mode = readOnly ? (info.st_mode & ~0222) : (info.st_mode | 0200);
  return chmod(host.c_str(), mode) == 0;
}

#endif

std::string ProgramBesideThis(const char* name) {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  WString folder(path, length);
  folder.resize(folder.find_last_of(W("\\/")) + 1);
  return NarrowAscii(folder) + name;
}

std::string ReadSourceFile(const std::string& relative) {
  std::string root = KVTR_SOURCE_DIR;
#ifdef _WIN32
  root = "Z:" + root;  // Wine's drive Z: is the host's root
#endif
  return ReadHostFile(root + "/" + relative);
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<WString> DecodeMultiString(std::string_view bytes) {
  std::vector<WString> entries;
  WString current;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit != 0) {
      current.push_back(unit);
      continue;
    }
    if (current.empty()) break;
    entries.push_back(current);
    current.clear();
  }
  return entries;
}

std::string MultiStringBytes(const std::vector<WString>& entries) {
  std::string bytes;
  for (const WString& entry : entries) {
    for (WCHAR unit : entry) {
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
  }
  bytes.append(2, '\0');
  return bytes;
}

}  // namespace kvtr::test
