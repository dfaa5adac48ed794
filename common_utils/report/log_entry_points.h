// The logging entry points of the support code (threads, crash support, the
// environment report, the logger's own diagnostics): each tests the level,
// checks the arguments against the format, and only then hands the entry
// to the diagnostic logger.
#pragma once

#include <cstdarg>

#include "platform/wide.h"

namespace kvtr::format {

// Each hands the entry to the process's log receiver (log_receiver.h), the
// diagnostic logger, and does nothing without one. Wide conventions (%s
// wide). Rejected entries are reported as the argument check does; nothing
// is raised and nothing is returned.
void LogMessage(int level, const wchar* format, ...);
void LogEventMessage(int level, int eventId, const wchar* format, ...);
// As LogMessage without its level test, for the environment report's
// default sink: the logger applies its own test when the entry arrives,
// and takes it even while its worker is not running.
void LogMessageDirect(int level, const wchar* format, ...);
// Narrow conventions (%s narrow); the format is converted to wide with the
// load-time AnsiCodePageIs1252 choice before it is checked.
void LogMessageNarrow(int level, const char* format, ...);

// The same check for a narrow format: converts the format and the user text
// to wide and calls ValidateLogArguments with narrow conventions.
bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user);

}  // namespace kvtr::format
