// POSIX platform layer: the registry journal's format. The journal is a .reg
// file a person can read (and regedit can import): the header, a comment
// naming the snapshot it continues, then one record per change,
//
//   ; change 7 length 58
//   [HKEY_CURRENT_USER\Software\Example]
//   "Counter"=dword:00000001
//   ; end 7 crc 8b1f05d2
//
// where `length` counts the bytes of the body (the lines between) and the
// CRC-32C covers the first line and the body. Records are numbered from 1.
// A record is whole only when its end line is: one that a process killed
// while writing it left cut short is recognised by its length, its end
// line or its checksum, and ignored.
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "registry_tree.h"

namespace kvtr::posix {
namespace {

constexpr std::string_view kHeaderLine = "Windows Registry Editor Version 5.00\n";
constexpr std::string_view kJournalOf = "; journal of snapshot ";
constexpr std::string_view kChange = "; change ";
constexpr std::string_view kLength = " length ";
constexpr std::string_view kEnd = "; end ";
constexpr std::string_view kCrc = " crc ";

// CRC-32C (Castagnoli, as iSCSI and ext4 use it): with the processor's
// crc32 instruction where it has one, eight bytes a step, else by table. A
// record of a Perflib list is megabytes.
constexpr uint32_t kCastagnoli = 0x82F63B78u;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? kCastagnoli ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t CrcByTable(uint32_t crc, const uint8_t* p, size_t n) {
  for (; n > 0; --n, ++p) crc = kCrcTable[(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t CrcByInstruction(uint32_t crc, const uint8_t* p, size_t n) {
  uint64_t wide = crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    wide = __builtin_ia32_crc32di(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
  for (; n > 0; --n, ++p) crc = __builtin_ia32_crc32qi(crc, *p);
  return crc;
}
#endif

uint32_t CrcUpdate(uint32_t crc, std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  crc = ~crc;
#if defined(__x86_64__)
  static const bool hasInstruction = __builtin_cpu_supports("sse4.2");
  crc = hasInstruction ? CrcByInstruction(crc, p, bytes.size()) : CrcByTable(crc, p, bytes.size());
#else
  crc = CrcByTable(crc, p, bytes.size());
#endif
  return ~crc;
}

std::string EndLine(uint64_t sequence, uint32_t crc) {
  char line[64];
  std::snprintf(line, sizeof line, "; end %llu crc %08x\n", static_cast<unsigned long long>(sequence), crc);
  return line;
}

// Reads a decimal number at the front of `text`; false when there is none.
bool TakeNumber(std::string_view& text, uint64_t& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return true;
}

bool TakePrefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

std::string JournalHeader(const std::string& token) {
  std::string header(kHeaderLine);
  header += kJournalOf;
  header += token;
  header.push_back('\n');
  return header;
}

JournalFrame FrameRecord(uint64_t sequence, std::string_view body) {
  JournalFrame frame;
  frame.head = std::string(kChange) + std::to_string(sequence) + std::string(kLength) + std::to_string(body.size()) + "\n";
  frame.end = EndLine(sequence, CrcUpdate(CrcUpdate(0, frame.head), body));
  return frame;
}

std::string JournalRecord(uint64_t sequence, const std::string& body) {
  const JournalFrame frame = FrameRecord(sequence, body);
  return frame.head + body + frame.end;
}

JournalScan ScanJournal(std::string_view text, size_t offset, uint64_t sequence) {
  JournalScan scan;
  std::string_view rest = text;
  if (offset == 0) {
    if (!TakePrefix(rest, kHeaderLine) || !TakePrefix(rest, kJournalOf)) return scan;
    const size_t eol = rest.find('\n');
    if (eol == std::string_view::npos) return scan;
    scan.token = std::string(rest.substr(0, eol));
    rest.remove_prefix(eol + 1);
    scan.headerOk = true;
  }
  scan.nextSequence = sequence;
  scan.end = offset + static_cast<size_t>(rest.data() - text.data());
  for (;;) {
    std::string_view cursor = rest;
    uint64_t number = 0, length = 0;
    if (!TakePrefix(cursor, kChange) || !TakeNumber(cursor, number) || number != scan.nextSequence ||
        !TakePrefix(cursor, kLength) || !TakeNumber(cursor, length) || !TakePrefix(cursor, "\n") ||
        length > cursor.size()) {
      return scan;
    }
    const std::string_view body = cursor.substr(0, length);
    const std::string_view signedPart = rest.substr(0, static_cast<size_t>(body.data() + length - rest.data()));
    cursor.remove_prefix(length);
    const std::string expectedEnd = EndLine(number, CrcUpdate(0, signedPart));
    if (!TakePrefix(cursor, expectedEnd)) return scan;
    scan.bodies.push_back(body);
    ++scan.nextSequence;
    rest = cursor;
    scan.end = offset + static_cast<size_t>(rest.data() - text.data());
  }
}

}  // namespace kvtr::posix
