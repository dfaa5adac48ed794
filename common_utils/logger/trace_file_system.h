// The file services the trace file uses: its streams, its creation with
// missing folders, and listing and deleting old trace files.
#pragma once

#include <cstdint>
#include <fstream>
#include <vector>

#include "platform/wide.h"

namespace kvtr::logger {

// Opens the trace stream for reading and writing, without newline
// translation or truncation; the stream is failed when it cannot be opened.
void OpenTraceStream(std::basic_fstream<wchar>& stream, const WString& path);
// Opens the same file as bytes for reading only.
bool OpenTraceBytes(std::filebuf& bytes, const WString& path);

// Creates the missing folders of `path` (after the server of a network
// path) and the file itself, empty, when it does not exist. False leaves
// the C runtime error number set.
bool EnsureTraceFileExists(const WString& path);

struct FoundFile {
  WString name;  // without its folder
  bool directory = false;
  int64_t creationTime = 0;   // seconds since 1970, UTC
  int64_t lastWriteTime = 0;  // seconds since 1970, UTC
};
// The files and folders whose names match the last part of `mask` ("?" one
// character, "*" any run, case-insensitive); "." and ".." are left out.
std::vector<FoundFile> ListMatchingFiles(const WString& mask);

// The folder part of `path`: up to and including its last slash, backslash
// or colon (empty when it has none).
WString FolderOf(WStringView path);

}  // namespace kvtr::logger
