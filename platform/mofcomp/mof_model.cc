#include "platform/mofcomp/mof_model.h"

#include <cstdio>
#include <cstring>

namespace kvtr::mof {
namespace {

struct TypeEntry {
  CimType type;
  const char* name;
};
constexpr TypeEntry kTypes[] = {
    {CimType::kSInt8, "sint8"},     {CimType::kUInt8, "uint8"},       {CimType::kSInt16, "sint16"},
    {CimType::kUInt16, "uint16"},   {CimType::kSInt32, "sint32"},     {CimType::kUInt32, "uint32"},
    {CimType::kSInt64, "sint64"},   {CimType::kUInt64, "uint64"},     {CimType::kReal32, "real32"},
    {CimType::kReal64, "real64"},   {CimType::kString, "string"},     {CimType::kBoolean, "boolean"},
    {CimType::kDateTime, "datetime"}, {CimType::kChar16, "char16"},  {CimType::kObject, "object"},
};

bool IsNamespaceChar(wchar c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsLoneSurrogateAt(WStringView text, size_t i) {
  const wchar c = text[i];
  if (c >= 0xD800 && c <= 0xDBFF) return i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF;
  return c >= 0xDC00 && c <= 0xDFFF && (i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF);
}

// A name (class, property, qualifier, flavor, alias) as MOF text. MOF has no
// escapes in names, so a lone surrogate keeps its value in the three bytes
// UTF-8 gives a code point; MofFileBytes then writes the file as UTF-16.
std::string NameToMof(WStringView name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsLoneSurrogateAt(name, i)) {
      AppendUtf8(out, name[i]);
      continue;
    }
    const size_t start = i;
    while (i + 1 < name.size() && !IsLoneSurrogateAt(name, i + 1)) ++i;
    out += ToUtf8(name.substr(start, i + 1 - start));
  }
  return out;
}

void AppendHex4(std::string& out, unsigned value) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04X", value & 0xFFFFu);
  out += digits;
}

// One character inside a string or char literal; `quote` is the delimiter
// to escape. Surrogates and control characters are written as \xhhhh so the
// text stays valid UTF-8 and reads back unit for unit.
void AppendLiteralUnit(std::string& out, WStringView text, size_t& i, char quote) {
  const wchar c = text[i];
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    default: break;
  }
  if (c == static_cast<wchar>(quote)) {
    out.push_back('\\');
    out.push_back(quote);
    return;
  }
  if (c < 0x20 || c == 0x7F) {
    out += "\\x";
    AppendHex4(out, c);
    return;
  }
  if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
    const uint32_t code = 0x10000u + ((static_cast<uint32_t>(c) - 0xD800u) << 10) + (text[i + 1] - 0xDC00u);
    AppendUtf8(out, code);
    ++i;
    return;
  }
  if (c >= 0xD800 && c <= 0xDFFF) {
    out += "\\x";
    AppendHex4(out, c);
    return;
  }
  AppendUtf8(out, c);
}

std::string ValueToMof(const Value& value) {
  switch (value.kind) {
    case Value::Kind::kNull:
      return "null";
    case Value::Kind::kBoolean:
      return value.boolean ? "true" : "false";
    case Value::Kind::kInteger:
      return (value.negative ? "-" : "") + std::to_string(value.magnitude);
    case Value::Kind::kReal: {
      char text[64];
      std::snprintf(text, sizeof text, "%.17g", value.real);
      std::string out = text;
      if (out.find_first_of(".eEn") == std::string::npos) out += ".0";
      return out;
    }
    case Value::Kind::kString:
      return MofString(value.text);
    case Value::Kind::kChar: {
      std::string out = "'";
      const wchar unit[1] = {value.character};
      size_t i = 0;
      AppendLiteralUnit(out, WStringView(unit, 1), i, '\'');
      return out + "'";
    }
    case Value::Kind::kAlias:
      return "$" + NameToMof(value.text);
    case Value::Kind::kArray: {
      std::string out = "{";
      for (size_t i = 0; i < value.elements.size(); ++i) {
        if (i > 0) out += ", ";
        out += ValueToMof(value.elements[i]);
      }
      return out + "}";
    }
  }
  return "null";
}

std::string QualifiersToMof(const std::vector<Qualifier>& qualifiers) {
  if (qualifiers.empty()) return {};
  std::string out = "[";
  for (size_t i = 0; i < qualifiers.size(); ++i) {
    const Qualifier& q = qualifiers[i];
    if (i > 0) out += ", ";
    out += NameToMof(q.name);
    const bool implicitTrue = q.value.kind == Value::Kind::kBoolean && q.value.boolean;
    if (!implicitTrue) {
      if (q.value.kind == Value::Kind::kArray) out += ValueToMof(q.value);
      else out += "(" + ValueToMof(q.value) + ")";
    }
    if (!q.flavors.empty()) {
      out += ":";
      for (const WString& flavor : q.flavors) out += " " + NameToMof(flavor);
    }
  }
  return out + "]";
}

std::string TypeToMof(CimType type, const WString& referenceClass) {
  if (type == CimType::kReference) return NameToMof(referenceClass) + " ref";
  return TypeName(type);
}

std::string PropertyToMof(const Property& p) {
  std::string out = QualifiersToMof(p.qualifiers);
  if (!out.empty()) out += " ";
  out += TypeToMof(p.type, p.referenceClass) + " " + NameToMof(p.name);
  if (p.array) out += p.arraySize >= 0 ? "[" + std::to_string(p.arraySize) + "]" : "[]";
  if (p.hasDefault) out += " = " + ValueToMof(p.defaultValue);
  return out;
}

}  // namespace

