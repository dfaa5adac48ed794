// The trace file: opening (encoding detection, where writing resumes, the
// lines at the top of every opened file), the line format and the three
// encodings, the size limit (wrap or roll over), the end marker written at
// close, and the reports of file errors.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/output_format.h"
#include "common_utils/logger/trace_file_system.h"
#include "common_utils/report/log_entry_points.h"
#include "common_utils/text/conversions.h"
#include "common_utils/text/stream_facets.h"
#include "common_utils/threads/thread_name_registry.h"

namespace kvtr::logger {
namespace {

constexpr char kEndMarker[] = "====== END OF LOG ======";
constexpr wchar kEndMarkerWide[] = W("====== END OF LOG ======");
constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;
constexpr wchar kNotUnicodeLine[] =
    W("[DIAG] Error writing the debug trace line - non-UNICODE characters encountered\r\n");
constexpr int kMarkerChunk = 8190;
constexpr int kMarkerBuffer = 8192;
constexpr int kLineCapacity = 1023;

std::locale LocaleForEncoding(int32_t encoding) {
  if (encoding == 1) return std::locale(std::locale::classic(), new text::UTF8StreamCodeCvtFacet);
  if (encoding == 2) return std::locale(std::locale::classic(), new text::UTF16LEStreamCodeCvtFacet);
  // ANSI files hold one byte per character: read back byte by byte, never
  // through the classic locale's UTF-8 conversion.
  return std::locale(std::locale::classic(), new text::SingleByteStreamCodeCvtFacet);
}

std::tm Today() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::tm date{};
  date.tm_year = now.wYear - 1900;
  date.tm_mon = now.wMonth - 1;
  date.tm_mday = now.wDay;
  date.tm_isdst = -1;
  return date;
}

// The units of `line` up to the first CR or LF, trailing white space
// removed; `rest` is what follows the run of CR and LF after it.
WStringView NextLine(WStringView text, WStringView& rest) {
  size_t end = 0;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
  size_t next = end;
  while (next < text.size() && (text[next] == '\r' || text[next] == '\n')) ++next;
  rest = text.substr(next);
  size_t length = end;
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\v' ||
                        text[length - 1] == '\f')) {
    --length;
  }
  return text.substr(0, length);
}

