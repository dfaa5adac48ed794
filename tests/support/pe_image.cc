#include "support/pe_image.h"

#include <cstring>
#include <vector>

namespace kvtr::test {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kResourceRva = 0x1000;

struct Writer {
  std::vector<uint8_t> bytes;
  void At(size_t offset) {
    if (bytes.size() < offset) bytes.resize(offset, 0);
  }
  void U8(uint8_t v) { bytes.push_back(v); }
  void U16(uint16_t v) { U8(v & 0xFF), U8(v >> 8); }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  void U64(uint64_t v) { U32(static_cast<uint32_t>(v)), U32(static_cast<uint32_t>(v >> 32)); }
  void Put16(size_t at, uint16_t v) { bytes[at] = v & 0xFF, bytes[at + 1] = v >> 8; }
  void Align(size_t to) { At((bytes.size() + to - 1) / to * to); }
};

// VS_VERSIONINFO with its fixed file information and no children.
std::vector<uint8_t> VersionInfo(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  Writer w;
  w.U16(0);   // length, set below
  w.U16(52);  // value length: VS_FIXEDFILEINFO
  w.U16(0);   // binary value
  for (char ch : std::string("VS_VERSION_INFO")) w.U16(static_cast<uint8_t>(ch));
  w.U16(0);
  w.Align(4);
  const uint32_t ms = (uint32_t(a) << 16) | b;
  const uint32_t ls = (uint32_t(c) << 16) | d;
  for (uint32_t v : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x40004u, 2u, 0u, 0u, 0u}) w.U32(v);
  w.Put16(0, static_cast<uint16_t>(w.bytes.size()));
  return w.bytes;
}

std::string Image(const std::vector<uint8_t>* version) {
  Writer w;
  // DOS header: "MZ" and the offset of the PE header.
  w.U16(0x5A4D);
  w.At(0x3C);
  w.U32(0x40);
  // PE signature and COFF header: x64, one section, a DLL.
  w.U32(0x00004550);
  w.U16(0x8664);
  w.U16(1);
  w.U32(0);
  w.U32(0);
  w.U32(0);
  w.U16(240);
  w.U16(0x2022);
  // PE32+ optional header.
  const size_t optional = w.bytes.size();
  w.U16(0x20B);
  w.U8(14), w.U8(0);
  w.U32(0), w.U32(kFileAlignment), w.U32(0);  // code, initialised, uninitialised data sizes
  w.U32(0), w.U32(0);                          // entry point, base of code
  w.U64(0x180000000ull);                       // image base
  w.U32(kSectionAlignment), w.U32(kFileAlignment);
  w.U16(6), w.U16(0), w.U16(0), w.U16(0), w.U16(6), w.U16(0);
  w.U32(0);
  w.U32(2 * kSectionAlignment);  // size of image
  w.U32(kFileAlignment);         // size of headers
  w.U32(0);                      // checksum
  w.U16(2), w.U16(0x160);        // GUI subsystem; dynamic base, NX, high entropy
  w.U64(0x100000), w.U64(0x1000), w.U64(0x100000), w.U64(0x1000);
  w.U32(0), w.U32(16);
  for (int i = 0; i < 16; ++i) {
    const bool resources = i == 2 && version != nullptr;
    w.U32(resources ? kResourceRva : 0);
    w.U32(resources ? kFileAlignment : 0);
  }
  if (w.bytes.size() != optional + 240) return std::string();
  // One section, ".rsrc".
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (char ch : name) w.U8(static_cast<uint8_t>(ch));
  w.U32(kFileAlignment), w.U32(kResourceRva), w.U32(kFileAlignment), w.U32(kFileAlignment);
  w.U32(0), w.U32(0), w.U16(0), w.U16(0);
  w.U32(0x40000040);  // initialised data, readable
  w.At(kFileAlignment);

  // Resource tree: type 16 (RT_VERSION) -> name 1 -> language 0x409 -> data.
  const size_t section = w.bytes.size();
  if (version != nullptr) {
    auto directory = [&](uint32_t id, uint32_t target) {
      w.U32(0), w.U32(0), w.U16(0), w.U16(0), w.U16(0), w.U16(1);
      w.U32(id), w.U32(target);
    };
    directory(16, 0x80000000u | 24);
    directory(1, 0x80000000u | 48);
    directory(0x409, 72);
    const uint32_t dataOffset = 88;
    w.U32(kResourceRva + dataOffset), w.U32(static_cast<uint32_t>(version->size())), w.U32(0), w.U32(0);
    w.bytes.insert(w.bytes.end(), version->begin(), version->end());
  }
  w.At(section + kFileAlignment);
  return std::string(w.bytes.begin(), w.bytes.end());
}

}  // namespace

std::string VersionedModuleImage(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  const std::vector<uint8_t> version = VersionInfo(a, b, c, d);
  return Image(&version);
}

std::string UnversionedModuleImage() { return Image(nullptr); }

}  // namespace kvtr::test
