#include "tools/change_report.h"

#include <cstdio>

namespace kvtr::setup {
namespace {

WString Units(const std::vector<uint8_t>& data) {
  WString text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) text.push_back(static_cast<wchar>(data[i] | data[i + 1] << 8));
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

bool IsNumber(const RegEntry& value) { return value.type == REG_DWORD && value.data.size() == 4; }
uint32_t Number(const RegEntry& value) {
  return value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
}
bool IsText(const RegEntry& value) { return value.type == REG_SZ || value.type == REG_EXPAND_SZ; }

std::string Hex(const std::vector<uint8_t>& data, size_t most) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < data.size() && i < most; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
  }
  return out;
}

std::string ValueName(const WString& name) { return name.empty() ? "(Default)" : "\"" + Utf8(name) + "\""; }

// A value as a person reads it: text quoted, numbers in hex and decimal,
// lists by their size, other data as hex (cut after 32 bytes).
std::string Shown(const RegEntry& value) {
  std::string out = RegTypeName(value.type);
  char number[48];
  if (IsNumber(value)) {
    std::snprintf(number, sizeof number, " 0x%x (%u)", static_cast<unsigned>(Number(value)),
                  static_cast<unsigned>(Number(value)));
    return out + number;
  }
  if (IsText(value)) return out + " \"" + Utf8(Units(value.data)) + "\"";
  if (value.type == REG_MULTI_SZ) {
    const size_t count = MultiStringEntries(value.data).size();
    return out + " (" + std::to_string(count) + (count == 1 ? " entry)" : " entries)");
  }
  out += " " + Hex(value.data, 32);
  if (value.data.size() > 32) out += "... (" + std::to_string(value.data.size()) + " bytes)";
  return out;
}

std::string Json(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

std::string Json(const WString& text) { return Json(Utf8(text)); }

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Json(items[i]);
  return out + "]";
}

std::string JsonList(const std::vector<WString>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Json(items[i]);
  return out + "]";
}

std::string JsonData(const RegEntry& value) {
  if (IsNumber(value)) return std::to_string(Number(value));
  if (IsText(value)) return Json(Units(value.data));
  if (value.type == REG_MULTI_SZ) return JsonList(MultiStringEntries(value.data));
  return Json(Hex(value.data, value.data.size()));
}

const char* ChangeName(Change change) {
  return change == Change::kAdded ? "added" : change == Change::kRemoved ? "removed" : "changed";
}

void TextValue(std::string& out, const ValueChange& value) {
  const std::string name = ValueName(value.name);
  if (value.change == Change::kAdded) {
    out += "      + " + name + " = " + Shown(*value.after) + "\n";
    return;
  }
  if (value.change == Change::kRemoved) {
    out += "      - " + name + " = " + Shown(*value.before) + "\n";
    return;
  }
  if (value.before->type == REG_MULTI_SZ && value.after->type == REG_MULTI_SZ) {
    size_t removed = 0, added = 0;
    for (const EntryChange& entry : value.entries) (entry.change == Change::kRemoved ? removed : added)++;
    out += "      ~ " + name + " REG_MULTI_SZ: " + std::to_string(removed) + " removed, " + std::to_string(added) +
           " added\n";
    for (const EntryChange& entry : value.entries) {
      out += std::string("          ") + (entry.change == Change::kRemoved ? "- " : "+ ") + "[" +
             std::to_string(entry.position) + "] " + Utf8(entry.entry) + "\n";
    }
    return;
  }
  out += "      ~ " + name + " " + Shown(*value.before) + " -> " + Shown(*value.after) + "\n";
}

void TextKey(std::string& out, const KeyChange& key) {
  const char* mark = key.change == Change::kAdded ? "+ " : key.change == Change::kRemoved ? "- " : "  ";
  out += std::string("  ") + mark + Utf8(key.path);
  if (key.change != Change::kChanged) out += std::string("   (key ") + ChangeName(key.change) + ")";
  out += "\n";
  for (const ValueChange& value : key.values) TextValue(out, value);
}

