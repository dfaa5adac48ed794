// What the MOF compiler emulator knows of a MOF text: constants, qualifiers,
// classes with their properties and methods, instances, and the items a
// compilation stores in order. Also the namespace path rules and the MOF
// writer the repository uses to keep classes on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

// Exported from the POSIX platform layer for tools (the tool API in
// wmi_repository.h hands out these types); hidden everywhere else.
#if defined(KVTR_PLATFORM_BUILD)
#define KVTR_MOF_API __attribute__((visibility("default")))
#else
#define KVTR_MOF_API
#endif

namespace kvtr::mof {

// CIM data types a property, parameter or method result can have.
enum class CimType {
  kSInt8, kUInt8, kSInt16, kUInt16, kSInt32, kUInt32, kSInt64, kUInt64,
  kReal32, kReal64, kString, kBoolean, kDateTime, kChar16, kObject, kReference,
};

// The MOF keyword of a type ("uint32"); references are spelled by the caller.
const char* TypeName(CimType type);
// The type of a MOF keyword, compared without regard to case.
std::optional<CimType> TypeFromName(WStringView name);

// A constant: scalar, alias reference or an array of scalars.
struct Value {
  enum class Kind { kNull, kBoolean, kInteger, kReal, kString, kChar, kAlias, kArray };
  Kind kind = Kind::kNull;
  bool boolean = false;
  bool negative = false;    // integers: sign and magnitude, so that all of
  uint64_t magnitude = 0;   // sint64 and uint64 fit
  double real = 0;
  WString text;             // string, alias name (without '$')
  wchar character = 0;
  std::vector<Value> elements;

  bool operator==(const Value&) const = default;
};

struct Qualifier {
  WString name;
  Value value;                   // a qualifier without a value is boolean true
  std::vector<WString> flavors;  // as spelled by the MOF keywords
  bool operator==(const Qualifier&) const = default;
};

struct Property {
  std::vector<Qualifier> qualifiers;
  CimType type = CimType::kString;
  WString referenceClass;  // kReference: the class after which "ref" follows
  WString name;
  bool array = false;
  int arraySize = -1;      // "name[5]"; -1 when unsized
  bool hasDefault = false;
  Value defaultValue;
  bool operator==(const Property&) const = default;
};

struct Method {
  std::vector<Qualifier> qualifiers;
  CimType returnType = CimType::kUInt32;
  WString returnReferenceClass;
  WString name;
  std::vector<Property> parameters;  // defaults unused
  bool operator==(const Method&) const = default;
};

struct ClassDef {
  WString name;
  WString superclass;  // empty: a root class
  std::vector<Qualifier> qualifiers;
  std::vector<Property> properties;
  std::vector<Method> methods;
  bool operator==(const ClassDef&) const = default;

  KVTR_MOF_API const Qualifier* FindQualifier(WStringView qualifier) const;
  KVTR_MOF_API const Property* FindProperty(WStringView property) const;
};

struct InstanceDef {
  WString className;
  WString alias;
  std::vector<Qualifier> qualifiers;
  std::vector<std::pair<WString, Value>> values;
};

// One thing a compilation stores, in text order, with the namespace that
// was current where it was declared and the lines it spans.
struct Item {
  enum class Kind { kClass, kInstance, kDeleteClass };
  Kind kind = Kind::kClass;
  WString nameSpace;
  LONG firstLine = 0;
  LONG lastLine = 0;
  ClassDef classDef;        // kClass
  InstanceDef instance;     // kInstance
  WString deleteName;       // kDeleteClass
  bool deleteMustExist = false;  // FAIL rather than NOFAIL
};

// ---- names ----

// The MOF compiler's one case-insensitive comparison (classes, namespaces,
// qualifiers, autorecover paths): each unit upper-cased as CharUpperBuffW
// does.
KVTR_MOF_API bool SameName(WStringView a, WStringView b);

// Resolves a namespace path as "#pragma namespace" and ServerAndNamespace
// give it: "\\server\root\x" and "//server/root/x" name the local machine
// whatever the server, a path whose first part is "root" is absolute, any
// other is relative to `current`. The result has the form "root\a\b" (parts
// as spelled, '\' between). Empty when the path is malformed.
WString ResolveNamespace(WStringView current, WStringView path);

// The MOF text of one class (qualifiers, declaration, features), ending in
// "};" and a newline; parsed back it gives an equal ClassDef. UTF-8, except
// that a name holding a lone surrogate (MOF has no escape for names) keeps
// it in the three bytes UTF-8 gives a code point: MofFileBytes makes a file
// of such text. Strings and characters write one as \xhhhh.
std::string ClassToMof(const ClassDef& classDef);
// MOF string literal for `text` (quotes and escapes), UTF-8.
std::string MofString(WStringView text);

// The bytes of a MOF file of text made as above: the text itself (UTF-8),
// or, when a name holds a lone surrogate, the text in UTF-16LE with a byte
// order mark. MofFileText reads such a file back.
std::string MofFileBytes(const std::string& text);
WString MofFileText(std::string_view bytes);

// UTF-16 <-> UTF-8 without the platform's code pages.
std::string ToUtf8(WStringView text);
WString FromUtf8(std::string_view text, bool* valid = nullptr);

}  // namespace kvtr::mof
