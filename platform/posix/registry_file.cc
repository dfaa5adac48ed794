// POSIX platform layer: the registry's text form, the regedit "Windows
// Registry Editor Version 5.00" format, written as UTF-8 with LF line ends
// and read as UTF-8 or UTF-16LE (with its byte order mark), LF or CR LF.
//
// Strings that are plain text are written quoted; every other value, and a
// string with control characters, a lone surrogate, a missing terminator or
// an odd length, is written as hex bytes, so that reading the text back
// gives every byte of every value unchanged. A key or value name holding a
// lone surrogate (legal in the registry) has no UTF-8 form: when one does,
// the whole file is written as regedit writes it, UTF-16LE with a byte
// order mark and CR LF line ends.
//
// Key paths deeper than Windows' 512 levels are refused with an error that
// names their line, and no walk of the tree recurses.
//
// Two comment lines carry what the format has no syntax for: after the
// header, "; snapshot TOKEN" names a snapshot (its journal names it too),
// and right after a section line, ';class="TEXT"' gives the key's class.
// regedit reads both as comments.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "emulation.h"
#include "registry_tree.h"

namespace kvtr::posix {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kSnapshotLine = "; snapshot ";
constexpr std::string_view kClassLine = ";class=";
constexpr size_t kLineWidth = 79;

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The text the writer builds and the parser reads is UTF-8, except that a
// lone surrogate is kept as the three bytes UTF-8 gives a code point of its
// value (ED A0..BF xx), so that names read from a UTF-16 file keep them.
// Appends `count` units, unit(i) each, to `out`; with `quoted`, '\\' and '"'
// are escaped. `lone` (if any) is set when the text holds a lone surrogate.
// Writes straight into `out`: a save of the whole tree makes no other
// allocation per name or value.
template <typename Unit>
void AppendFileText(std::string& out, size_t count, Unit&& unit, bool quoted, bool* lone) {
  const auto put = [&](uint32_t point) {
    if (quoted && (point == '\\' || point == '"')) out.push_back('\\');
    AppendUtf8(out, point);
  };
  for (size_t i = 0; i < count; ++i) {
    const unsigned first = unit(i);
    if (IsHighSurrogate(first) && i + 1 < count && IsLowSurrogate(unit(i + 1))) {
      put(0x10000 + ((first - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
      continue;
    }
    if ((IsHighSurrogate(first) || IsLowSurrogate(first)) && lone != nullptr) *lone = true;
    put(first);
  }
}

void AppendFileText(std::string& out, WStringView text, bool quoted, bool* lone) {
  AppendFileText(out, text.size(), [&](size_t i) -> unsigned { return text[i]; }, quoted, lone);
}

std::string ToFileText(WStringView text, bool* lone = nullptr) {
  std::string out;
  AppendFileText(out, text, /*quoted=*/false, lone);
  return out;
}

// The reverse of ToFileText; other invalid UTF-8 becomes U+FFFD.
WString FromFileText(std::string_view text) {
  // Most names and strings are ASCII: one unit a byte.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
    return WString(text.begin(), text.end());
  }
  WString out;
  size_t start = 0;
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    const auto b1 = static_cast<uint8_t>(text[i + 1]);
    const auto b2 = static_cast<uint8_t>(text[i + 2]);
    if (b0 != 0xED || (b1 & 0xE0) != 0xA0 || (b2 & 0xC0) != 0x80) continue;
    out += Utf8ToUtf16(text.substr(start, i - start));
    out.push_back(static_cast<wchar>(0xD000 | ((b1 & 0x3F) << 6) | (b2 & 0x3F)));
    start = i + 3;
    i += 2;
  }
  out += Utf8ToUtf16(text.substr(start));
  return out;
}

void AppendQuoted(std::string& out, WStringView text, bool* lone) {
  out.push_back('"');
  AppendFileText(out, text, /*quoted=*/true, lone);
  out.push_back('"');
}

// True when REG_SZ data can be written as a quoted string and read back to
// the same bytes: whole UTF-16 units, one terminator at the end, no control
// characters and no lone surrogates.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const size_t units = data.size() / 2;
  const auto unitAt = [&](size_t i) -> unsigned { return data[2 * i] | (data[2 * i + 1] << 8); };
  for (size_t i = 0; i < units; ++i) {
    const unsigned unit = unitAt(i);
    if (i == units - 1) return unit == 0;
    if (unit < 0x20) return false;
    if (IsHighSurrogate(unit) && i + 1 < units - 1 && IsLowSurrogate(unitAt(i + 1))) {
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      return false;
    }
  }
  return false;
}

// "xx," for each byte value.
struct HexTable {
  char text[256][4];
  constexpr HexTable() : text{} {
    const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      text[i][0] = digits[i >> 4];
      text[i][1] = digits[i & 15];
      text[i][2] = ',';
      text[i][3] = 0;
    }
  }
};
constexpr HexTable kHex;

