// A stand-in for the OLE DB root enumerator: a class object the tests
// register for its class on the calling thread's apartment, whose sources
// rowset yields the names the test gives. It can fail the rowset's opening
// or fault on a row, and it counts its live objects so that a test can see
// that everything it handed out was released.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

struct SourceEnumeratorScript {
  std::vector<WString> names;
  HRESULT openResult = S_OK;  // what GetSourcesRowset answers
  int faultAtRow = -1;        // GetData of this row (0-based) faults
};

class RegisteredSourceEnumerator {
 public:
  // Registers for the OLE DB enumerator class; registered() tells whether
  // the registration worked.
  explicit RegisteredSourceEnumerator(SourceEnumeratorScript script);
  ~RegisteredSourceEnumerator();
  RegisteredSourceEnumerator(const RegisteredSourceEnumerator&) = delete;
  RegisteredSourceEnumerator& operator=(const RegisteredSourceEnumerator&) = delete;

  bool registered() const { return registered_; }
  // Enumerators and rowsets not yet released.
  static int LiveObjects();
  // Deletes the objects a caller can no longer release (its frames were
  // abandoned by a fault) and returns how many there were.
  static int DestroyAbandoned();
  // The binding of the last accessor made.
  static DBBINDING LastBinding();

 private:
  IUnknown* factory_ = nullptr;
  DWORD cookie_ = 0;
  bool registered_ = false;
};

}  // namespace kvtr::test
