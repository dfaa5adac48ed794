// The trace file, byte for byte: line format, the three encodings, the end
// marker and resuming at it, wrapping and rolling over at the size limit,
// leaving a file of another encoding, split lines, the lines at the top of
// an opened file, and file errors reported once.
#include <gtest/gtest.h>

#include <string>

#include "common_utils/threads/thread_name_registry.h"
#include "logger/logger_probe.h"
#include "support/log_capture.h"
#include "support/test_machine.h"

namespace kvtr::logger {
namespace {

using test::TestMachine;

constexpr char kMarker[] = "====== END OF LOG ======\r\n";

std::string Line(const std::string& code, const std::string& date, const std::string& rest) {
  return "[" + code + "] (" + date + " 14:05:09.007):{0x1A4} " + rest + "\r\n";
}

class TraceFileTest : public ::testing::Test {
 protected:
  // A logger whose opened files get no lines of their own (trace level 2
  // while opening); entries are then written at level 3.
  LoggerSettings Settings(int32_t encoding, const wchar* name = W("trace.txt")) const {
    LoggerSettings settings;
    settings.traceFilePath = Path(name);
    settings.traceEncoding = encoding;
    settings.traceLevel = 2;
    settings.reportEnvironment = false;
    return settings;
  }
  WString Path(const wchar* name) const { return machine_.ScratchFolder() + W("\\") + name; }
  std::string Read(const wchar* name) const { return TestMachine::ReadFile(Path(name)); }

  TestMachine machine_;
};

TEST_F(TraceFileTest, LinesInEachEncodingEndWithTheMarker) {
  const struct {
    int32_t encoding;
    std::string header;
    std::string accented;  // "café 😀"
  } kCases[] = {
      {0, "", "caf? ??"},
      {1, "\xEF\xBB\xBFUTF-8 encoded\r\n", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {2, "\xFF\xFE" + Utf16Bytes("UTF-16LE encoded\r\n"), ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.encoding);
    const WString name = WidenAscii("trace" + std::to_string(c.encoding) + ".txt");
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(Settings(c.encoding, name.c_str())));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 3, W("started")));
    EXPECT_TRUE(probe.Write(EntryTime(5, 11), 0x1A4, 3, W("started"), 0, W("svc")));
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 1, W("failed"), static_cast<int32_t>(0xEFFF2710)));
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 2, W("five"), 5));
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 4, W("above the trace level")));
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 5, W("level 5 passes")));
    const wchar accented[] = {'c', 'a', 'f', 0xE9, ' ', 0xD83D, 0xDE00, 0};
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 3, accented));
    EXPECT_TRUE(probe.Close());

    std::string expected = Line("30000", "03/07", "started") + Line("30000", "05/11", "{svc} started") +
                           Line("10000", "03/07", "failed") + Line("00005", "03/07", "five") +
                           Line("50000", "03/07", "level 5 passes");
    if (c.encoding == 2) {
      const std::string ascii = expected + Line("30000", "03/07", "caf");
      expected = Utf16Bytes(ascii.substr(0, ascii.size() - 2)) + std::string("\xE9\0 \0\x3D\xD8\x00\xDE", 8) +
                 Utf16Bytes("\r\n") + Utf16Bytes(kMarker);
    } else {
      const std::string last = Line("30000", "03/07", "");
      expected += last.substr(0, last.size() - 2) + c.accented + "\r\n" + kMarker;
    }
    EXPECT_EQ(c.header + expected, TestMachine::ReadFile(Path(name.c_str())));
  }
}

TEST_F(TraceFileTest, ReopeningResumesAtTheEndMarker) {
  struct Observer : TraceReopenObserver {
    int reopened = 0;
    void TraceFileReopened() override { ++reopened; }
  };
  for (const int32_t encoding : {0, 1, 2}) {
    SCOPED_TRACE(encoding);
    const WString name = WidenAscii("resume" + std::to_string(encoding) + ".txt");
    Observer observer;
    LoggerSettings settings = Settings(encoding, name.c_str());
    settings.reopenObserver = &observer;
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    probe.Write(EntryTime(), 0x1A4, 3, W("first"));
    probe.SetLevels(2, 2, 2, 3);
    ASSERT_TRUE(probe.Reopen());
    probe.SetLevels(3, 2, 2, 3);
    probe.Write(EntryTime(), 0x1A4, 3, W("second"));
    probe.Close();
    EXPECT_EQ(1, observer.reopened);
    const std::string text = Line("30000", "03/07", "first") + Line("30000", "03/07", "second") + kMarker;
    const std::string expected = encoding == 0   ? text
                                 : encoding == 1 ? "\xEF\xBB\xBFUTF-8 encoded\r\n" + text
                                                 : "\xFF\xFE" + Utf16Bytes("UTF-16LE encoded\r\n" + text);
    EXPECT_EQ(expected, TestMachine::ReadFile(Path(name.c_str())));
  }
}

