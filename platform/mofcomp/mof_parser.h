// The MOF parser: text in, the items to store (classes, instances and
// "#pragma deleteclass" requests, each with its namespace and lines) out, or
// the first syntax error with the number and lines of the object it is in.
#pragma once

#include <vector>

#include "platform/mofcomp/mof_model.h"

namespace kvtr::mof {

struct ParseResult {
  std::vector<Item> items;
  bool autorecover = false;  // "#pragma autorecover" was seen
  WString lastNamespace;     // the namespace current at the end of the text
  HRESULT error = 0;         // a WBEMMOF_E_ code, 0 when the text parsed
  LONG errorObject = 0;      // 1-based number of the object being parsed
  LONG errorFirstLine = 0;   // line where that object starts
  LONG errorLastLine = 0;    // line where the error was found
};

// Parses `text`; classes before the first "#pragma namespace" go to
// `startNamespace` (a resolved path, "root\default" when none was given).
// Never fails other than through ParseResult::error, whatever the input.
ParseResult ParseMof(WStringView text, WStringView startNamespace);

}  // namespace kvtr::mof