// Hex bytes after a lead of `column` characters already in `out`, lines
// cut before they pass kLineWidth. A Perflib list is megabytes: the text
// is made a line at a time in a small buffer and appended a buffer at a
// time, into room reserved first.
void AppendHex(std::string& out, size_t column, const std::vector<uint8_t>& data) {
  // Three characters a byte, four more a line of 25 bytes.
  out.reserve(out.size() + 3 * data.size() + 4 * (data.size() / 25 + 2) + 1);
  char buffer[4096];
  size_t used = 0;
  size_t i = 0;
  while (i < data.size()) {
    if (column + 3 > kLineWidth) {
      std::memcpy(buffer + used, "\\\n  ", 4);
      used += 4;
      column = 2;
    }
    const size_t count = std::min((kLineWidth - column) / 3, data.size() - i);
    for (size_t end = i + count; i < end; ++i, used += 3) std::memcpy(buffer + used, kHex.text[data[i]], 4);
    column += 3 * count;
    if (used > sizeof buffer - 128) {
      out.append(buffer, used);
      used = 0;
    }
  }
  if (!data.empty()) {
    if (used == 0) out.pop_back();  // the comma after the last byte
    else --used;
  }
  buffer[used++] = '\n';
  out.append(buffer, used);
}

void AppendValue(std::string& out, const RegValue& value, bool& lone) {
  const size_t lineStart = out.size();
  if (value.name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, value.name, &lone);
  }
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    out += "=\"";
    const auto unit = [&](size_t i) -> unsigned { return value.data[2 * i] | (value.data[2 * i + 1] << 8); };
    AppendFileText(out, value.data.size() / 2 - 1, unit, /*quoted=*/true, nullptr);
    out += "\"\n";
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    char number[16];
    const uint32_t n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (uint32_t(value.data[3]) << 24);
    std::snprintf(number, sizeof number, "%08x", n);
    out += "=dword:";
    out += number;
    out.push_back('\n');
    return;
  }
  char lead[32];
  if (value.type == REG_BINARY) std::snprintf(lead, sizeof lead, "=hex:");
  else std::snprintf(lead, sizeof lead, "=hex(%x):", static_cast<unsigned>(value.type));
  out += lead;
  AppendHex(out, out.size() - lineStart, value.data);
}

void AppendClassLine(std::string& out, const RegKey& key, bool* lone) {
  if (key.keyClass.empty()) return;
  out += kClassLine;
  AppendQuoted(out, key.keyClass, lone);
  out.push_back('\n');
}

// `lone` is set when a name holds a lone surrogate. Depth first, keys in
// their enumeration order; one section name is kept and cut back to each
// key's parent, so no key costs an allocation of its own. `flush` (if any)
// is called between keys once `out` holds a chunk; false from it stops.
constexpr size_t kChunk = size_t{1} << 20;