std::string Count(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

std::vector<WString> AutorecoverList(const RegImage& image) {
  const auto key = image.find(FoldedPath(FromUtf8Text(kCimomKey)));
  if (key == image.end()) return {};
  const RegEntry* value = key->second.Find(FromUtf8Text(kAutorecoverValue));
  return value != nullptr && value->type == REG_MULTI_SZ ? MultiStringEntries(value->data) : std::vector<WString>{};
}

std::string TextReport(const MachineChanges& changes) {
  std::string out;
  if (!changes.command.empty()) out += "Preview of: " + changes.command + "\n";
  if (changes.result) out += "Result: " + std::to_string(*changes.result) + "\n";
  size_t keysAdded = 0, keysRemoved = 0, keysChanged = 0, values = 0;
  for (const KeyChange& key : changes.registry) {
    (key.change == Change::kAdded ? keysAdded : key.change == Change::kRemoved ? keysRemoved : keysChanged)++;
    values += key.values.size();
  }
  for (const bool shared : {true, false}) {
    std::string group;
    for (const KeyChange& key : changes.registry) {
      if (key.shared == shared) TextKey(group, key);
    }
    if (!group.empty()) out += std::string("\n") + (shared ? "Shared lists" : "Other keys") + "\n" + group;
  }
  if (changes.registry.empty()) out += "\nNo registry changes\n";
  if (changes.autorecoverBefore != changes.autorecoverAfter || !changes.command.empty()) {
    out += "\nAutorecover list before\n";
    for (const WString& entry : changes.autorecoverBefore) out += "  " + Utf8(entry) + "\n";
    out += "Autorecover list after\n";
    for (const WString& entry : changes.autorecoverAfter) out += "  " + Utf8(entry) + "\n";
  }
  const auto list = [&](const char* title, const std::vector<std::string>& items) {
    if (items.empty()) return;
    out += std::string("\n") + title + "\n";
    for (const std::string& item : items) out += "  " + item + "\n";
  };
  list("Files created", changes.filesCreated);
  list("Files deleted", changes.filesDeleted);
  list("WMI classes created", changes.classesCreated);
  list("WMI classes deleted", changes.classesDeleted);
  out += "\nSummary: " + Count(keysAdded, "key", "keys") + " added, " + std::to_string(keysRemoved) + " removed, " +
         std::to_string(keysChanged) + " changed; " + Count(values, "value change", "value changes");
  if (!changes.command.empty()) {
    out += "; " + Count(changes.filesCreated.size(), "file", "files") + " created, " +
           std::to_string(changes.filesDeleted.size()) + " deleted; " +
           Count(changes.classesCreated.size(), "class", "classes") + " created, " +
           std::to_string(changes.classesDeleted.size()) + " deleted";
  }
  return out + "\n";
}

std::string JsonReport(const MachineChanges& changes) {
  std::string out = "{";
  if (!changes.command.empty()) out += "\"command\":" + Json(changes.command) + ",";
  if (changes.result) out += "\"result\":" + std::to_string(*changes.result) + ",";
  if (!changes.command.empty()) out += "\"reports\":" + JsonList(changes.reports) + ",";
  out += "\"registry\":[";
  for (size_t k = 0; k < changes.registry.size(); ++k) {
    const KeyChange& key = changes.registry[k];
    out += std::string(k ? "," : "") + "{\"key\":" + Json(key.path) + ",\"change\":\"" + ChangeName(key.change) +
           "\",\"shared\":" + (key.shared ? "true" : "false") + ",\"values\":[";
    for (size_t v = 0; v < key.values.size(); ++v) {
      const ValueChange& value = key.values[v];
      out += std::string(v ? "," : "") + "{\"name\":" + Json(value.name) + ",\"change\":\"" +
             ChangeName(value.change) + "\"";
      if (value.before) {
        out += std::string(",\"before\":{\"type\":\"") + RegTypeName(value.before->type) + "\",\"data\":" +
               JsonData(*value.before) + "}";
      }
      if (value.after) {
        out += std::string(",\"after\":{\"type\":\"") + RegTypeName(value.after->type) + "\",\"data\":" +
               JsonData(*value.after) + "}";
      }
      if (!value.entries.empty()) {
        out += ",\"entries\":[";
        for (size_t e = 0; e < value.entries.size(); ++e) {
          const EntryChange& entry = value.entries[e];
          out += std::string(e ? "," : "") + "{\"change\":\"" + ChangeName(entry.change) + "\",\"position\":" +
                 std::to_string(entry.position) + ",\"entry\":" + Json(entry.entry) + "}";
        }
        out += "]";
      }
      out += "}";
    }
    out += "]}";
  }
  out += "],\"autorecover\":{\"before\":" + JsonList(changes.autorecoverBefore) +
         ",\"after\":" + JsonList(changes.autorecoverAfter) + "}";
  if (!changes.command.empty()) {
    out += ",\"files\":{\"created\":" + JsonList(changes.filesCreated) + ",\"deleted\":" +
           JsonList(changes.filesDeleted) + "}";
    out += ",\"wmi\":{\"created\":" + JsonList(changes.classesCreated) + ",\"deleted\":" +
           JsonList(changes.classesDeleted) + "}";
  }
  return out + "}\n";
}

}  // namespace kvtr::setup
