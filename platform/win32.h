// The one gateway to system services. Library code includes this header and
// nothing else for them: on Windows it is the SDK itself, elsewhere the
// declarations of the POSIX platform layer, which implements the same subset.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <windows.h>
#include <objbase.h>
#include <oledb.h>  // the OLE DB enumerator's rowset
#include <oledberr.h>
#include <psapi.h>  // process memory counters
#include <winperf.h>  // performance data blocks
#include <wbemcli.h>
#include <process.h>  // _beginthreadex
#include <tlhelp32.h>  // tool-help snapshots
#else
#include "posix/win32_api.h"
#include "posix/win32_com.h"
#include "posix/winsock_api.h"
#endif

#include "wide.h"
