// The names of the OLE DB data sources the system knows, from the OLE DB
// root enumerator, in the order it gives them.
#pragma once

#include <vector>

#include "common_utils/report/host_log.h"
#include "platform/win32.h"

namespace kvtr::environment {

// The root enumerator's class, and the interfaces of its sources rowset.
inline constexpr CLSID kOleDbEnumerator = {0xC8B522D0, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID kISourcesRowset = {0x0C733A1E, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID kIRowset = {0x0C733A7C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID kIAccessor = {0x0C733A8C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// The column of the sources rowset that holds a source's name
// (SOURCES_NAME), and the longest name taken.
inline constexpr DBORDINAL kSourcesNameColumn = 1;
inline constexpr size_t kSourceNameChars = 256;

// Never raises; failures are reported through `sink` at level 4 and give
// an empty (or partial) list. The enumeration runs in the calling thread's
// COM state: this function neither initialises COM for it nor undoes it.
std::vector<WString> provider_list(installer::HostLogCallback sink);

}  // namespace kvtr::environment
