#include "support/debugger.h"

#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>

namespace kvtr::test {

DWORD DebugChild(const WCHAR* program, WString command, const WCHAR* directory, std::vector<std::string>& outputs) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, directory,
                      &startup, &child)) {
    ADD_FAILURE() << "CreateProcessW: " << GetLastError();
    return 0xFFFFFFFF;
  }
  DWORD exitCode = 0xFFFFFFFF;
  for (bool running = true; running;) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, 120000)) {
      ADD_FAILURE() << "the child sent no debug event in time";
      TerminateProcess(child.hProcess, 1);
      break;
    }
    DWORD continuation = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T read = 0;
        if (!info.fUnicode &&
            ReadProcessMemory(child.hProcess, info.lpDebugStringData, text.data(), text.size(), &read)) {
          text.resize(std::strlen(text.c_str()));
          outputs.push_back(text);
        }
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The loader's breakpoint is the debugger's to take; anything else
        // is the child's own business.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continuation = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exitCode = event.u.ExitProcess.dwExitCode;
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return exitCode;
}

}  // namespace kvtr::test
#endif
