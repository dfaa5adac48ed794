// kvtr-log's input on Windows: the console's control events arrive on a
// thread of their own; the submitting lock of the caller keeps a line from
// being read but not yet submitted then.
#include <iostream>
#include <string>
#include <utility>

#include "platform/win32.h"
#include "tools/log_input.h"

namespace kvtr::logtool {
namespace {

void (*g_stop)() = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop();
  return TRUE;
}

}  // namespace

void StartStopHandling(void (*stop)()) {
  g_stop = stop;
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void ReadLines(void (*submit)(std::string line)) {
  std::ios::sync_with_stdio(false);
  for (std::string line; std::getline(std::cin, line);) submit(std::move(line));
}

}  // namespace kvtr::logtool