bool AppendTree(std::string& out, const std::string& rootName, const std::shared_ptr<RegKey>& top,
                bool persistentOnly, bool& lone, const std::function<bool()>& flush = nullptr) {
  std::string section = rootName;
  const WString topPath = top->Path();
  if (!topPath.empty()) {
    section.push_back('\\');
    AppendFileText(section, topPath, /*quoted=*/false, &lone);
  }
  struct Pending {
    const RegKey* key;
    size_t parentLength;  // of `section`; npos for the top
  };
  std::vector<Pending> pending{{top.get(), std::string::npos}};
  while (!pending.empty()) {
    const Pending next = pending.back();
    pending.pop_back();
    if (next.parentLength != std::string::npos) {
      section.resize(next.parentLength);
      section.push_back('\\');
      AppendFileText(section, next.key->name, /*quoted=*/false, &lone);
    }
    if (persistentOnly && next.key->isVolatile) continue;
    out += "\n[";
    out += section;
    out += "]\n";
    AppendClassLine(out, *next.key, &lone);
    for (const RegValue& value : next.key->values) AppendValue(out, value, lone);
    for (auto child = next.key->children.rbegin(); child != next.key->children.rend(); ++child) {
      pending.push_back({child->second.get(), section.size()});
    }
    if (flush && out.size() >= kChunk && !flush()) return false;
  }
  return true;
}

// The file's bytes: the text itself, or, when a name needs it, the text in
// UTF-16LE with CR LF line ends (after a byte order mark when `first`).
std::string FileBytes(const std::string& text, bool lone, bool first = true) {
  if (!lone) return text;
  std::string out = first ? "\xFF\xFE" : "";
  out.reserve(2 + 2 * text.size());
  const auto put = [&](wchar unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  for (wchar unit : FromFileText(text)) {
    if (unit == '\n') put('\r');
    put(unit);
  }
  return out;
}

// ---- reading ----

// The file's text for the parser (see ToFileText).
std::string ToParserText(std::string_view raw) {
  if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
    WString wide;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      wide.push_back(static_cast<wchar>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8)));
    }
    return ToFileText(wide);
  }
  if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") return std::string(raw.substr(3));
  return std::string(raw);
}

struct Parser {
  RegistryTree& tree;
  RegImportResult result;
  std::shared_ptr<RegKey> current;  // null inside a deleted or unknown section

  bool Fail(int line, const std::string& message) {
    if (result.ok) {
      result.ok = false;
      result.line = line;
      result.message = message;
    }
    return false;
  }

  std::shared_ptr<RegKey> RootFor(WStringView& path) {
    struct Alias {
      const char* name;
      RootId root;
      const char16_t* below;
    };
    static const Alias kAliases[] = {
        {"HKEY_LOCAL_MACHINE", RootId::kLocalMachine, u""},
        {"HKEY_CURRENT_USER", RootId::kCurrentUser, u""},
        {"HKEY_USERS", RootId::kUsers, u""},
        {"HKEY_CLASSES_ROOT", RootId::kLocalMachine, u"SOFTWARE\\Classes"},
    };
    const size_t slash = path.find('\\');
    const WStringView head = path.substr(0, slash);
    for (const Alias& alias : kAliases) {
      if (EqualNoCase(head, WidenAscii(alias.name))) {
        path = slash == WStringView::npos ? WStringView() : path.substr(slash + 1);
        std::shared_ptr<RegKey> root = tree.LoadedRoot(alias.root);
        if (*alias.below == 0) return root;
        WString below(reinterpret_cast<const wchar*>(alias.below));
        std::shared_ptr<RegKey> key = RegistryTree::Find(root, below);
        if (!key) {
          key = root;
          for (const WString& part : SplitKeyPath(below)) {
            auto child = std::make_shared<RegKey>();
            child->name = part;
            child->parent = key;
            key = key->children.emplace(part, child).first->second;
          }
        }
        return key;
      }
    }
    return nullptr;
  }

  // Marks `top` and every key below it deleted and detaches them. Every key
  // is held here until all are detached, so that none is destroyed while it
  // still owns children: destruction never recurses either.
  static void DeleteTree(const std::shared_ptr<RegKey>& top) {
    std::vector<std::shared_ptr<RegKey>> keys{top};
    for (size_t i = 0; i < keys.size(); ++i) {
      for (auto& child : keys[i]->children) keys.push_back(child.second);
    }
    for (const std::shared_ptr<RegKey>& key : keys) {
      key->children.clear();
      key->deleted = true;
      key->parent.reset();
    }
  }

  // Levels below its root hive (HKEY_CLASSES_ROOT's keys lie two below
  // HKEY_LOCAL_MACHINE).
  static size_t Depth(const RegKey& key) {
    size_t depth = 0;
    for (std::shared_ptr<RegKey> up = key.parent.lock(); up; up = up->parent.lock()) ++depth;
    return depth;
  }

