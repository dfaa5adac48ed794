// The WMI and registration operations of the installer: compiling MOF files
// into the WMI repository and deleting classes from it through the MOF
// compiler COM object, taking a class's MOF file off the autorecover list,
// removing a COM class registration, and the legacy cleanup procedures.
// COM must be initialised on the calling thread by the host.
#pragma once

#include "common_utils/report/host_log.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace qel_wmi {

using kvtr::installer::HostLogCallback;

// The published identifiers of the WMI MOF compiler.
extern const CLSID kMofCompilerClassId;
extern const IID kMofCompilerInterfaceId;

// Options passed to every compilation: print the compiler's messages on
// the console and store the file's name with its data.
constexpr LONG kCompileOptions = 0x108;

// Text for a compile phase (WBEM_COMPILE_STATUS_INFO::lPhaseError): 0 "no
// error", 1 "argument error", 2 "parsing", 3 "errors occurred while storing
// the data"; null for any other phase.
const WCHAR* CompilePhaseText(LONG phase);

// Creates the MOF compiler object in process. The creation's result; on
// success `compiler` holds the interface, on failure it is null.
HRESULT CreateMofCompiler(IMofCompiler** compiler);
// Releases the compiler (if any) in a guarded region: an object that has
// faulted once may fault again.
void ReleaseMofCompiler(IMofCompiler* compiler) noexcept;

struct MofCompilerTraits {
  using Handle = IMofCompiler*;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle compiler) noexcept { ReleaseMofCompiler(compiler); }
};
// The MOF compiler object, released in a guarded region when the owner ends.
using UniqueMofCompiler = kvtr::UniqueHandle<MofCompilerTraits>;

// A compilation failed when the compiler answers 1 (WBEM_S_FALSE), a COM
// failure code (negative), or a status record naming a failed phase.
bool CompilationFailed(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status);

// Compiles one MOF file and reports every failure to the host's callback
// (as set when the call starts). True when the file compiled.
bool CompileMOFile(const WCHAR* path);

// Deletes one class from root\CimV2 and then takes its MOF file off the
// autorecover list (whatever became of the deletion). True when the class
// was deleted.
bool RemoveClassFromWBEM(const WCHAR* className, HostLogCallback callback);

// Deletes HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{class} with its
// subtree. True when the key is gone (deleted now or never there).
bool UnregisterCOM(const GUID& classId, HostLogCallback callback);

// The legacy cleanup procedures; every step runs whatever became of the
// one before, and both always return true.
bool RemoveOldRouterCounters();
bool RemoveOldAgentCounters();

}  // namespace qel_wmi

// Takes the MOF file of one performance class off the WMI autorecover list.
// False for an empty or unknown class name or a failed write-back; true
// otherwise, also when there was no list to change.
bool RemoveClassFromRegistry(const char* className, qel_wmi::HostLogCallback callback);