const char* TypeName(CimType type) {
  for (const TypeEntry& entry : kTypes) {
    if (entry.type == type) return entry.name;
  }
  return "ref";
}

std::optional<CimType> TypeFromName(WStringView name) {
  for (const TypeEntry& entry : kTypes) {
    if (SameName(name, WidenAscii(entry.name))) return entry.type;
  }
  return std::nullopt;
}

bool SameName(WStringView a, WStringView b) {
  if (a.size() != b.size()) return false;
  // ASCII names (nearly all) are compared in place.
  const auto fold = [](wchar c) { return (c >= 'a' && c <= 'z') ? static_cast<wchar>(c - 0x20) : c; };
  bool ascii = true;
  for (size_t i = 0; i < a.size() && ascii; ++i) {
    if (a[i] >= 0x80 || b[i] >= 0x80) {
      ascii = false;
    } else if (fold(a[i]) != fold(b[i])) {
      return false;
    }
  }
  if (ascii) return true;
  WString x(a), y(b);
  CharUpperBuffW(x.data(), static_cast<DWORD>(x.size()));
  CharUpperBuffW(y.data(), static_cast<DWORD>(y.size()));
  return x == y;
}

const Qualifier* ClassDef::FindQualifier(WStringView qualifier) const {
  for (const Qualifier& q : qualifiers) {
    if (SameName(q.name, qualifier)) return &q;
  }
  return nullptr;
}

const Property* ClassDef::FindProperty(WStringView property) const {
  for (const Property& p : properties) {
    if (SameName(p.name, property)) return &p;
  }
  return nullptr;
}

WString ResolveNamespace(WStringView current, WStringView path) {
  WString text(path);
  for (wchar& c : text) {
    if (c == '/') c = '\\';
  }
  bool rooted = false;
  if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    const size_t end = text.find('\\', 2);
    if (end == WString::npos || end == 2) return {};
    text.erase(0, end + 1);
    rooted = true;
  } else if (!text.empty() && text[0] == '\\') {
    text.erase(0, 1);
    rooted = true;
  }
  std::vector<WString> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\\', start);
    WString part = text.substr(start, end == WString::npos ? WString::npos : end - start);
    if (part.empty()) return {};
    for (wchar c : part) {
      if (!IsNamespaceChar(c)) return {};
    }
    parts.push_back(std::move(part));
    if (end == WString::npos) break;
    start = end + 1;
  }
  WString result;
  if (!SameName(parts[0], W("root"))) {
    if (rooted || current.empty()) return {};
    result = WString(current);
  }
  for (const WString& part : parts) {
    if (!result.empty()) result.push_back('\\');
    result += part;
  }
  return result;
}

std::string MofString(WStringView text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) AppendLiteralUnit(out, text, i, '"');
  return out + "\"";
}

std::string ClassToMof(const ClassDef& c) {
  std::string out = QualifiersToMof(c.qualifiers);
  if (!out.empty()) out += "\n";
  out += "class " + NameToMof(c.name);
  if (!c.superclass.empty()) out += " : " + NameToMof(c.superclass);
  out += "\n{\n";
  for (const Property& p : c.properties) out += "  " + PropertyToMof(p) + ";\n";
  for (const Method& m : c.methods) {
    std::string line = QualifiersToMof(m.qualifiers);
    if (!line.empty()) line += " ";
    line += TypeToMof(m.returnType, m.returnReferenceClass) + " " + NameToMof(m.name) + "(";
    for (size_t i = 0; i < m.parameters.size(); ++i) {
      if (i > 0) line += ", ";
      line += PropertyToMof(m.parameters[i]);
    }
    out += "  " + line + ");\n";
  }
  return out + "};\n";
}

std::string ToUtf8(WStringView text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000u + ((code - 0xD800u) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

WString FromUtf8(std::string_view text, bool* valid) {
  WString out;
  out.reserve(text.size());
  bool ok = true;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07;
    } else {
      extra = -1;
    }
    bool good = extra >= 0;
    if (good) {
      for (int k = 1; k <= extra; ++k) {
        if (i + k >= text.size()) {
          good = false;
          break;
        }
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
          good = false;
          break;
        }
        code = (code << 6) | (next & 0x3F);
      }
    }
    if (good && ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                 (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))) {
      good = false;
    }
    if (!good) {
      ok = false;
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<wchar>(0xD800 + (code >> 10)));
      out.push_back(static_cast<wchar>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar>(code));
    }
    i += static_cast<size_t>(extra) + 1;
  }
  if (valid != nullptr) *valid = ok;
  return out;
}

std::string MofFileBytes(const std::string& text) {
  WString wide;
  size_t start = 0;
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    const auto b2 = static_cast<unsigned char>(text[i + 2]);
    if (b0 != 0xED || (b1 & 0xE0) != 0xA0 || (b2 & 0xC0) != 0x80) continue;
    wide += FromUtf8(std::string_view(text).substr(start, i - start));
    wide.push_back(static_cast<wchar>(0xD000 | ((b1 & 0x3F) << 6) | (b2 & 0x3F)));
    start = i + 3;
    i += 2;
  }
  if (start == 0) return text;
  wide += FromUtf8(std::string_view(text).substr(start));
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + 2 * wide.size());
  for (wchar unit : wide) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

WString MofFileText(std::string_view bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return FromUtf8(bytes);
  }
  WString text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<wchar>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

}  // namespace kvtr::mof
