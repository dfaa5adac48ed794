#include "installer/export_barrier.h"

#include <exception>

#include "common_utils/runtime/guarded_region.h"
#include "installer/counter_installation.h"
#include "installer/counter_removal.h"
#include "installer/legacy_counters.h"
#include "installer/perflib_counters.h"

namespace kvtr::installer::exported {
namespace {

struct Failure {
  int standard;  // a standard exception
  int other;     // any other exception, or a processor fault
};

template <typename Call>
int Barrier(const char* name, Failure failure, Call&& call) noexcept {
  int result = failure.other;
  try {
    if (runtime::Guarded([&] { result = call(); })) return result;
    ReportFailureToHost(CurrentHostLog(), kLevelFailure, name, __LINE__, &g_exportsContext,
                        W("Stopped by a processor fault"));
    return failure.other;
  } catch (const std::exception& stopped) {
    ReportFailureToHost(CurrentHostLog(), kLevelFailure, name, __LINE__, &g_exportsContext,
                        W("Stopped by an exception : %hs"), stopped.what());
    return failure.standard;
  } catch (...) {
    ReportFailureToHost(CurrentHostLog(), kLevelFailure, name, __LINE__, &g_exportsContext,
                        W("Stopped by an unknown exception"));
    return failure.other;
  }
}

}  // namespace

int InstRouter(const WCHAR* directory) noexcept {
  return Barrier("InstRouter", {-4, -5}, [&] { return installer::InstRouter(directory); });
}

int InstAgent(const WCHAR* directory) noexcept {
  return Barrier("InstAgent", {-1, -1}, [&] { return installer::InstAgent(directory); });
}

int UnInstRouter() noexcept { return Barrier("UnInstRouter", {-5, -5}, [] { return installer::UnInstRouter(); }); }

int UnInstAgent() noexcept { return Barrier("UnInstAgent", {-1, -1}, [] { return installer::UnInstAgent(); }); }

int RemoveOldCounters() noexcept {
  return Barrier("RemoveOldCounters", {0, 0}, [] { return installer::RemoveOldCounters(); });
}

int UnInstOldCounters(const WCHAR* serviceName) noexcept {
  return Barrier("UnInstOldCounters", {-1, -1}, [&] { return installer::UnInstOldCounters(serviceName); });
}

}  // namespace kvtr::installer::exported
