#include <cstring>

#include "common_utils/paths/path_functions.h"
#include "common_utils/report/host_log.h"
#include "common_utils/runtime/guarded_region.h"
#include "installer/qel_wmi.h"

namespace qel_wmi {
namespace {

using kvtr::installer::g_wmiContext;
using kvtr::installer::HostLogCallback;
using kvtr::installer::kLevelFailure;
using kvtr::installer::kUserDefaultLanguage;
using kvtr::installer::ReportLiteralToHost;
using kvtr::installer::ReportToHost;
using kvtr::installer::SystemErrorText;

constexpr const char* kFunction = "qel_wmi::CompileMOFile";
constexpr int kPhaseCount = 64;

struct PhaseTable {
  const WCHAR* entries[kPhaseCount] = {W("no error"), W("argument error"), W("parsing"),
                                       W("errors occurred while storing the data")};
};

}  // namespace

const CLSID kMofCompilerClassId = {0x6DAF9757, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
const IID kMofCompilerInterfaceId = {0x6DAF974E, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};

HRESULT CreateMofCompiler(IMofCompiler** compiler) {
  *compiler = nullptr;
  return CoCreateInstance(kMofCompilerClassId, nullptr, CLSCTX_INPROC_SERVER, kMofCompilerInterfaceId,
                          reinterpret_cast<void**>(compiler));
}

void ReleaseMofCompiler(IMofCompiler* compiler) noexcept {
  if (compiler == nullptr) return;
  try {
    kvtr::runtime::Guarded([compiler] { compiler->Release(); });
  } catch (...) {
  }
}

bool CompilationFailed(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status) {
  return result == WBEM_S_FALSE || result < 0 || status.lPhaseError > 0;
}

const WCHAR* CompilePhaseText(LONG phase) {
  static const PhaseTable table;
  // Phases outside the table have no text, like the unassigned entries.
  if (phase < 0 || phase >= kPhaseCount) return nullptr;
  return table.entries[phase];
}

bool CompileMOFile(const WCHAR* path) {
  const HostLogCallback callback = kvtr::installer::CurrentHostLog();
  if (path == nullptr || path[0] == 0) {
    ReportLiteralToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext, W("MOF file is empty"));
    return false;
  }
  if (!kvtr::installer::FileExists(path)) {
    ReportToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext, W("Cannot find MOF file : %s"), path);
    return false;
  }
  bool compiled = false;
  UniqueMofCompiler compiler;
  try {
    // The compiler is foreign code: a processor fault in it, as any
    // exception, ends the compilation as failed.
    const bool completed = kvtr::runtime::Guarded([&] {
      const HRESULT created = CreateMofCompiler(compiler.put());
      if (created != S_OK) {
        SystemErrorText error(GetLastError(), kUserDefaultLanguage);
        ReportToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext,
                     W("Cannot initialize MOF Compiler COM interface for %s, result: [%d] Error %d {%s}"), path,
                     created, error.code(), error.text());
        return;
      }
      // Zeroed so that a compiler that fails without filling it in is
      // reported with defined values.
      WBEM_COMPILE_STATUS_INFO status;
      std::memset(&status, 0, sizeof status);
      const HRESULT result = compiler.get()->CompileFile(const_cast<LPWSTR>(path), nullptr, nullptr, nullptr, nullptr,
                                                         kCompileOptions, 0, 0, &status);
      if (CompilationFailed(result, status)) {
        ReportToHost(callback, kLevelFailure, kFunction, __LINE__, &g_wmiContext,
                     W("Error [%d] MOF [%s] compilation failed with error : %s, error code : %d, object number : %d"),
                     result, path, CompilePhaseText(status.lPhaseError), status.hRes, status.ObjectNum);
      } else {
        compiled = true;
      }
    });
    if (!completed) compiled = false;
  } catch (...) {
    compiled = false;
  }
  return compiled;
}

}  // namespace qel_wmi
