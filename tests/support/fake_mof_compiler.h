// A scripted stand-in for the WMI MOF compiler: while one lives, it is the
// class object registered for the compiler's class id in this process
// (CoRegisterClassObject), so CoCreateInstance hands out its objects. Tests
// use it for answers the real compiler (or the emulator) never gives:
// negative results, exceptions, unusual status records.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

struct ScriptedAnswer {
  HRESULT result = 0;
  LONG phase = 0;
  HRESULT hRes = 0;
  LONG objectNumber = 0;
  // What the compilation does instead of answering: throw a standard or
  // another exception, or read unmapped memory (a processor fault).
  enum class Throw { kNothing, kStandard, kOther, kFault } raise = Throw::kNothing;
};

class FakeMofCompiler {
 public:
  // COM must be initialised on the calling thread.
  FakeMofCompiler();
  ~FakeMofCompiler();
  FakeMofCompiler(const FakeMofCompiler&) = delete;
  FakeMofCompiler& operator=(const FakeMofCompiler&) = delete;

  bool registered() const { return cookie_ != 0; }
  // The answer to every following compilation.
  void Answer(const ScriptedAnswer& answer) { answer_ = answer; }

  struct Call {
    bool file;
    WString path;          // CompileFile
    std::string buffer;    // CompileBuffer: the whole buffer
    LONG bufferSize = 0;
    LONG options = 0;
    bool nullConnection = true;  // server, user, authority and password all null
  };
  const std::vector<Call>& calls() const { return calls_; }
  // Compiler objects handed out and not yet released.
  int liveObjects() const { return live_; }

  // Used by the COM objects: every compilation is recorded, then answered.
  void Record(Call call);
  HRESULT Respond(WBEM_COMPILE_STATUS_INFO* status);
  void ObjectCreated() { ++live_; }
  void ObjectReleased() { --live_; }

 private:
  ScriptedAnswer answer_;
  std::vector<Call> calls_;
  int live_ = 0;
  IClassFactory* factory_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace kvtr::test
