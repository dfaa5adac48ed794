// POSIX platform layer: version resources (GetFileVersionInfoSizeW,
// GetFileVersionInfoW, VerQueryValueW).
//
// The version resource is read from the file's PE image (a Windows module
// kept on the emulated machine): the first RT_VERSION resource, found
// through the resource directory of the image's sections. VerQueryValueW
// walks the VS_VERSIONINFO block tree by its keys.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "layer.h"
#include "win32_api.h"

namespace {

constexpr uint32_t kResourceTypeVersion = 16;

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return at + 2 <= b.size() ? b[at] | (b[at + 1] << 8) : 0; }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return at + 4 <= b.size() ? b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24) : 0;
}

struct Section {
  uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

// Reads the file and returns its first version resource, or a Windows
// error code.
DWORD ReadVersionResource(LPCWSTR path, std::vector<uint8_t>& resource) {
  if (path == nullptr || path[0] == 0) return ERROR_INVALID_PARAMETER;
  const std::string host = kvtr::posix::HostPath(path);
  std::vector<uint8_t> image;
  {
    const kvtr::posix::UniqueStream file(std::fopen(host.c_str(), "rb"));
    if (!file) return kvtr::posix::ErrnoToWin32(errno, host);
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) image.insert(image.end(), chunk, chunk + got);
  }

  if (U16(image, 0) != 0x5A4D) return ERROR_BAD_EXE_FORMAT;  // "MZ"
  const uint32_t pe = U32(image, 0x3C);
  if (U32(image, pe) != 0x00004550) return ERROR_BAD_EXE_FORMAT;  // "PE\0\0"
  const size_t coff = pe + 4;
  const uint16_t sections = U16(image, coff + 2);
  const uint16_t optionalSize = U16(image, coff + 16);
  const size_t optional = coff + 20;
  const uint16_t magic = U16(image, optional);
  const size_t directories = optional + (magic == 0x20B ? 112 : 96);
  if (magic != 0x10B && magic != 0x20B) return ERROR_BAD_EXE_FORMAT;
  const uint32_t resourceRva = U32(image, directories + 2 * 8);
  if (resourceRva == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;

  std::vector<Section> table;
  for (uint16_t i = 0; i < sections; ++i) {
    const size_t at = optional + optionalSize + 40u * i;
    table.push_back({U32(image, at + 12), U32(image, at + 8), U32(image, at + 16), U32(image, at + 20)});
  }
  auto toOffset = [&](uint32_t rva, size_t& offset) {
    for (const Section& s : table) {
      const uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && rva < s.virtualAddress + span) {
        offset = s.rawOffset + (rva - s.virtualAddress);
        return offset < image.size();
      }
    }
    return false;
  };
  size_t root = 0;
  if (!toOffset(resourceRva, root)) return ERROR_RESOURCE_DATA_NOT_FOUND;

  // Three directory levels: type, name, language. The type must be
  // RT_VERSION; at the other levels the first entry is taken.
  size_t directory = root;
  for (int level = 0; level < 3; ++level) {
    const uint16_t named = U16(image, directory + 12);
    const uint16_t ids = U16(image, directory + 14);
    uint32_t target = 0;
    bool found = false;
    for (uint32_t i = 0; i < static_cast<uint32_t>(named) + ids; ++i) {
      const size_t entry = directory + 16 + 8u * i;
      if (level == 0 && (i < named || U32(image, entry) != kResourceTypeVersion)) continue;
      target = U32(image, entry + 4);
      found = true;
      break;
    }
    if (!found) return level == 0 ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_DATA_NOT_FOUND;
    const bool subdirectory = (target & 0x80000000u) != 0;
    if (subdirectory != (level < 2)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    directory = root + (target & 0x7FFFFFFFu);
    if (directory >= image.size()) return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  size_t data = 0;
  const uint32_t size = U32(image, directory + 4);
  if (!toOffset(U32(image, directory), data) || data + size > image.size() || size < 6) {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  resource.assign(image.begin() + static_cast<long>(data), image.begin() + static_cast<long>(data + size));
  return ERROR_SUCCESS;
}

size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// One VS_VERSIONINFO-style block: length, value length, type, key, value,
// children.
struct Block {
  const uint8_t* base;
  size_t length;
  size_t valueLength;
  uint16_t type;
  kvtr::WString key;
  size_t valueOffset;
  size_t childrenOffset;
};

bool ReadBlock(const uint8_t* base, size_t available, Block& block) {
  if (available < 6) return false;
  block.base = base;
  block.length = base[0] | (base[1] << 8);
  block.valueLength = base[2] | (base[3] << 8);
  block.type = static_cast<uint16_t>(base[4] | (base[5] << 8));
  if (block.length < 6 || block.length > available) return false;
  size_t at = 6;
  block.key.clear();
  while (at + 1 < block.length) {
    const kvtr::wchar c = static_cast<kvtr::wchar>(base[at] | (base[at + 1] << 8));
    at += 2;
    if (c == 0) break;
    block.key.push_back(c);
  }
  block.valueOffset = Align4(at);
  const size_t valueBytes = block.type == 1 ? block.valueLength * 2 : block.valueLength;
  block.childrenOffset = Align4(block.valueOffset + valueBytes);
  return block.valueOffset + valueBytes <= block.length;
}

}  // namespace

extern "C" {

DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) try {
  if (handle != nullptr) *handle = 0;
  std::vector<uint8_t> resource;
  if (DWORD error = ReadVersionResource(path, resource)) {
    SetLastError(error);
    return 0;
  }
  return static_cast<DWORD>(resource.size());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

BOOL GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) try {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::vector<uint8_t> resource;
  if (DWORD error = ReadVersionResource(path, resource)) {
    SetLastError(error);
    return FALSE;
  }
  std::memcpy(data, resource.data(), resource.size() < size ? resource.size() : size);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL VerQueryValueW(LPCVOID blockData, LPCWSTR subBlock, LPVOID* value, UINT* length) try {
  if (blockData == nullptr || value == nullptr) return FALSE;
  const auto* base = static_cast<const uint8_t*>(blockData);
  Block block;
  if (!ReadBlock(base, base[0] | (base[1] << 8), block)) return FALSE;
  const kvtr::WStringView path = subBlock ? kvtr::WStringView(subBlock) : kvtr::WStringView();
  size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == '\\') ++at;
    if (at >= path.size()) break;
    const size_t end = path.find('\\', at);
    const kvtr::WStringView name = path.substr(at, end == kvtr::WStringView::npos ? path.size() - at : end - at);
    at = end == kvtr::WStringView::npos ? path.size() : end;
    bool found = false;
    for (size_t child = block.childrenOffset; child + 6 <= block.length;) {
      Block next;
      if (!ReadBlock(block.base + child, block.length - child, next)) break;
      if (kvtr::posix::EqualNoCase(next.key, name)) {
        block = next;
        found = true;
        break;
      }
      child = Align4(child + next.length);
    }
    if (!found) return FALSE;
  }
  *value = const_cast<uint8_t*>(block.base + block.valueOffset);
  if (length != nullptr) *length = static_cast<UINT>(block.valueLength);
  return block.valueLength > 0 ? TRUE : FALSE;
} catch (...) {
  return FALSE;
}

}  // extern "C"