// A marker cut by the border of the search's 8190-byte chunks is found
// in the next chunk, also in UTF-16 where it takes 48 bytes.
TEST_F(TraceFileTest, AMarkerAcrossAChunkBorderIsFound) {
  const struct {
    int32_t encoding;
    size_t markerAt;
  } kCases[] = {{1, 8180}, {2, 8150}, {2, 8188}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.markerAt);
    const std::string header =
        c.encoding == 1 ? "\xEF\xBB\xBFUTF-8 encoded\r\n" : "\xFF\xFE" + Utf16Bytes("UTF-16LE encoded\r\n");
    const size_t fillerBytes = c.markerAt - header.size();
    const std::string filler =
        c.encoding == 1 ? std::string(fillerBytes, 'x') : Utf16Bytes(std::string(fillerBytes / 2, 'x'));
    const std::string marker = c.encoding == 1 ? std::string(kMarker) : Utf16Bytes(kMarker);
    const std::string tail = c.encoding == 1 ? std::string(3000, 'y') : Utf16Bytes(std::string(1500, 'y'));
    ASSERT_TRUE(TestMachine::WriteFile(Path(W("cut.txt")), header + filler + marker + tail));

    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(Settings(c.encoding, W("cut.txt"))));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    probe.Write(EntryTime(), 0x1A4, 3, W("resumed"));
    const std::string line = Line("30000", "03/07", "resumed");
    const std::string written = c.encoding == 1 ? line : Utf16Bytes(line);
    const std::string after = TestMachine::ReadFile(Path(W("cut.txt")));
    EXPECT_EQ(header + filler + written, after.substr(0, header.size() + filler.size() + written.size()));
    EXPECT_EQ(header.size() + filler.size() + marker.size() + tail.size(), after.size());
  }
}

TEST_F(TraceFileTest, AFullFileWrapsToItsStart) {
  LoggerSettings settings = Settings(1, W("wrap.txt"));
  settings.maxTraceFileSize = 150;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  ASSERT_TRUE(probe.Open());
  probe.SetLevels(3, 2, 2, 3);
  const std::string header = "\xEF\xBB\xBFUTF-8 encoded\r\n";  // 18 bytes; each line 44
  for (const wchar* text : {W("line1"), W("line2"), W("line3"), W("line4")}) {
    EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 3, text));
  }
  // line3 ends at 150, which is not beyond the limit; line4 is, so the
  // next line starts after a new header.
  const std::string full = TestMachine::ReadFile(Path(W("wrap.txt")));
  ASSERT_EQ(194u, full.size());
  EXPECT_TRUE(probe.Write(EntryTime(), 0x1A4, 3, W("line5")));
  probe.Close();
  const std::string top = header + Line("30000", "03/07", "line5") + kMarker;
  EXPECT_EQ(top + full.substr(top.size()), TestMachine::ReadFile(Path(W("wrap.txt"))));
}

TEST_F(TraceFileTest, AFullFileRollsOverToTheNextNumberedFile) {
  LoggerSettings settings = Settings(0, W("roll.txt"));
  settings.maxTraceFileSize = 100;
  settings.rollToNewFile = true;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  ASSERT_TRUE(probe.Open());
  EXPECT_EQ(Path(W("roll_000.txt")), probe.fileName());
  probe.SetLevels(3, 2, 2, 3);
  for (const wchar* text : {W("line1"), W("line2"), W("line3")}) probe.Write(EntryTime(), 0x1A4, 3, text);
  EXPECT_EQ(Path(W("roll_001.txt")), probe.fileName());
  probe.Write(EntryTime(), 0x1A4, 3, W("line4"));
  probe.Close();
  EXPECT_EQ(Line("30000", "03/07", "line1") + Line("30000", "03/07", "line2") + Line("30000", "03/07", "line3") +
                kMarker,
            Read(W("roll_000.txt")));
  // The new file was opened at trace level 3: it begins with the date.
  const std::string second = Read(W("roll_001.txt"));
  const std::string tail = Line("30000", "03/07", "line4") + kMarker;
  EXPECT_NE(std::string::npos, second.find("Current Date: "));
  EXPECT_EQ(second.find("\r\n") + 2, second.size() - tail.size());
  EXPECT_EQ(tail, second.substr(second.size() - tail.size()));
  EXPECT_EQ("", Read(W("roll.txt")));
}