  bool Section(int line, std::string_view body) {
    const bool remove = !body.empty() && body[0] == '-';
    if (remove) body.remove_prefix(1);
    const WString wide = FromFileText(body);
    WStringView path = wide;
    std::shared_ptr<RegKey> key = RootFor(path);
    if (!key) {
      current = nullptr;
      return Fail(line, "unknown root key");
    }
    if (remove) {
      current = nullptr;
      std::shared_ptr<RegKey> victim = RegistryTree::Find(key, path);
      if (victim && victim != key) {
        result.touchedVolatile |= victim->isVolatile;
        std::shared_ptr<RegKey> parent = victim->parent.lock();
        if (parent) parent->children.erase(victim->name);
        DeleteTree(victim);
      }
      return true;
    }
    const std::vector<WString> parts = SplitKeyPath(path);
    if (Depth(*key) + parts.size() > kMaxKeyDepth) {
      current = nullptr;
      return Fail(line, "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
    }
    for (const WString& part : parts) {
      result.touchedVolatile |= key->isVolatile;
      key = ChildKey(key, part);
    }
    result.touchedVolatile |= key->isVolatile;
    current = key;
    return true;
  }

  // A class line's quoted text, for the section's key; anything else there
  // is an ordinary comment.
  void Class(std::string_view text) {
    std::string content;
    if (ReadQuoted(text, content) && text.empty()) current->keyClass = FromFileText(content);
  }

  static bool ReadQuoted(std::string_view& text, std::string& out) {
    if (text.empty() || text[0] != '"') return false;
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      out.push_back(text[i]);
    }
    if (i >= text.size()) return false;
    text.remove_prefix(i + 1);
    return true;
  }

  static bool ReadHexBytes(std::string_view text, std::vector<uint8_t>& out) {
    out.reserve(out.size() + text.size() / 3 + 1);  // "xx," a byte
    size_t i = 0;
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    // The form every writer uses, "xx,xx,...": two digits and a comma.
    while (i + 2 < text.size() && text[i + 2] == ',') {
      const int high = digit(text[i]);
      const int low = digit(text[i + 1]);
      if (high < 0 || low < 0) break;
      out.push_back(static_cast<uint8_t>(high * 16 + low));
      i += 3;
    }
    while (i < text.size()) {
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i >= text.size()) break;
      const int high = digit(text[i]);
      const int low = i + 1 < text.size() ? digit(text[i + 1]) : -1;
      if (high < 0 || low < 0) return false;
      out.push_back(static_cast<uint8_t>(high * 16 + low));
      i += 2;
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i < text.size()) {
        if (text[i] != ',') return false;
        ++i;
      }
    }
    return true;
  }

  bool Value(int line, std::string_view text) {
    std::string name;
    if (!text.empty() && text[0] == '@') {
      text.remove_prefix(1);
    } else if (!ReadQuoted(text, name)) {
      return Fail(line, "value name expected");
    }
    while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    if (text.empty() || text[0] != '=') return Fail(line, "'=' expected");
    text.remove_prefix(1);
    while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    if (!current) return true;  // inside a removed section: ignored, as regedit does
    const WString wideName = FromFileText(name);
    if (text == "-") {
      auto& values = current->values;
      for (auto it = values.begin(); it != values.end(); ++it) {
        if (EqualNoCase(it->name, wideName)) {
          values.erase(it);
          break;
        }
      }
      return true;
    }
    RegValue value;
    value.name = wideName;
    if (!text.empty() && text[0] == '"') {
      std::string content;
      if (!ReadQuoted(text, content)) return Fail(line, "unterminated string");
      value.type = REG_SZ;
      for (wchar unit : FromFileText(content)) {
        value.data.push_back(static_cast<uint8_t>(unit & 0xFF));
        value.data.push_back(static_cast<uint8_t>(unit >> 8));
      }
      value.data.push_back(0);
      value.data.push_back(0);
    } else if (text.substr(0, 6) == "dword:") {
      const std::string digits(text.substr(6));
      char* end = nullptr;
      const unsigned long n = std::strtoul(digits.c_str(), &end, 16);
      if (digits.empty() || *end != 0 || digits.size() > 8) return Fail(line, "bad dword");
      value.type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(n >> shift));
    } else if (text.substr(0, 4) == "hex:" || text.substr(0, 4) == "hex(") {
      value.type = REG_BINARY;
      if (text[3] == '(') {
        const size_t close = text.find(')');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
          return Fail(line, "bad hex type");
        }
        const std::string type(text.substr(4, close - 4));
        char* end = nullptr;
        value.type = static_cast<DWORD>(std::strtoul(type.c_str(), &end, 16));
        if (type.empty() || *end != 0) return Fail(line, "bad hex type");
        text.remove_prefix(close + 2);
      } else {
        text.remove_prefix(4);
      }
      if (!ReadHexBytes(text, value.data)) return Fail(line, "bad hex data");
    } else {
      return Fail(line, "unknown value format");
    }
    if (RegValue* existing = current->FindValue(wideName)) {
      existing->type = value.type;
      existing->data = std::move(value.data);
    } else {
      current->values.push_back(std::move(value));
    }
    return true;
  }
};

