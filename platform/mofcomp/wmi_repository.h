// The emulated WMI class repository: classes per namespace, kept on the
// emulated machine (Linux: <prefix>/wbem/, Windows: %windir%\kvtr-wbem\) as
// one MOF text file per namespace, so that every process sees the same
// classes. Nothing is cached in memory: each call reads the files again.
//
// Namespaces root, root\default, root\cimv2 and root\wmi always exist;
// root\cimv2 starts with CIM_StatisticalInformation, Win32_Perf,
// Win32_PerfRawData and Win32_PerfFormattedData. Namespace and class names
// are compared without regard to case, and every spelling of a namespace
// path ("\\.\root\cimv2", "//./root/cimv2", "ROOT\CIMV2") names the same one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mofcomp/mof_model.h"

namespace kvtr::mof {

// ---- for tools: reading the repository ----

struct ClassSummary {
  WString name;
  WString superclass;  // empty for a root class
};

// Every namespace, as first spelled ("root\cimv2" for the built-in ones).
KVTR_MOF_API std::vector<WString> ListNamespaces();
// The classes of a namespace in the order they were first stored; false
// when the namespace does not exist or its file cannot be read.
KVTR_MOF_API bool ListClasses(WStringView nameSpace, std::vector<ClassSummary>* classes);
// One class as declared (its own properties only, not inherited ones).
KVTR_MOF_API std::optional<ClassDef> FindClass(WStringView nameSpace, WStringView className);

// ---- for the compiler: changing it ----

// The changes of one compilation: items are applied to a working copy of
// the namespaces they touch, and Commit writes the changed namespaces
// (each file replaced atomically). Dropping it without Commit keeps none
// of them. Holds the repository lock against other compilations.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Stores a class, deletes one (with all its subclasses) or creates a
  // namespace (instance of __Namespace). `classFlags` are IMofCompiler's
  // lClassFlags. Returns the WBEM_E_ code of a failure, 0 on success.
  HRESULT Apply(const Item& item, LONG classFlags);
  HRESULT Commit();

  struct Namespace;

 private:
  HRESULT Load(WStringView nameSpace, Namespace** out);

  std::vector<std::unique_ptr<Namespace>> loaded_;
  struct Lock;
  std::unique_ptr<Lock> lock_;
};

}  // namespace kvtr::mof

// For the Linux host program: the class names of a namespace as a list of
// zero-terminated names followed by one more zero (at least two zeros for
// an empty list). Returns the number of units the list needs; it is
// written only when `capacity` is at least that. 0 when the namespace does
// not exist.
extern "C" KVTR_MOF_API DWORD KvtrEmu_ListWmiClasses(const WCHAR* nameSpace, WCHAR* buffer, DWORD capacity);