TEST_F(TraceFileTest, AFileOfAnotherEncodingIsLeftForANewNumberedOne) {
  const std::string utf8 = "\xEF\xBB\xBFUTF-8 encoded\r\n" + Line("30000", "03/07", "old");
  ASSERT_TRUE(TestMachine::WriteFile(Path(W("mixed.txt")), utf8));
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(Settings(2, W("mixed.txt"))));
  DebugLoggerProbe probe(logger);
  ASSERT_TRUE(probe.Open());
  EXPECT_EQ(Path(W("mixed_000.txt")), probe.fileName());
  probe.Close();
  EXPECT_EQ(utf8, Read(W("mixed.txt")));
  EXPECT_EQ("\xFF\xFE" + Utf16Bytes(std::string("UTF-16LE encoded\r\n") + kMarker), Read(W("mixed_000.txt")));
}

// An ANSI file is read a byte a character, as it was written: whatever
// its first bytes, it is resumed, unless they are a UTF-16 byte-order mark.
TEST_F(TraceFileTest, AnExistingAnsiFileIsResumedWhateverItsFirstBytes) {
  const struct {
    const wchar* name;
    std::string old;
    bool resumed;
  } kCases[] = {
      {W("latin.txt"), "\xE9t\xE9 old\r\n", true},          // Windows-1252, not UTF-8
      {W("mark.txt"), "\xEF\xBB\xBFx old\r\n", true},       // starts like a UTF-8 mark
      {W("wide.txt"), std::string("\xFF\xFEo\0l\0d\0", 8), false},  // a UTF-16 mark
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(NarrowAscii(c.name));
    ASSERT_TRUE(TestMachine::WriteFile(Path(c.name), c.old));
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(Settings(0, c.name)));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    probe.Write(EntryTime(), 0x1A4, 3, W("new"));
    probe.Close();
    if (c.resumed) {
      EXPECT_EQ(Path(c.name), probe.fileName());
      EXPECT_EQ(c.old + Line("30000", "03/07", "new") + kMarker, Read(c.name));
    } else {
      EXPECT_NE(Path(c.name), probe.fileName());
      EXPECT_EQ(c.old, Read(c.name));
    }
  }
}

TEST_F(TraceFileTest, SplitLinesAndTextThatIsNotUnicode) {
  const struct {
    bool split;
    WString message;
    std::string expected;
  } kCases[] = {
      {true, W("a\r\n\r\nb"), Line("30000", "03/07", "a") + Line("30000", "03/07", "b")},
      {true, W("a  \nb\t\r"), Line("30000", "03/07", "a") + Line("30000", "03/07", "b")},
      {false, W("a\r\n\r\nb"), Line("30000", "03/07", "a\r\n\r\nb")},
      {false, WString(W("bad ")) + wchar(0xFFFF) + W(" text"),
       "[DIAG] Error writing the debug trace line - non-UNICODE characters encountered\r\n"},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(n);
    const WString name = WidenAscii("split" + std::to_string(n++) + ".txt");
    LoggerSettings settings = Settings(0, name.c_str());
    settings.splitLines = c.split;
    settings.maxTraceFileSize = 0;  // no marker
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    probe.Write(EntryTime(), 0x1A4, 3, c.message.c_str());
    probe.Close();
    const bool notUnicode = c.message.find(wchar(0xFFFF)) != WString::npos;
    if (notUnicode && test::WineDiffers("IsTextUnicode with every test accepts text holding U+FFFF")) {
      EXPECT_EQ(Line("30000", "03/07", "bad ? text"), TestMachine::ReadFile(Path(name.c_str())));
      continue;
    }
    EXPECT_EQ(c.expected, TestMachine::ReadFile(Path(name.c_str())));
  }
}