// The lines of an imported file after its header, as parser text.
std::string ImportDelta(std::string_view raw) {
  std::string text = ToParserText(raw);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const bool blank = text.find_first_not_of(" \t\r", pos) >= eol;
    pos = eol + 1;
    if (!blank) break;
  }
  return text.substr(std::min(pos, text.size()));
}

}  // namespace

namespace {

enum class Written { kAll, kFailed, kNeedsUtf16 };

// The snapshot's bytes through `write`, a chunk at a time. As UTF-8 it
// stops when a name turns out to need UTF-16.
Written WriteSnapshotAs(RegistryTree& tree, const std::string& token, bool utf16,
                        const std::function<bool(std::string_view)>& write) {
  std::string out(kHeader);
  out.reserve(kChunk + kChunk / 4);
  out.push_back('\n');
  if (!token.empty()) {
    out += kSnapshotLine;
    out += token;
    out.push_back('\n');
  }
  bool lone = false, first = true, failed = false;
  const auto flush = [&] {
    if (lone && !utf16) return false;
    failed = !(utf16 ? write(FileBytes(out, /*lone=*/true, first)) : write(out));
    first = false;
    out.clear();
    return !failed;
  };
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
    const RootId root = static_cast<RootId>(i);
    if (!AppendTree(out, RootName(root), tree.LoadedRoot(root), /*persistentOnly=*/true, lone, flush)) break;
  }
  if (lone && !utf16) return Written::kNeedsUtf16;
  if (failed || !flush()) return Written::kFailed;
  return Written::kAll;
}

}  // namespace

bool WriteSnapshot(RegistryTree& tree, const std::string& token, const std::function<bool()>& restart,
                   const std::function<bool(std::string_view)>& write) {
  Written result = WriteSnapshotAs(tree, token, /*utf16=*/false, write);
  if (result == Written::kNeedsUtf16 && restart()) result = WriteSnapshotAs(tree, token, /*utf16=*/true, write);
  return result == Written::kAll;
}

std::string SerializeRegistry(RegistryTree& tree, const std::string& token) {
  std::string text;
  WriteSnapshot(
      tree, token,
      [&] {
        text.clear();
        return true;
      },
      [&](std::string_view bytes) {
        text += bytes;
        return true;
      });
  return text;
}

std::string ExportRegText(RegistryTree&, RootId root, const std::shared_ptr<RegKey>& key) {
  std::string out(kHeader);
  out.push_back('\n');
  bool lone = false;
  AppendTree(out, RootName(root), key, /*persistentOnly=*/false, lone);
  return FileBytes(out, lone);
}

namespace {

// The lines of `text` applied in order. Without `needHeader` the text is a
// delta (a journal record's body) and has no header line.
RegImportResult ApplyLines(RegistryTree& tree, std::string_view text, bool needHeader, bool inPlace,
                           size_t rawOffset, const std::function<void(size_t)>& consumed);

}  // namespace

RegImportResult ApplyRegDelta(RegistryTree& tree, std::string_view text) {
  return ApplyLines(tree, text, /*needHeader=*/false, /*inPlace=*/false, 0, nullptr);
}

