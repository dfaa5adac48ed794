// The process sections of the environment report: the executable and its
// account, and the running processes (from tool-help snapshots, or from the
// performance data where the system has no tool-help functions).
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "common_utils/environment/performance_block.h"
#include "common_utils/text/no_case.h"
#include "common_utils/environment/report_environment.h"
#include "common_utils/environment/report_line.h"
#include "common_utils/registry/registry.h"
#include "common_utils/runtime/structured_exception.h"
#include "platform/handle_owners.h"
#include "platform/procedure.h"

namespace kvtr::environment {
namespace {

installer::LogContextBlock g_context = installer::MakeContextBlock();

using installer::SystemErrorText;
constexpr DWORD kLanguage = installer::kUserDefaultLanguage;

constexpr DWORD kAccountChars = 1024;
constexpr size_t kMaxAccountChars = 2047;
constexpr DWORD kSnapshotFlags = 15;  // heaps, processes, threads and modules
constexpr DWORD kPerflibLanguage = 9;
constexpr DWORD kProcessDataBytes = 51200;
constexpr DWORD kProcessDataGrowthBytes = 25600;
constexpr int kMaxInstances = 256;

#define KVTR_ENV_ERROR(unit, level, format)                                           \
  do {                                                                                \
    const SystemErrorText error(GetLastError(), kLanguage);                           \
    KVTR_ENV_LINE(unit, level, format, error.text(), static_cast<int>(error.code())); \
  } while (false)

// Reads a record of the block, refusing one that leaves it.
template <typename Record>
Record RecordAt(const std::vector<BYTE>& block, size_t offset) {
  if (offset > block.size() || sizeof(Record) > block.size() - offset) throw std::out_of_range("performance data");
  Record record;
  std::memcpy(&record, block.data() + offset, sizeof record);
  return record;
}

// The instance name at `offset`, `bytes` long with its terminator.
WString NameAt(const std::vector<BYTE>& block, size_t offset, size_t bytes) {
  if (offset > block.size() || bytes > block.size() - offset) throw std::out_of_range("performance data");
  WString name(bytes / sizeof(WCHAR), 0);
  std::memcpy(name.data(), block.data() + offset, name.size() * sizeof(WCHAR));
  const size_t end = name.find(WCHAR{0});
  if (end != WString::npos) name.resize(end);
  return name;
}

// The leading decimal digits of an index text.
DWORD DecimalValue(const WString& text) {
  DWORD value = 0;
  for (WCHAR c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<DWORD>(c - '0');
  }
  return value;
}

struct RunningProcess {
  WString name;
  DWORD id;
};

// The instances of the block's first object with their "ID Process" value.
std::vector<RunningProcess> ProcessesInBlock(const std::vector<BYTE>& block, DWORD idCounterIndex) {
  std::vector<RunningProcess> processes;
  const auto header = RecordAt<PERF_DATA_BLOCK>(block, 0);
  if (header.NumObjectTypes == 0) return processes;
  const size_t objectAt = header.HeaderLength;
  const auto object = RecordAt<PERF_OBJECT_TYPE>(block, objectAt);
  bool found = false;
  DWORD idOffset = 0;
  size_t counterAt = objectAt + object.HeaderLength;
  for (DWORD i = 0; i < object.NumCounters && !found; ++i) {
    const auto counter = RecordAt<PERF_COUNTER_DEFINITION>(block, counterAt);
    if (counter.CounterNameTitleIndex == idCounterIndex) {
      found = true;
      idOffset = counter.CounterOffset;
    }
    if (counter.ByteLength == 0) break;
    counterAt += counter.ByteLength;
  }
  if (!found) return processes;
  size_t instanceAt = objectAt + object.DefinitionLength;
  for (LONG i = 0; i < object.NumInstances && i < kMaxInstances; ++i) {
    const auto instance = RecordAt<PERF_INSTANCE_DEFINITION>(block, instanceAt);
    const size_t countersAt = instanceAt + instance.ByteLength;
    const auto counters = RecordAt<PERF_COUNTER_BLOCK>(block, countersAt);
    processes.push_back({NameAt(block, instanceAt + instance.NameOffset, instance.NameLength),
                         RecordAt<DWORD>(block, countersAt + idOffset)});
    if (instance.ByteLength == 0 && counters.ByteLength == 0) break;
    instanceAt = countersAt + counters.ByteLength;
  }
  return processes;
}

}  // namespace

void ReportEnvironment::GetServiceInfo(WString& executable, WString& account) {
  const ReportUnit unit{sink(), "ReportEnvironment::GetServiceInfo", &g_context};
  WCHAR path[MAX_PATH] = {};
  if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
    KVTR_ENV_ERROR(unit, 2, W("GetModuleFileNameW Error: %s (%d)"));
    return;
  }
  executable = path;
  UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    KVTR_ENV_ERROR(unit, 1, W("OpenProcessToken Error: %s (%d)"));
    return;
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) {
    KVTR_ENV_ERROR(unit, 1, W("GetTokenInformation Error: %s (%d)"));
    return;
  }
  std::vector<BYTE> user(size);
  if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
    KVTR_ENV_ERROR(unit, 1, W("GetTokenInformation Error: %s (%d)"));
    return;
  }
  WCHAR name[kAccountChars] = {};
  WCHAR domain[kAccountChars] = {};
  DWORD nameChars = kAccountChars;
  DWORD domainChars = kAccountChars;
  SID_NAME_USE use;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  if (!LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) {
    KVTR_ENV_ERROR(unit, 1, W("LookupAccountSid Error: %s (%d)"));
    return;
  }
  account = WString(domain) + W("\\") + name;
  if (account.size() > kMaxAccountChars) account.resize(kMaxAccountChars);
}

