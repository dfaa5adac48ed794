// MimeCharsetMap: the MIME character-set names the registry's MIME database
// declares, each with its Windows code page, and the database's aliases,
// each with the code page of the charset it stands for. Filled once at
// construction and read-only afterwards, so concurrent readers need no lock.
//
// The database: one subkey per name below the key
// HKEY_CLASSES_ROOT\MIME\Database\Charset. A subkey with a REG_DWORD
// "InternetEncoding" declares a charset; one without it but with a string
// "AliasForCharset" declares an alias of the charset that value names. Aliases of aliases resolve; an alias whose
// chain never reaches a declared charset (a cycle, say) is left out.
#pragma once

#include <cstddef>
#include <map>
#include <optional>

#include "platform/win32.h"

namespace kvtr::text {

// The C runtime's _wcsicmp order: units compared after folding A-Z to a-z;
// no other unit is folded, so names differing only in the case of those
// letters are one name.
struct WideNoCaseLess {
  using is_transparent = void;
  bool operator()(WStringView a, WStringView b) const noexcept;
};

class MimeCharsetMap {
 public:
  using Entries = std::map<WString, DWORD, WideNoCaseLess>;

  // Where Windows keeps the database, below HKEY_CLASSES_ROOT.
  static constexpr const char* kDatabasePath = "MIME\\Database\\Charset";
  // Characters an alias value is read into; a longer value is cut to one
  // less than this and resolves only if the cut text names a charset.
  static constexpr DWORD kAliasChars = 256;

  // Reads the database of HKEY_CLASSES_ROOT. Never fails for registry
  // reasons: a missing or unreadable key, a subkey that cannot be opened and
  // a value of the wrong type are skipped, and the map holds what could be
  // read. Memory running out throws std::bad_alloc.
  MimeCharsetMap();
  // The same for a database kept at `path` (ANSI code page) below `root`,
  // a predefined root or an open key.
  MimeCharsetMap(HKEY root, const char* path);
  MimeCharsetMap(const MimeCharsetMap&) = delete;
  MimeCharsetMap& operator=(const MimeCharsetMap&) = delete;

  // The code page of a charset or alias, the letters A-Z matched without
  // regard to case; none for a name the map does not hold.
  std::optional<DWORD> CodePageOf(WStringView name) const;
  size_t size() const noexcept { return codePages_.size(); }
  bool empty() const noexcept { return codePages_.empty(); }
  // Every name with its code page, in _wcsicmp order.
  const Entries& entries() const noexcept { return codePages_; }

 private:
  void Fill(HKEY root, const char* path);

  Entries codePages_;
};

}  // namespace kvtr::text
