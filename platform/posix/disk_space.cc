// POSIX platform layer: disk space (GetDiskFreeSpaceExA, GetDiskFreeSpaceA)
// of the host file system that holds a Windows path, through the layer's
// path mapping and statvfs. Answered anew on every call; nothing stored.
// No product headers; errno conversion only through errors.cc.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "layer.h"
#include "win32_api.h"

namespace {

constexpr uint64_t kBytesPerSector = 512;

struct Space {
  uint64_t unitBytes = 0;   // the file system's fragment size
  uint64_t total = 0;       // units in all
  uint64_t free = 0;        // units free
  uint64_t available = 0;   // units free to an unprivileged caller
};

// The space of the volume holding `path` (NULL: the current drive's root),
// or the Win32 code of why there is none: a missing path as for files, a
// path that names a file ERROR_DIRECTORY.
DWORD QuerySpace(LPCSTR path, Space& space) {
  const kvtr::WString name = path == nullptr ? kvtr::WString(W("\\")) : kvtr::posix::AnsiToWide(path);
  if (name.empty()) return ERROR_PATH_NOT_FOUND;
  kvtr::WString full;
  DWORD error = 0;
  if (!kvtr::posix::FullPathName(name, full, error)) return error;
  const std::string host = kvtr::posix::HostPath(full);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) return kvtr::posix::ErrnoToWin32(errno, host);
  if (!S_ISDIR(info.st_mode)) return ERROR_DIRECTORY;
  struct statvfs volume;
  if (statvfs(host.c_str(), &volume) != 0) return kvtr::posix::ErrnoToWin32(errno, host);
  space.unitBytes = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
  space.total = volume.f_blocks;
  space.free = volume.f_bfree;
  space.available = volume.f_bavail;
  return ERROR_SUCCESS;
}

void Store(PULARGE_INTEGER target, uint64_t bytes) {
  if (target != nullptr) target->QuadPart = bytes;
}

}  // namespace

extern "C" {

BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER totalBytes,
                         PULARGE_INTEGER totalFree) try {
  Space space;
  if (const DWORD error = QuerySpace(directory, space)) {
    SetLastError(error);
    return FALSE;
  }
  Store(freeToCaller, space.available * space.unitBytes);
  Store(totalBytes, space.total * space.unitBytes);
  Store(totalFree, space.free * space.unitBytes);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException(FALSE);
}

BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector, LPDWORD freeClusters,
                       LPDWORD totalClusters) try {
  Space space;
  if (const DWORD error = QuerySpace(root, space)) {
    SetLastError(error);
    return FALSE;
  }
  // A cluster is the file system's unit in 512-byte sectors; it grows by
  // powers of two until the cluster counts fit 32 bits, so that sectors x
  // bytes x clusters still gives the volume's size (a cut count would not).
  uint64_t sectors = space.unitBytes / kBytesPerSector;
  if (sectors == 0) sectors = 1;
  uint64_t total = space.total * space.unitBytes / (sectors * kBytesPerSector);
  uint64_t free = space.available * space.unitBytes / (sectors * kBytesPerSector);
  while (total > UINT32_MAX && sectors <= UINT32_MAX / 2) {
    sectors *= 2;
    total /= 2;
    free /= 2;
  }
  if (sectorsPerCluster != nullptr) *sectorsPerCluster = static_cast<DWORD>(sectors);
  if (bytesPerSector != nullptr) *bytesPerSector = static_cast<DWORD>(kBytesPerSector);
  if (freeClusters != nullptr) *freeClusters = static_cast<DWORD>(free);
  if (totalClusters != nullptr) *totalClusters = static_cast<DWORD>(total);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException(FALSE);
}

}  // extern "C"
