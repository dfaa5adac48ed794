#include "tools/reg_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/handle_owners.h"

namespace kvtr::setup {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kLineWidth = 80;  // regedit cuts hex lines before this column

// The text of the file as UTF-8 lines: UTF-16LE (with its mark) converted,
// a UTF-8 mark dropped.
std::string TextOf(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    WString wide((bytes.size() - 2) / 2, 0);
    for (size_t i = 0; i < wide.size(); ++i) {
      wide[i] = static_cast<wchar>(static_cast<uint8_t>(bytes[2 + 2 * i]) | static_cast<uint8_t>(bytes[3 + 2 * i]) << 8);
    }
    return Utf8(wide);
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return std::string(bytes);
}

bool ReadQuoted(std::string_view& text, std::string& out) {
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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHex(std::string_view text, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < text.size();) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    if (i >= text.size()) break;
    const int high = HexDigit(text[i]);
    const int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<uint8_t>(high * 16 + low));
    i += 2;
  }
  return true;
}

std::vector<uint8_t> Utf16Bytes(const WString& text, bool terminated) {
  std::vector<uint8_t> bytes;
  for (wchar unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// A value line's right-hand side; false when it is none of regedit's forms.
bool ReadData(std::string_view text, RegEntry& value) {
  if (!text.empty() && text[0] == '"') {
    std::string content;
    if (!ReadQuoted(text, content)) return false;
    value.type = REG_SZ;
    value.data = Utf16Bytes(FromUtf8Text(content), true);
    return true;
  }
  if (text.substr(0, 6) == "dword:") {
    const std::string digits(text.substr(6));
    char* end = nullptr;
    const unsigned long n = std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || *end != 0 || digits.size() > 8) return false;
    value.type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(n >> shift));
    return true;
  }
  if (text.substr(0, 4) == "hex:") {
    value.type = REG_BINARY;
    return ReadHex(text.substr(4), value.data);
  }
  if (text.substr(0, 4) == "hex(") {
    const size_t close = text.find("):");
    if (close == std::string_view::npos) return false;
    const std::string type(text.substr(4, close - 4));
    char* end = nullptr;
    value.type = static_cast<DWORD>(std::strtoul(type.c_str(), &end, 16));
    if (type.empty() || *end != 0) return false;
    return ReadHex(text.substr(close + 2), value.data);
  }
  return false;
}

// True when REG_SZ data reads back from a quoted string to the same bytes.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  for (size_t i = 0; i + 2 < data.size(); i += 2) {
    const unsigned unit = data[i] | data[i + 1] << 8;
    if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF)) return false;
  }
  return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