// The bytes `text` takes in the file, as the stream's facet writes it:
// one per unit in ANSI files (only units below 128 are written), two in
// UTF-16LE, and UTF-8's lengths (a lone surrogate takes three).
int64_t EncodedBytes(WStringView text, int32_t encoding) {
  if (encoding == 2) return static_cast<int64_t>(text.size()) * 2;
  if (encoding != 1) return static_cast<int64_t>(text.size());
  int64_t bytes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar unit = text[i];
    if (unit < 0x80) {
      bytes += 1;
    } else if (unit < 0x800) {
      bytes += 2;
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

// Appends `value` in decimal (at least `digits` digits, zero-padded) or in
// upper-case hexadecimal to a line being built.
class LineBuilder {
 public:
  explicit LineBuilder(wchar* line) : line_(line) {}
  void Text(const wchar* text) {
    for (; *text != 0; ++text) Put(*text);
  }
  void Decimal(uint32_t value, int digits) {
    wchar reversed[10];
    int count = 0;
    do {
      reversed[count++] = static_cast<wchar>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (int i = count; i < digits; ++i) Put('0');
    while (count > 0) Put(reversed[--count]);
  }
  void Hex(uint32_t value) {
    wchar reversed[8];
    int count = 0;
    do {
      reversed[count++] = static_cast<wchar>("0123456789ABCDEF"[value & 0xF]);
      value >>= 4;
    } while (value != 0);
    while (count > 0) Put(reversed[--count]);
  }
  void Put(wchar c) {
    if (length_ < static_cast<size_t>(kLineCapacity)) line_[length_] = c;
    ++length_;
  }
  // The line as the bounded formatting gives it: cut to 1023 characters,
  // and a cut line closed with CR LF.
  size_t Finish() {
    if (length_ <= static_cast<size_t>(kLineCapacity)) {
      line_[length_] = 0;
      return length_;
    }
    // A cut that splits a surrogate pair drops its lone first half, which
    // would make the whole line fail the UTF-16 test.
    size_t kept = kLineCapacity;
    if (line_[kept - 1] >= 0xD800 && line_[kept - 1] <= 0xDBFF) --kept;
    line_[kept] = '\r';
    line_[kept + 1] = '\n';
    line_[kept + 2] = 0;
    return kept + 2;
  }

 private:
  wchar* line_;
  size_t length_ = 0;
};

// "[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} {%s} %s\r\n", the user
// part only for a non-empty user text, into `line` (1026 units).
size_t FormatTraceLine(wchar* line, const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                       int32_t eventId, const wchar* user) {
  LineBuilder out(line);
  out.Put('[');
  out.Decimal(EntryCode(level, eventId), 5);
  out.Text(W("] ("));
  out.Decimal(time.wMonth, 2);
  out.Put('/');
  out.Decimal(time.wDay, 2);
  out.Put(' ');
  out.Decimal(time.wHour, 2);
  out.Put(':');
  out.Decimal(time.wMinute, 2);
  out.Put(':');
  out.Decimal(time.wSecond, 2);
  out.Put('.');
  out.Decimal(time.wMilliseconds, 3);
  out.Text(W("):{0x"));
  out.Hex(static_cast<uint32_t>(threadId));
  out.Text(W("} "));
  if (user != nullptr && user[0] != 0) {
    out.Put('{');
    out.Text(user);
    out.Text(W("} "));
  }
  out.Text(message);
  out.Text(W("\r\n"));
  return out.Finish();
}

}  // namespace

bool DebugLogger::OpenTraceFile() { return OpenTraceFile(false); }

bool DebugLogger::OpenTraceFile(bool forceNewFile) {
  if (!settings_.traceEnabled) return true;
  if (traceStream_.is_open()) {
    // Only reached from the encoding check below: leave this file for a
    // new numbered one unless it matches after all.
    if (DetectFileEncoding() == settings_.traceEncoding) return true;
    traceStream_.close();
    forceNewFile = true;
  }
  if (settings_.traceFilePath.empty()) return true;
  traceFileDate_ = Today();
  const WString name = ChooseTraceFileName(forceNewFile);
  if (!EnsureTraceFileExists(name)) {
    ReportFileError(W("[DIAG] Could not create debug trace file %s"), name.c_str());
    return false;
  }
  traceStream_.imbue(LocaleForEncoding(settings_.traceEncoding));
  openEncoding_ = settings_.traceEncoding;
  traceStream_.clear();
  OpenTraceStream(traceStream_, name);
  if (!traceStream_.is_open()) {
    ReportFileError(W("[DIAG] Debug trace file %s was not open"), name.c_str());
    return false;
  }
  traceFileName_ = name;
  traceStream_.clear();
  lastFileError_ = 0;
  const int encoding = DetectFileEncoding();
  const bool wasEmpty = encoding == -1;
  if (wasEmpty) {
    if (!WriteFileHeader()) return false;
  } else if (encoding != settings_.traceEncoding) {
    if (traceStream_.fail()) return false;
    return OpenTraceFile(false);
  }
  traceStream_.seekp(0, std::ios::end);
  if (traceStream_.fail()) return false;
  if (settings_.maxTraceFileSize > 0 && !wasEmpty) {
    const int64_t marker = FindEndMarker(name);
    if (marker >= 0) traceStream_.seekp(std::streampos(marker));
  }
  // From here on the writer keeps the position itself: a query of the
  // stream costs a system call per line.
  const std::streampos position = traceStream_.tellp();
  if (traceStream_.fail() || position == std::streampos(-1)) return false;
  tracePosition_ = static_cast<int64_t>(position);
  const int32_t workerId = static_cast<int32_t>(GetCurrentThreadId());
  const bool outerTopLines = writingTopLines_;
  writingTopLines_ = true;
  struct Restore {
    bool& flag;
    bool value;
    ~Restore() { flag = value; }
  } restore{writingTopLines_, outerTopLines};
  if (settings_.traceLevel >= 3) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    qel::QELString dateLine;
    dateLine.Format(W("Current Date: %04d/%02d/%02d"), now.wYear, now.wMonth, now.wDay);
    if (WriteTraceLine(now, workerId, 3, dateLine.CStr(), 0, nullptr) == -1) return false;

    ThreadNameRegistry* const threads = ThreadNameRegistry::Instance();
    if (threads != nullptr) {
      GetLocalTime(&now);
      ThreadNameRegistry::Cursor cursor;
      DWORD id = 0;
      std::string threadName;
      for (bool more = threads->First(cursor, id, threadName); more; more = threads->Next(cursor, id, threadName)) {
        const qel::QELString wideName(threadName.c_str(), text::AnsiCodePageIs1252);
        qel::QELString report;
        report.Format(W("[DIAG] EVENT=Thread_report, THREADID=0x%X, THREADNAME=\"%s\""), id,
                      wideName.CStr() != nullptr ? wideName.CStr() : W(""));
        WriteTraceEntry(now, workerId, 3, report.CStr(), 0, W(""));
      }
    }
  }
  if (settings_.reportEnvironment && settings_.traceLevel >= 3 && environmentReport_ != nullptr) {
    environmentReport_->WriteReport();
  }
  return true;
}

bool DebugLogger::CloseTraceFile() {
  if (!traceStream_.is_open()) return true;
  if (settings_.maxTraceFileSize > 0) {
    const WString marker = WString(kEndMarkerWide) + W("\r\n");
    traceStream_.write(marker.data(), static_cast<std::streamsize>(marker.size()));
  }
  traceStream_.close();
  if (traceStream_.is_open()) traceStream_.setstate(std::ios::failbit);
  return true;
}

bool DebugLogger::ReopenTraceFile() {
  CloseTraceFile();
  if (!OpenTraceFile()) return false;
  if (!settings_.traceEnabled) return true;
  if (traceStream_.is_open() && settings_.reopenObserver != nullptr) settings_.reopenObserver->TraceFileReopened();
  return traceStream_.is_open();
}

bool DebugLogger::WriteTraceEntry(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                                  int32_t eventId, const wchar* user) {
  if (!settings_.traceEnabled || !PassesLevel(level, traceLevel_.load(std::memory_order_relaxed))) return true;
  const int64_t position = WriteTraceLine(time, threadId, level, message, eventId, user);
  if (position == -1) {
    traceLost_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (settings_.maxTraceFileSize <= 0 || position <= settings_.maxTraceFileSize || writingTopLines_) return true;
  if (!settings_.rollToNewFile) {
    // Wrap: the next lines overwrite the oldest text from the top.
    traceStream_.seekp(0);
    if (traceStream_.fail()) return false;
    tracePosition_ = 0;
    return WriteFileHeader();
  }
  return ReopenTraceFile();
}

int64_t DebugLogger::WriteTraceLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                                    int32_t eventId, const wchar* user) {
  if (!traceStream_.is_open()) {
    if (traceStream_.fail()) return -1;
    if (!ReopenTraceFile()) return -1;
  }
  int64_t result = -1;
  if (!settings_.splitLines) {
    result = WriteOneTraceLine(time, threadId, level, message != nullptr ? message : W(""), eventId, user);
  } else {
    WStringView rest = message != nullptr ? WStringView(message) : WStringView();
    do {
      const WString line(NextLine(rest, rest));
      result = WriteOneTraceLine(time, threadId, level, line.c_str(), eventId, user);
    } while (!rest.empty());
  }
  if (result != -1) lastFileError_ = 0;
  return result;
}

int64_t DebugLogger::WriteOneTraceLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                                       int32_t eventId, const wchar* user) {
  // At most 1023 characters, as the string class formats; a cut line
  // still ends with CR LF.
  wchar line[kLineCapacity + 3];
  const size_t length = FormatTraceLine(line, time, threadId, level, message, eventId, user);
  WStringView out(line, length);

  traceStream_.clear();
  if (!traceStream_.is_open()) return -1;
  const int64_t start = tracePosition_;
  if (out.size() > 2 && !IsTextUnicode(line, static_cast<int>(out.size() * sizeof(wchar)), nullptr)) {
    out = kNotUnicodeLine;
  } else if (openEncoding_ == 0) {
    std::replace_if(line, line + length, [](wchar c) { return c >= 128; }, wchar('?'));
  }
  traceStream_.write(out.data(), static_cast<std::streamsize>(out.size()));
  traceStream_.flush();
  if (traceStream_.fail()) {
    // A line that could not be written is overwritten by the next one.
    traceStream_.clear();
    traceStream_.seekp(std::streampos(start));
    return -1;
  }
  tracePosition_ = start + EncodedBytes(out, openEncoding_);
  return tracePosition_;
}

