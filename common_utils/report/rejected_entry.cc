#include "common_utils/report/rejected_entry.h"

#include <cstring>

#include "common_utils/report/log_receiver.h"
#include "common_utils/text/qel_string.h"

namespace kvtr::format {
namespace {

constexpr wchar kNull[] = W("<null>");

// The value text of one examined argument.
void RenderValue(const RejectedArgument& argument, qel::QELString& value) {
  if (!argument.usable) {
    if (argument.unreadableAddress != nullptr) value.Format(W("BAD_PTR(%p)"), argument.unreadableAddress);
    return;
  }
  const uint64_t bits = argument.bits;
  switch (argument.type) {
    case ArgType::kChar: {
      const char narrow[2] = {static_cast<char>(bits & 0xFF), 0};
      value.FormatNarrow("%c", narrow[0]);
      return;
    }
    case ArgType::kWchar:
      value.Format(W("%c"), static_cast<unsigned>(bits & 0xFFFF));
      return;
    case ArgType::kInt:
    case ArgType::kLongInt:
      value.Format(W("%i"), static_cast<int32_t>(static_cast<uint32_t>(bits)));
      return;
    case ArgType::kUnsignedInt:
    case ArgType::kLongUnsignedInt:
      value.Format(W("%u"), static_cast<uint32_t>(bits));
      return;
    case ArgType::kShortInt:
      value.Format(W("%i"), static_cast<int32_t>(static_cast<int16_t>(bits & 0xFFFF)));
      return;
    case ArgType::kUnsignedShortInt:
      value.Format(W("%u"), static_cast<uint32_t>(bits & 0xFFFF));
      return;
    case ArgType::kInt64:
      value.Format(W("%I64i"), static_cast<int64_t>(bits));
      return;
    case ArgType::kUnsignedInt64:
      value.Format(W("%I64u"), bits);
      return;
    case ArgType::kDouble:
    case ArgType::kLongDouble: {
      double number;
      std::memcpy(&number, &bits, sizeof number);
      value.Format(argument.type == ArgType::kDouble ? W("%f") : W("%lf"), number);
      return;
    }
    case ArgType::kIntPointer:
    case ArgType::kVoidPointer:
      value.Format(W("%p"), argument.pointer());
      return;
    case ArgType::kCharPointer:
      if (argument.pointer() != nullptr) value.AssignNarrow(static_cast<const char*>(argument.pointer()));
      return;
    case ArgType::kWcharPointer:
      if (argument.pointer() != nullptr) value.Assign(static_cast<const wchar*>(argument.pointer()));
      return;
  }
}

}  // namespace

void BuildRejectedEntryReport(const RejectedEntry& entry, qel::QELString& report) {
  qel::QELString description;
  for (const RejectedArgument& argument : entry.arguments) {
    const qel::QELString typeName(argument.TypeName(), false);
    qel::QELString value(kNull);
    RenderValue(argument, value);
    qel::QELString::AppendFormat(description, W("arg[%d](%s)=%s "), argument.number, typeName.CStr(),
                                 value.CStr() != nullptr ? value.CStr() : kNull);
  }
  // A format that cannot be read is shown by its address, never read.
  qel::QELString format(kNull);
  if (entry.format != nullptr) {
    if (entry.formatReadable) {
      format.Assign(entry.format);
    } else {
      format.Format(W("BAD_PTR(%p)"), static_cast<const void*>(entry.format));
    }
  }
  const uint32_t eventId = static_cast<uint32_t>(entry.eventId);
  report.Format(W("Invalid log entry - Level:%d, EventId:%d(0x%08X), Format:%s, User:%s, ArgCount:%d, Args:%s"),
                entry.level, static_cast<int>(eventId & 0xFFFF), eventId, format.CStr(),
                entry.user != nullptr ? entry.user : kNull, entry.argumentCount,
                description.CStr() != nullptr && !entry.arguments.empty() ? description.CStr() : kNull);
}

void HandOverRejectedEntry(const RejectedEntry& entry) {
  try {
    qel::QELString report;
    BuildRejectedEntryReport(entry, report);
    WithLogReceiver([&](LogReceiver& receiver) { receiver.LogText(5, 0, 0, report.CStr(), nullptr); });
  } catch (...) {
    // Memory ran out: the report is lost, the entry stays rejected.
  }
}

}  // namespace kvtr::format
