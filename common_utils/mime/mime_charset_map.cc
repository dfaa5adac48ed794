#include "common_utils/mime/mime_charset_map.h"

#include "common_utils/registry/registry.h"
#include "common_utils/text/conversions.h"

namespace kvtr::text {
namespace {

wchar FoldAsciiLetter(wchar c) { return (c >= 'A' && c <= 'Z') ? static_cast<wchar>(c + ('a' - 'A')) : c; }

// The subkey's own name, in wide text of the thread code page.
bool KeyName(const registry::Registry& key, WString& name) {
  const char* own = key.GetKeyName();
  return own != nullptr && WidenWithThreadCodePage(own, name);
}

}  // namespace

bool WideNoCaseLess::operator()(WStringView a, WStringView b) const noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const wchar x = FoldAsciiLetter(a[i]);
    const wchar y = FoldAsciiLetter(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

MimeCharsetMap::MimeCharsetMap() { Fill(HKEY_CLASSES_ROOT, kDatabasePath); }

MimeCharsetMap::MimeCharsetMap(HKEY root, const char* path) { Fill(root, path); }

std::optional<DWORD> MimeCharsetMap::CodePageOf(WStringView name) const {
  const auto found = codePages_.find(name);
  if (found == codePages_.end()) return std::nullopt;
  return found->second;
}

void MimeCharsetMap::Fill(HKEY root, const char* path) {
  // Alias name -> the name of the charset it stands for; only while filling.
  std::map<WString, WString, WideNoCaseLess> aliases;
  registry::Registry charsets(root, path, registry::Registry::kNoNameCache);
  if (charsets.Open(/*forWrite=*/false)) {
    DWORD count = 0;
    if (charsets.GetSubKeyCount(&count)) {
      for (DWORD index = 0; index < count; ++index) {
        registry::Registry child(registry::Registry::kNoNameCache);
        if (!charsets.OpenSubKey(index, child)) continue;
        DWORD codePage = 0;
        WString name;
        if (child.GetDWORD(W("InternetEncoding"), &codePage)) {
          // A charset, even when it also names another: its own code page wins.
          if (KeyName(child, name)) codePages_[name] = codePage;
        } else {
          WCHAR target[kAliasChars] = {};
          if (child.GetString(W("AliasForCharset"), target, kAliasChars) && KeyName(child, name)) {
            aliases[name] = target;
          }
        }
        child.Close();
      }
    }
    charsets.Close();
  }

  // Passes in key order, each resolving the aliases whose target is known by
  // then, until a pass resolves none: an alias of an alias resolves in a
  // later pass than its target, and what is left never reaches a charset.
  bool resolved = true;
  while (!aliases.empty() && resolved) {
    resolved = false;
    for (auto alias = aliases.begin(); alias != aliases.end();) {
      const auto target = codePages_.find(alias->second);
      if (target == codePages_.end()) {
        ++alias;
        continue;
      }
      codePages_[alias->first] = target->second;
      alias = aliases.erase(alias);
      resolved = true;
    }
  }
}

}  // namespace kvtr::text