RegImportResult ImportRegText(RegistryTree& tree, std::string_view raw, bool replace,
                              const std::function<void(size_t)>& consumed) {
  // UTF-8 text is parsed where it lies; only UTF-16 is converted first.
  std::string converted;
  std::string_view text = raw;
  size_t rawOffset = 0;  // where `text` starts in `raw`, while it lies there
  if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
    converted = ToParserText(raw);
    text = converted;
  } else if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    rawOffset = 3;
  }
  if (replace) {
    for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
      std::shared_ptr<RegKey> root = tree.LoadedRoot(static_cast<RootId>(i));
      for (auto& child : root->children) Parser::DeleteTree(child.second);
      root->children.clear();
      root->values.clear();
    }
  }
  return ApplyLines(tree, text, /*needHeader=*/true, converted.empty(), rawOffset, consumed);
}

namespace {

RegImportResult ApplyLines(RegistryTree& tree, std::string_view text, bool needHeader, bool inPlace,
                           size_t rawOffset, const std::function<void(size_t)>& consumed) {
  constexpr size_t kReleaseStep = size_t{8} << 20;
  size_t released = 0;
  Parser parser{tree, {}, nullptr};
  size_t pos = 0;
  int lineNumber = 0;
  bool headerSeen = !needHeader;
  while (pos < text.size()) {
    if (consumed && inPlace && pos - released >= kReleaseStep) {
      consumed(rawOffset + pos);
      released = pos;
    }
    // A logical line: physical lines joined where one ends in '\' (hex data).
    std::string line;
    const int firstLine = lineNumber + 1;
    for (;;) {
      size_t eol = text.find('\n', pos);
      if (eol == std::string::npos) eol = text.size();
      std::string_view piece(text.data() + pos, eol - pos);
      pos = eol + 1;
      ++lineNumber;
      if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      if (!line.empty()) {
        while (!piece.empty() && (piece[0] == ' ' || piece[0] == '\t')) piece.remove_prefix(1);
      }
      line += piece;
      const bool continues = !line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos;
      if (!continues || pos >= text.size()) {
        if (continues) line.pop_back();
        break;
      }
      line.pop_back();
    }
    std::string_view view(line);
    while (!view.empty() && (view.back() == ' ' || view.back() == '\t')) view.remove_suffix(1);
    if (!headerSeen) {
      if (view.empty()) continue;
      if (view != kHeader && view != "REGEDIT4") {
        parser.Fail(firstLine, "not a registry file");
        break;
      }
      headerSeen = true;
      continue;
    }
    if (view.empty()) continue;
    if (view[0] == ';') {
      if (parser.current && view.substr(0, kClassLine.size()) == kClassLine) parser.Class(view.substr(kClassLine.size()));
      continue;
    }
    if (view[0] == '[') {
      if (view.back() != ']') {
        parser.Fail(firstLine, "unterminated key name");
        parser.current = nullptr;
        continue;
      }
      parser.Section(firstLine, view.substr(1, view.size() - 2));
      continue;
    }
    parser.Value(firstLine, view);
  }
  if (!headerSeen && parser.result.ok) parser.Fail(1, "not a registry file");
  return parser.result;
}

}  // namespace

void AppendKeySection(std::string& out, RegKey& key, bool remove) {
  out += remove ? "[-" : "[";
  bool lone = false;
  AppendFileText(out, key.TopRoot()->name, /*quoted=*/false, &lone);
  const WString path = key.Path();
  if (!path.empty()) {
    out.push_back('\\');
    AppendFileText(out, path, /*quoted=*/false, &lone);
  }
  out += "]\n";
}

void AppendClassLine(std::string& out, const RegKey& key) {
  bool lone = false;
  AppendClassLine(out, key, &lone);
}

void AppendValueLine(std::string& out, const RegValue& value) {
  bool lone = false;
  AppendValue(out, value, lone);
}

void AppendValueRemoval(std::string& out, WStringView name) {
  if (name.empty()) {
    out += "@=-\n";
    return;
  }
  bool lone = false;
  AppendQuoted(out, name, &lone);
  out += "=-\n";
}

