// The syslog output: the server list, one connection per server kept alive
// by the worker's connection pass, and one frame per entry sent to every
// connected server over UDP or TCP.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common_utils/format/bounded_format.h"
#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/output_format.h"
#include "common_utils/report/log_entry_points.h"
#include "common_utils/text/conversions.h"
#include "common_utils/text/no_case.h"

namespace kvtr::logger {
namespace {

constexpr size_t kServerListCapacity = 2047;
constexpr int kHostNameCapacity = 127;
constexpr size_t kFrameCapacity = 512;
constexpr size_t kFrameCharacters = 509;
constexpr int kFrameBytes = 1023;
constexpr u_short kDefaultPort = 514;
constexpr int kWouldBlock = 10035;      // WSAEWOULDBLOCK
constexpr int kConnectionReset = 10054;  // WSAECONNRESET

WString FromAnsi(const char* text) {
  const qel::QELString wide(text, text::AnsiCodePageIs1252);
  return wide.CStr() != nullptr ? WString(wide.CStr()) : WString();
}

// "Mmm dd hh:mm:ss", the month in English as the C locale names it.
WString Timestamp(const SYSTEMTIME& time) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[41];
  std::snprintf(text, sizeof text, "%s %02u %02u:%02u:%02u",
                time.wMonth >= 1 && time.wMonth <= 12 ? kMonths[time.wMonth - 1] : "???", time.wDay, time.wHour,
                time.wMinute, time.wSecond);
  return WidenAscii(text);
}

// The four bytes of the record's address, in order.
void AddressBytes(const SyslogTarget& target, int bytes[4]) {
  const unsigned char* const octets = reinterpret_cast<const unsigned char*>(&target.address.sin_addr);
  for (int i = 0; i < 4; ++i) bytes[i] = octets[i];
}

// The bytes of `count` units of `text` in the ANSI code page, as the C
// runtime's ".ACP" locale converts them; -1 when a character has no byte
// form there.
int AnsiLength(UINT codePage, const wchar* text, int count, char* out, int room) {
  const bool utf8 = codePage == CP_UTF8;
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(codePage, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, text, count,
                                         out, room, nullptr, utf8 ? nullptr : &usedDefault);
  return length <= 0 || usedDefault ? -1 : length;
}

// The frame `text` (ending in a line feed) in the ANSI code page, at most
// 1023 bytes: a longer one is cut after its last whole character that
// fits, and keeps its line feed, which ends the frame on a TCP stream.
// False when a character has no byte form there.
bool ToAnsiBytes(const wchar* text, std::string& bytes) {
  const UINT codePage = GetACP();
  const int units = static_cast<int>(WideLength(text));
  char buffer[kFrameBytes + 1];
  int length = AnsiLength(codePage, text, units, buffer, kFrameBytes);
  if (length > 0) {
    bytes.assign(buffer, static_cast<size_t>(length));
    return true;
  }
  // Too long (or not convertible): character by character, so a cut falls
  // between characters and never inside a surrogate pair.
  bytes.clear();
  const int body = units > 0 && text[units - 1] == '\n' ? units - 1 : units;
  for (int at = 0; at < body;) {
    const bool pair = at + 1 < body && text[at] >= 0xD800 && text[at] <= 0xDBFF && text[at + 1] >= 0xDC00 &&
                      text[at + 1] <= 0xDFFF;
    const int count = pair ? 2 : 1;
    char character[16];
    const int size = AnsiLength(codePage, text + at, count, character, sizeof character);
    if (size < 0) return false;
    if (bytes.size() + static_cast<size_t>(size) + 1 > static_cast<size_t>(kFrameBytes)) break;
    bytes.append(character, static_cast<size_t>(size));
    at += count;
  }
  bytes.push_back('\n');
  return true;
}

}  // namespace

