// Deleting one WMI class by compiling a two-line MOF text through the MOF
// compiler, then taking the class's MOF file off the autorecover list.
#include <cstring>
#include <string>

#include "common_utils/format/bounded_format.h"
#include "common_utils/runtime/guarded_region.h"
#include "common_utils/text/conversions.h"
#include "installer/qel_wmi.h"

namespace qel_wmi {
namespace {

using kvtr::installer::g_wmiContext;
using kvtr::installer::kLevelFailure;

constexpr const char* kFunction = "qel_wmi::RemoveClassFromWBEM";
constexpr int kDeletionBufferBytes = 1024;
// Selects \\.\Root\CimV2 and deletes the class, failing when it is absent.
constexpr const char kDeletionTemplate[] =
    "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n"
    "#pragma deleteclass(\"%ls\",FAIL)";

}  // namespace

bool RemoveClassFromWBEM(const WCHAR* className, HostLogCallback callback) {
  if (className == nullptr || className[0] == 0) {
    kvtr::installer::ReportLiteralToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext,
                                         W("Class name is empty"));
    return false;
  }
  char deletion[kDeletionBufferBytes];
  std::memset(deletion, 0, sizeof deletion);
  kvtr::format::FormatBoundedF(deletion, kDeletionBufferBytes - 1, kDeletionTemplate, className);

  bool deleted = false;
  UniqueMofCompiler compiler;
  try {
    // A processor fault in the compiler, as any exception, leaves the
    // result false and is not reported.
    kvtr::runtime::Guarded([&] {
      const HRESULT created = CreateMofCompiler(compiler.put());
      if (created != S_OK) {
        kvtr::installer::SystemErrorText error(GetLastError(), kvtr::installer::kUserDefaultLanguage);
        kvtr::installer::ReportToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext,
                                      W("Cannot initialize MOF Compiler COM interface: %d, Error %d {%s}"), created,
                                      error.code(), error.text());
        return;
      }
      WBEM_COMPILE_STATUS_INFO status;
      std::memset(&status, 0, sizeof status);
      const HRESULT result =
          compiler.get()->CompileBuffer(kDeletionBufferBytes, reinterpret_cast<BYTE*>(deletion), nullptr, nullptr,
                                        nullptr, nullptr, kCompileOptions, 0, 0, &status);
      if (CompilationFailed(result, status)) {
        kvtr::installer::ReportToHost(
            callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext,
            W("Error [%d] MOF compilation failed with error : %s, error code : %d, object number : %d"), result,
            CompilePhaseText(status.lPhaseError), status.hRes, status.ObjectNum);
      } else {
        deleted = true;
      }
    });
  } catch (...) {
  }
  compiler.reset();

  // The autorecover list is cleaned whatever became of the deletion.
  std::string narrowName;
  const bool converted = kvtr::text::NarrowWithThreadCodePage(className, narrowName);
  RemoveClassFromRegistry(converted ? narrowName.c_str() : nullptr, callback);
  return deleted;
}

}  // namespace qel_wmi