void ReportEnvironment::ReportCurrentProcesses() {
  const ReportUnit unit{sink(), "ReportEnvironment::ReportCurrentProcesses", &g_context};
  using Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
  using Walk = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);
  const auto snapshot = Kernel32Procedure<Snapshot>("CreateToolhelp32Snapshot");
  const auto first = Kernel32Procedure<Walk>("Process32FirstW");
  const auto next = Kernel32Procedure<Walk>("Process32NextW");
  if (snapshot == nullptr || first == nullptr || next == nullptr) {
    ReportCurrentProcessesNT();
    return;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  const auto close = [&] {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
    try {
      runtime::TranslateFaults([&] { CloseHandle(handle); });
    } catch (const runtime::StructuredException& fault) {
      KVTR_ENV_LINE(unit, 1, W("Failed to close handle after enumerating processes. Exception code: 0x%X"),
                    fault.code());
    } catch (...) {
      KVTR_ENV_TEXT(unit, 1, W(" Failed to close handle after enumerating processes. An unknown exception occurred."));
    }
    handle = INVALID_HANDLE_VALUE;
  };
  try {
    runtime::TranslateFaults([&] {
      handle = snapshot(kSnapshotFlags, 0);
      PROCESSENTRY32W entry{};
      entry.dwSize = sizeof entry;
      for (BOOL more = first(handle, &entry); more == TRUE; more = next(handle, &entry)) {
        if (entry.th32ProcessID != 0) {
          KVTR_ENV_LINE(unit, 3, W("[ENV] Running Process: %s, ID: %u"), entry.szExeFile,
                        static_cast<unsigned>(entry.th32ProcessID));
        }
      }
    });
  } catch (const runtime::StructuredException& fault) {
    KVTR_ENV_LINE(unit, 1, W("Failed to enumerate processes. Exception code : 0x%X"), fault.code());
  } catch (...) {
    KVTR_ENV_TEXT(unit, 1, W("Failed to enumerate processes. An unknown exception occurred."));
  }
  close();
}

void ReportEnvironment::ReportCurrentProcessesNT() {
  const ReportUnit unit{sink(), "ReportEnvironment::ReportCurrentProcessesNT", &g_context};
  char narrow[MAX_PATH] = {};
  std::snprintf(narrow, sizeof narrow, "%s\\%03x", "software\\microsoft\\windows nt\\currentversion\\perflib",
                static_cast<unsigned>(kPerflibLanguage));
  registry::Registry perflib(HKEY_LOCAL_MACHINE, narrow, registry::Registry::kNoNameCache);
  if (!perflib.Open(false)) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Could not open performance registry key!"));
    return;
  }
  // Windows keeps the names in "Counter"; "Counters" is read first, as the
  // report always did, and "Counter" where it is absent.
  const WCHAR* valueName = W("Counters");
  DWORD size = 0;
  if (!perflib.GetValueSize(valueName, &size)) {
    valueName = W("Counter");
    if (!perflib.GetValueSize(valueName, &size)) {
      KVTR_ENV_TEXT(unit, 3, W("[ENV] Could not open counter registry key!"));
      return;
    }
  }
  std::vector<WString> names;
  try {
    names.reserve(size / sizeof(WCHAR) / 2 + 1);
    if (!perflib.GetMultiString(valueName, names)) {
      KVTR_ENV_TEXT(unit, 3, W("[ENV] Could Not Read the counter Names!"));
      return;
    }
  } catch (const std::bad_alloc&) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Out of Memory!"));
    return;
  }
  WString processIndex;
  DWORD idProcessIndex = 0;
  for (size_t i = 0; i + 1 < names.size(); i += 2) {
    if (text::EqualNoCase(names[i + 1], W("process"))) {
      processIndex = names[i];
    } else if (text::EqualNoCase(names[i + 1], W("id process"))) {
      idProcessIndex = DecimalValue(names[i]);
    }
  }

  std::vector<BYTE> block;
  try {
    block.assign(kProcessDataBytes, 0);
  } catch (const std::bad_alloc&) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Out of Memory!"));
    return;
  }
  const UniqueKey performanceData(HKEY_PERFORMANCE_DATA);  // the query opens it
  LONG status;
  try {
    status = QueryPerformanceBlock(processIndex.c_str(), block, kProcessDataGrowthBytes);
  } catch (const std::bad_alloc&) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Could Not Allocate Performance Data!"));
    return;
  }
  if (status != ERROR_SUCCESS || block.size() < 8 || std::memcmp(block.data(), W("PERF"), 8) != 0) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Could Not Obtain Performance Data!"));
    return;
  }
  std::vector<RunningProcess> processes;
  try {
    processes = ProcessesInBlock(block, idProcessIndex);
  } catch (const std::out_of_range&) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Could Not Obtain Performance Data!"));
    return;
  }
  for (const RunningProcess& process : processes) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Running Process: %s, ID: %u"), process.name.c_str(), static_cast<unsigned>(process.id));
  }
}

}  // namespace kvtr::environment