bool DebugLogger::WriteFileHeader() {
  if (settings_.traceEncoding == 0) return true;
  if (!traceStream_.is_open()) return false;
  const WString header = WString(1, wchar(0xFEFF)) + (settings_.traceEncoding == 1 ? W("UTF-8") : W("UTF-16LE")) +
                         W(" encoded\r\n");
  traceStream_.write(header.data(), static_cast<std::streamsize>(header.size()));
  traceStream_.flush();
  if (traceStream_.fail()) {
    ReportFileError(W("[DIAG] Error during writing the debug file header"));
    return false;
  }
  tracePosition_ += EncodedBytes(header, settings_.traceEncoding);
  return true;
}

int DebugLogger::DetectFileEncoding() {
  traceStream_.seekg(0, std::ios::end);
  const std::streampos size = traceStream_.tellg();
  if (traceStream_.fail() || size == std::streampos(-1)) return -2;
  if (size == std::streampos(0)) return -1;
  traceStream_.seekg(0);
  if (traceStream_.fail()) return -2;
  wchar start[15] = {};
  traceStream_.read(start, 15);
  const std::streamsize count = traceStream_.gcount();
  traceStream_.clear();
  if (count == 0) return -2;
  const WStringView read(start, static_cast<size_t>(count));
  if (read[0] == 0xFEFF) {
    const WStringView name = read.substr(1);
    if (name.substr(0, 5) == W("UTF-8")) return 1;
    if (name.substr(0, 8) == W("UTF-16BE") || name.substr(0, 8) == W("UTF-16LE")) return 2;
    return -2;
  }
  if (count >= 2 && read[0] == 0xFF && read[1] == 0xFE) return -2;
  return 0;
}