void AppendQuoted(std::string& out, const WString& text) {
  out.push_back('"');
  for (char c : Utf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void AppendValueLine(std::string& out, const RegEntry& value) {
  const size_t start = out.size();
  if (value.name.empty()) out.push_back('@');
  else AppendQuoted(out, value.name);
  out.push_back('=');
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    WString text;
    for (size_t i = 0; i + 2 < value.data.size(); i += 2) text.push_back(static_cast<wchar>(value.data[i] | value.data[i + 1] << 8));
    AppendQuoted(out, text);
    out += "\n";
    return;
  }
  char lead[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const uint32_t n = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
    std::snprintf(lead, sizeof lead, "dword:%08x\n", static_cast<unsigned>(n));
    out += lead;
    return;
  }
  if (value.type == REG_BINARY) std::snprintf(lead, sizeof lead, "hex:");
  else std::snprintf(lead, sizeof lead, "hex(%x):", static_cast<unsigned>(value.type));
  out += lead;
  size_t column = out.size() - start;
  for (size_t i = 0; i < value.data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
    out += byte;
    column += 2;
    if (i + 1 < value.data.size()) {
      out.push_back(',');
      ++column;
      if (column > kLineWidth - 4) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  out.push_back('\n');
}

}  // namespace

const char* RegTypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

const RegEntry* RegKeyImage::Find(const WString& name) const {
  const WString folded = FoldedPath(name);
  for (const RegEntry& value : values) {
    if (value.name.size() == name.size() && FoldedPath(value.name) == folded) return &value;
  }
  return nullptr;
}

WString FoldedPath(const WString& path) {
  WString folded = path;
  if (!folded.empty()) CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  return folded;
}

std::string Utf8(WStringView text) {
  if (text.empty()) return std::string();
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
  std::string out(static_cast<size_t>(std::max(needed, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr, nullptr);
  return out;
}

WString FromUtf8Text(std::string_view text) {
  if (text.empty()) return WString();
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  WString out(static_cast<size_t>(std::max(needed, 0)), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed);
  return out;
}

bool ParseRegText(std::string_view bytes, RegImage& image, std::string& error) {
  const std::string text = TextOf(bytes);
  RegKeyImage* current = nullptr;
  bool headerSeen = false;
  size_t pos = 0;
  int lineNumber = 0;
  while (pos < text.size()) {
    // A logical line: lines ending in '\' continue (hex data).
    std::string line;
    const int first = lineNumber + 1;
    for (;;) {
      size_t eol = text.find('\n', pos);
      if (eol == std::string::npos) eol = text.size();
      std::string_view piece(text.data() + pos, eol - pos);
      pos = eol + 1;
      ++lineNumber;
      if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      if (!line.empty()) piece.remove_prefix(std::min(piece.find_first_not_of(" \t"), piece.size()));
      line += piece;
      // Only hex data continues on the next line, as regedit writes it.
      if (line.empty() || line.back() != '\\' || pos >= text.size() || line.find("=hex") == std::string::npos) break;
      line.pop_back();
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const auto fail = [&](const char* what) {
      error = "line " + std::to_string(first) + ": " + what;
      return false;
    };
    if (!headerSeen) {
      if (line.empty()) continue;
      if (line != kHeader && line != "REGEDIT4") return fail("not a registry file");
      headerSeen = true;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("unterminated key name");
      std::string_view body = std::string_view(line).substr(1, line.size() - 2);
      const bool remove = !body.empty() && body[0] == '-';
      if (remove) body.remove_prefix(1);
      const WString path = FromUtf8Text(body);
      const WString folded = FoldedPath(path);
      current = nullptr;
      if (remove) {
        // The key and everything below it.
        image.erase(folded);
        const WString below = folded + W("\\");
        for (auto it = image.lower_bound(below); it != image.end() && it->first.compare(0, below.size(), below) == 0;) {
          it = image.erase(it);
        }
        continue;
      }
      RegKeyImage& key = image[folded];
      if (key.path.empty()) key.path = path;
      current = &key;
      continue;
    }
    std::string_view rest(line);
    std::string name;
    if (rest[0] == '@') {
      rest.remove_prefix(1);
    } else if (!ReadQuoted(rest, name)) {
      return fail("value name expected");
    }
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    if (rest.empty() || rest[0] != '=') return fail("'=' expected");
    rest.remove_prefix(1);
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    if (current == nullptr) continue;  // below a removed key
    RegEntry value;
    value.name = FromUtf8Text(name);
    auto& values = current->values;
    const WString folded = FoldedPath(value.name);
    const auto same = [&](const RegEntry& v) { return FoldedPath(v.name) == folded; };
    if (rest == "-") {
      values.erase(std::remove_if(values.begin(), values.end(), same), values.end());
      continue;
    }
    if (!ReadData(rest, value)) return fail("unknown value format");
    const auto existing = std::find_if(values.begin(), values.end(), same);
    if (existing != values.end()) *existing = std::move(value);
    else values.push_back(std::move(value));
  }
  if (!headerSeen) {
    error = "line 1: not a registry file";
    return false;
  }
  return true;
}

LONG ReadRegistryKey(HKEY root, const WString& rootName, const WString& path, RegImage& image,
                     std::vector<WString>& children) {
  UniqueKey opened;
  if (const LONG status = RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, opened.put())) {
    return status;
  }
  const HKEY key = opened.get();
  const WString full = path.empty() ? rootName : rootName + W("\\") + path;
  RegKeyImage& imageKey = image[FoldedPath(full)];
  imageKey.path = full;
  imageKey.values.clear();
  // Names up to Windows' limit; data as large as the largest value, grown
  // when one is larger (the size asked first is only a hint: Wine cannot
  // answer it for Perflib's language keys).
  std::vector<WCHAR> name(16384);
  DWORD maxData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxData, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    maxData = 0;
  }
  std::vector<uint8_t> data(maxData + 2);
  LONG status = ERROR_SUCCESS;
  for (DWORD i = 0; status == ERROR_SUCCESS;) {
    DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()), type = 0;
    status = RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
    if (status == ERROR_MORE_DATA && dataSize > data.size()) {
      data.resize(dataSize);
      status = ERROR_SUCCESS;
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    imageKey.values.push_back(
        RegEntry{WString(name.data(), nameSize), type, std::vector<uint8_t>(data.begin(), data.begin() + dataSize)});
    ++i;
  }
  children.clear();
  WCHAR child[256];
  if (status == ERROR_NO_MORE_ITEMS) {
    for (DWORD i = 0; (status = RegEnumKeyW(key, i, child, 256)) == ERROR_SUCCESS; ++i) children.emplace_back(child);
  }
  return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
}

LONG ReadRegistryTree(HKEY root, const WString& rootName, const WString& path, RegImage& image) {
  std::vector<WString> children;
  if (const LONG status = ReadRegistryKey(root, rootName, path, image, children)) return status;
  for (const WString& below : children) {
    const LONG read = ReadRegistryTree(root, rootName, path.empty() ? below : path + W("\\") + below, image);
    if (read != ERROR_SUCCESS) return read;
  }
  return ERROR_SUCCESS;
}

LONG ReadRegistryValue(HKEY root, const WString& rootName, const WString& path, const WString& name,
                       RegImage& image) {
  UniqueKey key;
  if (const LONG opened = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put())) return opened;
  DWORD type = 0, size = 0;
  LONG status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
  std::vector<uint8_t> data(size);
  if (status == ERROR_SUCCESS) status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data.data(), &size);
  key.reset();
  if (status != ERROR_SUCCESS) return status;
  const WString full = rootName + W("\\") + path;
  RegKeyImage& imageKey = image[FoldedPath(full)];
  imageKey.path = full;
  data.resize(size);
  imageKey.values.push_back(RegEntry{name, type, std::move(data)});
  return ERROR_SUCCESS;
}

std::string WriteRegText(const RegImage& image, const std::vector<WString>& removeFirst) {
  std::string text(kHeader);
  text += "\n";
  for (const WString& path : removeFirst) text += "\n[-" + Utf8(path) + "]\n";
  for (const auto& [folded, key] : image) {
    text += "\n[" + Utf8(key.path) + "]\n";
    for (const RegEntry& value : key.values) AppendValueLine(text, value);
  }
  // regedit's own form: UTF-16LE with its mark and CR LF line ends.
  const WString wide = FromUtf8Text(text);
  std::string bytes = "\xFF\xFE";
  for (wchar unit : wide) {
    if (unit == '\n') bytes += std::string("\r\0", 2);
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::vector<WString> MultiStringEntries(const std::vector<uint8_t>& data) {
  std::vector<WString> entries;
  WString entry;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const wchar unit = static_cast<wchar>(data[i] | data[i + 1] << 8);
    if (unit != 0) {
      entry.push_back(unit);
      continue;
    }
    if (entry.empty()) break;
    entries.push_back(entry);
    entry.clear();
  }
  if (!entry.empty()) entries.push_back(entry);
  return entries;
}

}  // namespace kvtr::setup