// A line holds at most 1023 characters; a cut one still ends with CR LF,
// one that fits exactly keeps its own.
TEST_F(TraceFileTest, LongLinesAreCutTo1023Characters) {
  const std::string prefix = Line("30000", "03/07", "");  // 38 characters and CR LF
  const size_t room = 1023 - (prefix.size() - 2) - 2;     // message characters of a full line
  const struct {
    size_t messageLength;
    std::string expected;
  } kCases[] = {
      {room, prefix.substr(0, prefix.size() - 2) + std::string(room, 'x') + "\r\n"},
      {room + 1, prefix.substr(0, prefix.size() - 2) + std::string(room + 1, 'x') + "\r\r\n"},
      {3000, prefix.substr(0, prefix.size() - 2) + std::string(1023 - (prefix.size() - 2), 'x') + "\r\n"},
      // A cut between the halves of a surrogate pair drops the lone first
      // half and keeps the line.
      {room + 1, prefix.substr(0, prefix.size() - 2) + std::string(room + 1, 'x') + "\r\n"},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.messageLength);
    const WString name = WidenAscii("long" + std::to_string(n++) + ".txt");
    LoggerSettings settings = Settings(0, name.c_str());
    settings.maxTraceFileSize = 0;
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    DebugLoggerProbe probe(logger);
    ASSERT_TRUE(probe.Open());
    probe.SetLevels(3, 2, 2, 3);
    WString message(c.messageLength, W('x'));
    if (n == 4) message += {wchar(0xD83D), wchar(0xDE00)};  // U+1F600 across the cut
    probe.Write(EntryTime(), 0x1A4, 3, message.c_str());
    probe.Close();
    EXPECT_EQ(c.expected, Read(name.c_str()));
  }
}

TEST_F(TraceFileTest, AnOpenedFileBeginsWithTheDateAndTheRunningThreads) {
  ThreadNameRegistry threads;
  threads.Register(0x1234, "Worker A");
  LoggerSettings settings = Settings(0, W("top.txt"));
  settings.traceLevel = 3;
  settings.maxTraceFileSize = 0;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  SYSTEMTIME today;
  GetLocalTime(&today);
  ASSERT_TRUE(probe.Open());
  probe.Close();
  const std::string text = Read(W("top.txt"));
  char date[64];
  std::snprintf(date, sizeof date, "Current Date: %04d/%02d/%02d\r\n", today.wYear, today.wMonth, today.wDay);
  char thread[32];
  std::snprintf(thread, sizeof thread, "):{0x%lX} ", static_cast<unsigned long>(GetCurrentThreadId()));
  const size_t firstEnd = text.find("\r\n") + 2;
  const std::string first = text.substr(0, firstEnd);
  EXPECT_EQ(0u, first.find("[30000] ("));
  EXPECT_NE(std::string::npos, first.find(std::string(thread) + date)) << first;
  const std::string rest = text.substr(firstEnd);
  EXPECT_NE(std::string::npos, rest.find(std::string(thread) +
                                         "[DIAG] EVENT=Thread_report, THREADID=0x1234, THREADNAME=\"Worker A\"\r\n"))
      << rest;

  // At trace level 2 a file gets neither.
  DebugLogger quiet;
  ASSERT_TRUE(quiet.Configure(Settings(0, W("quiet.txt"))));
  DebugLoggerProbe quietProbe(quiet);
  ASSERT_TRUE(quietProbe.Open());
  quietProbe.Close();
  EXPECT_EQ(kMarker, Read(W("quiet.txt")));
}

TEST_F(TraceFileTest, AFileThatCannotBeCreatedIsReportedOnce) {
  test::LogCapture capture;
  ASSERT_TRUE(capture.adopted());
  ASSERT_TRUE(TestMachine::WriteFile(Path(W("plain-file")), "x"));
  const WString path = Path(W("plain-file\\sub\\trace.txt"));
  LoggerSettings settings = Settings(0);
  settings.traceFilePath = path;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  EXPECT_FALSE(probe.Open());
  EXPECT_FALSE(probe.Open());
  const std::vector<test::LogEntry> entries = capture.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(1, entries[0].level);
  EXPECT_EQ(static_cast<int>(DebugLogger::kFileErrorEventId), entries[0].eventId);
  const std::string prefix = "[DIAG] Could not create debug trace file " + NarrowAscii(path) + " : ";
  EXPECT_EQ(0u, entries[0].text.find(prefix)) << entries[0].text;
  EXPECT_EQ(std::string::npos, entries[0].text.find("(error : 0)"));
  EXPECT_EQ(')', entries[0].text.back());
}

}  // namespace
}  // namespace kvtr::logger
