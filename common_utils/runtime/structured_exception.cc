#include "common_utils/runtime/structured_exception.h"

namespace kvtr::runtime::detail {
namespace {

// One record per thread: the exception that carries it may be caught far
// from the fault, so it cannot live in the region's frame.
thread_local EXCEPTION_RECORD t_record;
thread_local EXCEPTION_POINTERS t_pointers;

}  // namespace

void ThrowStructuredException(const EXCEPTION_RECORD& fault) {
  t_record = fault;
  t_record.ExceptionRecord = nullptr;
  t_pointers.ExceptionRecord = &t_record;
  t_pointers.ContextRecord = nullptr;
  throw StructuredException(fault.ExceptionCode, &t_pointers);
}

}  // namespace kvtr::runtime::detail