void DebugLogger::OpenSyslog() {
  if (!settings_.syslogEnabled || syslogOpen_ || settings_.syslogServers.empty()) return;
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  char name[kHostNameCapacity + 1] = {};
  hostName_ = gethostname(name, kHostNameCapacity) == 0 ? std::string(name) : std::string("LocalHost");
  syslogTargets_.clear();
  const std::string list = settings_.syslogServers.substr(0, kServerListCapacity);
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(start, end - start);
    SyslogTarget target;
    target.address.sin_family = AF_INET;
    uint32_t port = kDefaultPort;
    const size_t colon = entry.find(':');
    if (colon != std::string::npos) {
      port = 0;
      size_t at = colon + 1;
      while (at < entry.size() && entry[at] >= '0' && entry[at] <= '9') port = port * 10 + (entry[at++] - '0');
      if (text::EqualNoCase(std::string_view(entry).substr(at), "/tcp")) {
        target.type = SOCK_STREAM;
        target.protocol = IPPROTO_TCP;
      }
    }
    target.address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    target.host = entry.substr(0, colon);
    syslogTargets_.push_back(std::move(target));
    start = end + 1;
  }
  syslogOpen_ = true;
}

void DebugLogger::CloseSyslog() {
  if (!syslogOpen_) return;
  for (SyslogTarget& target : syslogTargets_) {
    if (!target.socket) continue;
    target.socket.reset();
    target.lastError = 0;
    target.state = 0;
  }
  WSACleanup();
  syslogOpen_ = false;
}

void DebugLogger::SyslogConnectionPass() {
  for (SyslogTarget& target : syslogTargets_) {
    if (!target.socket) {
      bool resolved = true;
      ULONG address = inet_addr(target.host.c_str());
      if (address == INADDR_NONE) {
        const hostent* const host = gethostbyname(target.host.c_str());
        resolved = host != nullptr && host->h_addr_list != nullptr && host->h_addr_list[0] != nullptr;
        if (resolved) std::memcpy(&address, host->h_addr_list[0], sizeof address);
      }
      if (resolved) {
        target.address.sin_addr.s_addr = address;
        target.socket.reset(socket(AF_INET, target.type, target.protocol));
      }
      if (!resolved || !target.socket) {
        const int error = WSAGetLastError();
        if (error != target.lastError) {
          target.lastError = error;
          const qel::QELString host(target.host.c_str(), text::AnsiCodePageIs1252);
          format::LogMessage(4, W("[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %s\""),
                             error, host.CStr() != nullptr ? host.CStr() : W(""));
        }
        continue;
      }
    }
    if (target.state >= 1) continue;
    int bytes[4];
    AddressBytes(target, bytes);
    if (connect(target.socket.get(), reinterpret_cast<const sockaddr*>(&target.address), sizeof target.address) == 0) {
      format::LogMessage(4, W("[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to %d.%d.%d.%d\""), bytes[0],
                         bytes[1], bytes[2], bytes[3]);
      target.lastError = 0;
      target.state = 1;
      if (!settings_.blockingSyslog) {
        u_long nonBlocking = 1;
        ioctlsocket(target.socket.get(), FIONBIO, &nonBlocking);
      }
    } else {
      const int error = WSAGetLastError();
      if (target.state == -1) {
        format::LogMessage(4, W("[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connect failed to %d.%d.%d.%d\""),
                           error, bytes[0], bytes[1], bytes[2], bytes[3]);
      }
      target.lastError = error;
      target.socket.reset();
      target.state = 0;
    }
  }
}

void DebugLogger::SendSyslog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const qel::QELString& message,
                             int32_t eventId, const qel::QELString& user) {
  if (!settings_.syslogEnabled || !PassesLevel(level, syslogLevel_.load(std::memory_order_relaxed))) return;
  const bool connected = std::any_of(syslogTargets_.begin(), syslogTargets_.end(),
                                     [](const SyslogTarget& target) { return target.socket && target.state == 1; });
  if (!connected) {
    // A frame for no server: only its number is used up.
    AdvanceSyslogCounter();
    for (SyslogTarget& target : syslogTargets_) ++target.framesLost;
    return;
  }
  SendSyslog(time, threadId, level, message.ToNarrow(), eventId, user.ToNarrow());
}