int64_t DebugLogger::FindEndMarker(const WString& path) const {
  std::filebuf bytes;
  if (!OpenTraceBytes(bytes, path)) return -1;
  const bool wide = openEncoding_ == 2;
  // Between chunks the search steps back by more than the marker's encoded
  // length, so that a marker cut by a chunk border lies whole in the next.
  const int64_t overlap = wide ? 2 * static_cast<int64_t>(kEndMarkerLength) + 2 : kEndMarkerLength + 2;
  std::string buffer(kMarkerBuffer, '\0');
  int64_t position = 0;
  int64_t found = -1;
  for (;;) {
    if (bytes.pubseekpos(position, std::ios::in) == std::streampos(-1)) break;
    std::fill(buffer.begin(), buffer.end(), '\0');
    const int64_t count = bytes.sgetn(buffer.data(), kMarkerChunk);
    if (count <= 0) break;
    if (wide) {
      for (int64_t at = 0; at + 2 * static_cast<int64_t>(kEndMarkerLength) <= count; at += 2) {
        bool match = true;
        for (size_t i = 0; i < kEndMarkerLength && match; ++i) {
          match = static_cast<unsigned char>(buffer[at + 2 * i]) == static_cast<unsigned char>(kEndMarker[i]) &&
                  buffer[at + 2 * i + 1] == 0;
        }
        if (match) {
          found = position + at;
          break;
        }
      }
    } else {
      const auto hit = std::search(buffer.begin(), buffer.begin() + count, kEndMarker, kEndMarker + kEndMarkerLength);
      if (hit != buffer.begin() + count) found = position + (hit - buffer.begin());
    }
    if (found >= 0 || count < kMarkerChunk) break;
    int64_t next = position + count;
    if (next > overlap) next -= overlap;
    if (next <= position) break;
    position = next;
  }
  bytes.close();
  return found;
}

void DebugLogger::ReportFileError(const wchar* format, ...) {
  const int error = errno;
  if (error == lastFileError_) return;
  lastFileError_ = error;
  try {
    va_list args;
    va_start(args, format);
    qel::QELString message;
    message.FormatV(format, args);
    va_end(args);
    const qel::QELString errorText(std::strerror(error), text::AnsiCodePageIs1252);
    qel::QELString::AppendFormat(message, W(" : %s (error : %d)"),
                                 errorText.CStr() != nullptr ? errorText.CStr() : W(""), error);
    if (GetCurrentThreadId() == Thread::threadId() && !running()) {
      // The worker opens the file before it runs, when the entry points
      // would drop the report: it goes straight into the queue, to the
      // outputs that work.
      Submit(1, kFileErrorEventId, 0, message.CStr(), nullptr);
    } else {
      format::LogEventMessage(1, kFileErrorEventId, W("%s"), message.CStr());
    }
  } catch (...) {
  }
}

}  // namespace kvtr::logger
