// The logging entry points of the support code (threads, crash support, the
// environment report, the logger's own diagnostics): each tests the level,
// checks the arguments against the format, and only then hands the entry
// to the diagnostic logger.
#pragma once

#include <cstdarg>

#include "platform/wide.h"

namespace kvtr::format {

// Wide conventions (%s wide). Rejected entries are handed over as the
// argument check does; nothing is raised and nothing is returned.
void LogMessage(int level, const wchar* format, ...);
void LogEventMessage(int level, int eventId, const wchar* format, ...);
// As LogMessage without its level test, for the environment report's
// default sink: the logger applies its own test when the entry arrives.
// Without a listener the entry is dropped.
void LogMessageDirect(int level, const wchar* format, ...);
// Narrow conventions (%s narrow); the format is converted to wide with the
// load-time AnsiCodePageIs1252 choice before it is checked.
void LogMessageNarrow(int level, const char* format, ...);

// The same check for a narrow format: converts the format and the user text
// to wide and calls ValidateLogArguments with narrow conventions.
bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user);

// Receiver of the entries that pass the level test and the check, formatted
// (at most 1023 characters). There is no diagnostic logger in this code
// base yet: entries go to the listener installed here and are dropped when
// there is none, and the level test passes only while one is installed.
// Once SetLogMessageListener returns, the previous listener is not running
// and will not be called again. A listener must not call it.
using LogMessageListener = void (*)(int level, int eventId, const wchar* text, void* context);
void SetLogMessageListener(LogMessageListener listener, void* context);

}  // namespace kvtr::format
