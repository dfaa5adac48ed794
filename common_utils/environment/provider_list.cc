#include "common_utils/environment/provider_list.h"

#include <cstddef>

#include "common_utils/environment/com_initializer.h"
#include "common_utils/runtime/guarded_region.h"
#include "platform/handle_owners.h"

namespace kvtr::environment {
namespace {

using installer::HostLogCallback;

constexpr const char* kFunction = "provider_list";
constexpr int kLevel = 4;
installer::LogContextBlock g_context = installer::MakeContextBlock();

#define KVTR_REPORT(sink, ...) \
  installer::ReportToHost(sink, kLevel, kFunction, __LINE__, &g_context, __VA_ARGS__)

// One row of the sources rowset as the accessor binds it.
struct SourceRow {
  DBSTATUS status;
  WCHAR name[kSourceNameChars];
};

// Opens the sources rowset and appends each row's name to `names`. `hr`
// holds the status of opening it (the last call made), for the reports.
void EnumerateSources(std::vector<WString>& names, HRESULT& hr) {
  UniqueCom<ISourcesRowset> enumerator;
  hr = CoCreateInstance(kOleDbEnumerator, nullptr, CLSCTX_INPROC_SERVER, kISourcesRowset,
                        reinterpret_cast<void**>(enumerator.put()));
  if (FAILED(hr)) return;
  UniqueCom<IUnknown> rowsetUnknown;
  hr = enumerator.get()->GetSourcesRowset(nullptr, kIRowset, 0, nullptr, rowsetUnknown.put());
  if (FAILED(hr)) return;
  UniqueCom<IRowset> rowset;
  hr = rowsetUnknown.get()->QueryInterface(kIRowset, reinterpret_cast<void**>(rowset.put()));
  if (FAILED(hr)) return;
  UniqueCom<IAccessor> accessors;
  hr = rowset.get()->QueryInterface(kIAccessor, reinterpret_cast<void**>(accessors.put()));
  if (FAILED(hr)) return;
  DBBINDING binding{};
  binding.iOrdinal = kSourcesNameColumn;
  binding.obValue = offsetof(SourceRow, name);
  binding.obStatus = offsetof(SourceRow, status);
  binding.dwPart = DBPART_VALUE | DBPART_STATUS;
  binding.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
  binding.eParamIO = DBPARAMIO_NOTPARAM;
  binding.cbMaxLen = sizeof(SourceRow::name);
  binding.wType = DBTYPE_WSTR;
  HACCESSOR accessor = 0;
  DBBINDSTATUS bindStatus = 0;
  hr = accessors.get()->CreateAccessor(DBACCESSOR_ROWDATA, 1, &binding, sizeof(SourceRow), &accessor, &bindStatus);
  if (FAILED(hr)) return;
  for (;;) {
    HROW row = 0;
    HROW* rows = &row;
    DBCOUNTITEM obtained = 0;
    const HRESULT moved = rowset.get()->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows);
    if (moved != S_OK || obtained == 0) break;  // DB_S_ENDOFROWSET, or a failure: the list ends
    SourceRow data{};
    const HRESULT got = rowset.get()->GetData(row, accessor, &data);
    rowset.get()->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
    if (SUCCEEDED(got) && data.status == DBSTATUS_S_OK) {
      data.name[kSourceNameChars - 1] = 0;
      names.emplace_back(data.name);
    }
  }
  accessors.get()->ReleaseAccessor(accessor, nullptr);
}

}  // namespace

std::vector<WString> provider_list(HostLogCallback sink) {
  std::vector<WString> names;
  try {
    // The probe: does this thread take the multithreaded apartment?
    ComInitializer probe(COINIT_MULTITHREADED, /*deferred=*/false, /*raiseOnFailure=*/true);
    probe.Uninitialize();
  } catch (const init_exception&) {
    KVTR_REPORT(sink, W("An error occurred during enumerating OLE DB providers - failure during COM initialization. [%d]"), 0);
  } catch (...) {
  }
  HRESULT hr = S_OK;
  try {
    const bool completed = runtime::Guarded([&] { EnumerateSources(names, hr); });
    if (!completed) {
      KVTR_REPORT(sink, W("Cannot get list of OLE DB providers [%d]"), static_cast<int>(hr));
      return names;
    }
  } catch (...) {
    try {
      KVTR_REPORT(sink, W("Cannot get list of OLE DB providers [%d]"), static_cast<int>(hr));
    } catch (...) {
    }
    return names;
  }
  if (hr == CO_E_NOTINITIALIZED) {
    KVTR_REPORT(sink, W("CoInitialize has not been called. [%d]"), static_cast<int>(hr));
    names.clear();
  } else if (hr != S_OK) {
    KVTR_REPORT(sink, W("An error occurred during enumerating OLE DB providers. [%d]"), static_cast<int>(hr));
    names.clear();
  }
  return names;
}

}  // namespace kvtr::environment