void DebugLogger::SendSyslog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const char* message,
                             int32_t eventId, const char* user) {
  if (!settings_.syslogEnabled || !PassesLevel(level, syslogLevel_.load(std::memory_order_relaxed))) return;
  const int priority = (settings_.syslogFacility * 8) | (level + 2);
  const uint32_t code = EntryCode(level, eventId);
  const WString wideMessage = message != nullptr ? FromAnsi(message) : WString();
  const bool withUser = user != nullptr;
  const WString wideUser = withUser ? FromAnsi(user) : WString();
  const WString host = FromAnsi(hostName_.c_str());
  const wchar* const tag = eventSourceName_.c_str();
  const unsigned thread = static_cast<unsigned>(threadId);
  wchar frame[kFrameCapacity] = {};
  if (settings_.addSyslogHeader) {
    const WString stamp = Timestamp(time);
    if (withUser) {
      format::FormatBoundedF(frame, kFrameCharacters, W("<%d>%s %s %s {0x%X} %04d: (#%05lu) {%s} %s"), priority,
                             stamp.c_str(), host.c_str(), tag, thread, syslogCounter_, code, wideUser.c_str(),
                             wideMessage.c_str());
    } else {
      format::FormatBoundedF(frame, kFrameCharacters, W("<%d>%s %s %s {0x%X} %04d: (#%05lu) %s"), priority,
                             stamp.c_str(), host.c_str(), tag, thread, syslogCounter_, code, wideMessage.c_str());
    }
  } else if (withUser) {
    format::FormatBoundedF(frame, kFrameCharacters, W("<%d> %s {0x%X} %04d: (#%05lu) {%s} %s"), priority, tag,
                           thread, syslogCounter_, code, wideUser.c_str(), wideMessage.c_str());
  } else {
    format::FormatBoundedF(frame, kFrameCharacters, W("<%d> %s {0x%X} %04d: (#%05lu) %s"), priority, tag, thread,
                           syslogCounter_, code, wideMessage.c_str());
  }
  AdvanceSyslogCounter();
  const size_t length = WideLength(frame);
  frame[length] = '\n';
  frame[length + 1] = 0;

  std::string bytes;
  bool converted = false;
  for (size_t at = 0; at < syslogTargets_.size(); ++at) {
    SyslogTarget& target = syslogTargets_[at];
    if (!target.socket || target.state != 1) {
      ++target.framesLost;
      continue;
    }
    if (!converted && !ToAnsiBytes(frame, bytes)) {
      // Not sent at all: to no further server.
      for (; at < syslogTargets_.size(); ++at) ++syslogTargets_[at].framesLost;
      return;
    }
    converted = true;
    if (send(target.socket.get(), bytes.data(), static_cast<int>(bytes.size()), 0) > 0) continue;
    ++target.framesLost;
    const int error = WSAGetLastError();
    const bool repeated = error == target.lastError;
    target.lastError = error;
    if (error == kWouldBlock) continue;
    // A datagram refused by the server's host (its port closed) loses that
    // frame only: the socket still reaches the server once it is back, and
    // reconnecting would "succeed" at once, as datagram connects do. As
    // with the other errors, each distinct one is reported once per server
    // (a sent datagram proves nothing, so nothing clears it).
    const bool datagramRefused = target.type == SOCK_DGRAM && error == kConnectionReset;
    if (datagramRefused && repeated) continue;
    int address[4];
    AddressBytes(target, address);
    format::LogMessage(4, W("[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connection lost to %d.%d.%d.%d\""),
                       error, address[0], address[1], address[2], address[3]);
    if (datagramRefused) continue;
    target.socket.reset();
    target.state = 0;
  }
}

}  // namespace kvtr::logger