std::string SnapshotToken(std::string_view raw) {
  // The first two lines, in whichever encoding the file has.
  std::string start;
  if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < raw.size() && start.size() < 256; i += 2) {
      if (raw[i + 1] != 0) break;  // the header and a token are ASCII
      start.push_back(raw[i]);
    }
  } else {
    start = std::string(raw.substr(0, 256));
  }
  size_t eol = start.find('\n');
  if (eol == std::string::npos) return std::string();
  std::string_view second = std::string_view(start).substr(eol + 1);
  if (second.substr(0, kSnapshotLine.size()) != kSnapshotLine) return std::string();
  second.remove_prefix(kSnapshotLine.size());
  eol = second.find('\n');
  if (eol == std::string::npos) return std::string();
  second = second.substr(0, eol);
  if (!second.empty() && second.back() == '\r') second.remove_suffix(1);
  return std::string(second);
}

}  // namespace kvtr::posix

using namespace kvtr::posix;

extern "C" {

BOOL KvtrEmu_ImportRegFile(const char* file, char* error, size_t errorSize) try {
  auto fail = [&](const std::string& message) {
    if (error != nullptr && errorSize > 0) {
      std::snprintf(error, errorSize, "%s", message.c_str());
    }
    return FALSE;
  };
  if (file == nullptr) return fail("no file named");
  std::string text;
  {
    const UniqueStream in(std::fopen(file, "rb"));
    if (!in) return fail(std::string("cannot open ") + file);
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) text.append(chunk, got);
  }
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  const RegImportResult result = ImportRegText(tree, text, /*replace=*/false);
  // A file smaller than the machine goes into the journal as it is, its
  // lines applying again the same way at each load. A larger one, one that
  // was read only in part, and one that touched volatile keys (which a
  // snapshot leaves out) are written as a new snapshot of what they did.
  const std::string delta = result.ok && !result.touchedVolatile ? ImportDelta(text) : std::string();
  if (!(!delta.empty() && delta.size() < tree.SnapshotSize() ? tree.Journal(delta) : tree.Save())) {
    tree.Forget();  // nothing of the file is kept
    return fail("the registry file of " + PrefixDirectory() + " cannot be written");
  }
  if (!result.ok) return fail(std::string(file) + " line " + std::to_string(result.line) + ": " + result.message);
  return TRUE;
} catch (...) {
  const LONG status = RegistryStatusOfException();
  if (error != nullptr && errorSize > 0) {
    std::snprintf(error, errorSize, "%s", status == ERROR_NOT_ENOUGH_MEMORY ? "not enough memory" : "internal error");
  }
  return FALSE;
}

BOOL KvtrEmu_CompactRegistry(void) try {
  RegistryTree& tree = Registry();
  RegistryTree::Change change(tree);
  return tree.Save() ? TRUE : FALSE;
} catch (...) {
  RegistryStatusOfException();
  return FALSE;
}

BOOL KvtrEmu_ExportRegFile(const char* file, HKEY root, const char* key) try {
  if (file == nullptr) return FALSE;
  RegistryTree& tree = Registry();
  std::lock_guard<std::recursive_mutex> hold(tree.lock());
  tree.Refresh();
  std::string text;
  if (root == nullptr) {
    text = SerializeRegistry(tree);
  } else {
    RootId id = RootId::kLocalMachine;
    kvtr::WString below = key ? AnsiToWide(key) : kvtr::WString();
    if (root == HKEY_CURRENT_USER) id = RootId::kCurrentUser;
    else if (root == HKEY_USERS) id = RootId::kUsers;
    else if (root == HKEY_CLASSES_ROOT) below = W("SOFTWARE\\Classes\\") + below;
    else if (root != HKEY_LOCAL_MACHINE) return FALSE;
    std::shared_ptr<RegKey> start = RegistryTree::Find(tree.Root(id), below);
    if (!start) return FALSE;
    text = ExportRegText(tree, id, start);
  }
  std::FILE* out = std::fopen(file, "wb");
  if (out == nullptr) return FALSE;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return (std::fclose(out) == 0 && written) ? TRUE : FALSE;  // nothing can throw past the open
} catch (...) {
  return FALSE;
}

}  // extern "C"
