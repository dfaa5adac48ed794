// Parsing: what is accepted, the WBEMMOF_E_ code, object number and lines
// of syntax errors, and robustness against truncated and garbled text.
#include <cstdint>
#include <fstream>
#include <iterator>

#include "mofcomp/mof_test.h"

namespace kvtr::test {
namespace {

namespace status = mof::status;

using MofSyntax = MofTest;


TEST_F(MofSyntax, ErrorsNameTheCodeTheObjectAndItsLines) {
  struct Case {
    const char* text;
    HRESULT code;
    LONG object;
    LONG first;
    LONG last;
  };
  const Case cases[] = {
      // A missing semicolon is found at the next token, in the second object.
      {"#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\nclass A : Win32_PerfRawData\n{\n  uint32 X;\n};\n"
       "class B : Win32_PerfRawData\n{\n  uint32 Y\n};\n",
       status::kExpectedSemi, 2, 6, 9},
      {"class A\n{\n  uint32 X;\n}\n\n", status::kExpectedSemi, 1, 1, 4},
      {"class A\n{\n}\n\nclass B { };", status::kExpectedSemi, 1, 1, 5},
      // Objects are classes, instances and deleteclass requests.
      {"#pragma deleteclass(\"A\", NOFAIL)\nclass B { };\nclass C { uint32 X };", status::kExpectedSemi, 3, 3, 3},
      // An object starts with its qualifiers.
      {"// comment\n[Dynamic,\n Provider(\"x\")]\nclass A\n{\n  uint32 X = ;\n};", status::kIllegalConstantValue, 1, 2,
       6},
      {"[Dynamic, Provider(\"x\")\nclass A { };", status::kExpectedCloseBracket, 1, 1, 2},
      {"[, Dynamic] class A { };", status::kExpectedQualifierName, 1, 1, 1},
      {"[Provider(\"x\"] class A { };", status::kExpectedCloseParen, 1, 1, 1},
      {"[CounterType(=)] class A { };", status::kIllegalConstantValue, 1, 1, 1},
      {"[Dynamic, dynamic] class A { };", status::kDuplicateQualifier, 1, 1, 1},
      {"[Description(\"x\"): ToEverything] class A { };", status::kExpectedFlavorType, 1, 1, 1},
      {"[Dynamic] qualifier A : boolean;", status::kInvalidClassDeclaration, 1, 1, 1},
      {"class A { unit32 X; };", status::kUnrecognizedType, 1, 1, 1},
      {"class A { [Key] ; };", status::kExpectedTypeIdentifier, 1, 1, 1},
      {"class A { uint32 ; };", status::kExpectedPropertyName, 1, 1, 1},
      {"class A { uint32 X; string x; };", status::kDuplicateProperty, 1, 1, 1},
      {"class A { uint32 X[; };", status::kExpectedCloseBracket, 1, 1, 1},
      {"class A { uint32 Go(string a; };", status::kExpectedCloseParen, 1, 1, 1},
      {"class A uint32 X; };", status::kExpectedOpenBrace, 1, 1, 1},
      {"class { };", status::kExpectedClassName, 1, 1, 1},
      {"class A : { };", status::kExpectedClassName, 1, 1, 1},
      {"class A {\n  uint32 X;\n", status::kExpectedCloseBrace, 1, 1, 2},
      {"class A { uint32 X = \"text\"; };", status::kTypeMismatch, 1, 1, 1},
      {"class A { string X[] = \"a\"; };", status::kTypeMismatch, 1, 1, 1},
      {"class A { string X = {\"a\"}; };", status::kTypeMismatch, 1, 1, 1},
      {"class A { boolean X = 1; };", status::kTypeMismatch, 1, 1, 1},
      {"class A { uint8 X = 256; };", status::kOutOfRange, 1, 1, 1},
      {"class A { uint32 X = -1; };", status::kOutOfRange, 1, 1, 1},
      {"class A { sint8 X = -129; };", status::kOutOfRange, 1, 1, 1},
      {"[Big(18446744073709551616)] class A { };", status::kOutOfRange, 1, 1, 1},
      {"class A { uint32 X = {1, 2; };", status::kExpectedCloseBrace, 1, 1, 1},
      {"[Description(\"abc\n\")] class A { };", status::kUnrecognizedToken, 1, 1, 1},
      {"[Description(\"bad \\q escape\")] class A { };", status::kUnrecognizedToken, 1, 1, 1},
      {"[Letter('ab')] class A { };", status::kIllegalConstantValue, 1, 1, 1},
      {"[Number(12abc)] class A { };", status::kUnrecognizedToken, 1, 1, 1},
      {"class A { };\n/* never closed\n", status::kUnrecognizedToken, 2, 2, 2},
      {"class A { };\n@", status::kUnrecognizedToken, 2, 2, 2},
      {"typedef uint32 Count;", status::kTypedefNotSupported, 1, 1, 1},
      {"instance A { };", status::kInvalidInstanceDeclaration, 1, 1, 1},
      {"instance of A { X 1; };", status::kInvalidInstanceDeclaration, 1, 1, 1},
      {"instance of A as B { };", status::kExpectedAliasName, 1, 1, 1},
      {"#pragma include(\"other.mof\")", status::kInvalidPragma, 1, 1, 1},
      {"#pragma", status::kInvalidPragma, 1, 1, 1},
      {"#define X", status::kInvalidPragma, 1, 1, 1},
      {"#pragma namespace \"root\"", status::kExpectedOpenParen, 1, 1, 1},
      {"#pragma namespace(\"root\"\nclass A { };", status::kExpectedCloseParen, 1, 1, 2},
      {"#pragma namespace(root)", status::kInvalidNamespaceSyntax, 1, 1, 1},
      {"#pragma namespace(\"root\\\\\\\\cimv2\")", status::kInvalidNamespaceSyntax, 1, 1, 1},
      {"#pragma namespace(\"\\\\\\\\.\\\\cimv2\")", status::kInvalidNamespaceSyntax, 1, 1, 1},
      {"#pragma namespace(\"root\\\\x-y\")", status::kInvalidNamespaceSyntax, 1, 1, 1},
      {"#pragma deleteclass(\"A\")", status::kInvalidDeleteClassSyntax, 1, 1, 1},
      {"#pragma deleteclass(\"A\", MAYBE)", status::kInvalidDeleteClassSyntax, 1, 1, 1},
      {"#pragma deleteclass(A, FAIL)", status::kInvalidDeleteClassSyntax, 1, 1, 1},
      {"#pragma deleteclass(\"\", FAIL)", status::kInvalidDeleteClassSyntax, 1, 1, 1},
      {"#pragma deleteclass(\"A B\", FAIL)", status::kInvalidDeleteClassSyntax, 1, 1, 1},
      {"#pragma deleteclass(\"A\", FAIL", status::kInvalidDeleteClassSyntax, 1, 1, 1},
  };
  for (const Case& c : cases) {
    const std::string expected = Failure(mof::kPhaseParse, c.code, c.object, c.first, c.last);
    EXPECT_EQ(expected, CompileBytes(c.text, mof::option::kCheckOnly).Text()) << c.text;
    // Stored the same way; a text that does not parse stores nothing.
    EXPECT_EQ(expected, Compile(c.text, 0, W("root\\cimv2")).Text()) << c.text;
  }
  EXPECT_EQ(kBuiltinCimv2, Classes());
}

TEST_F(MofSyntax, AcceptsTheMofProductFilesUse) {
  const char* texts[] = {
      "",
      "// only a comment",
      "/* a block\n   comment */",
      "class A\r\n{\r\n  uint32 X;\r\n};\r\n",
      "[Description(\"a\" \"b\"\n \"c\")] class A { };",
      "#pragma autorecover\n#pragma classflags(\"forceupdate\")\n#pragma locale(\"MS_409\")\n#pragma instanceflags(1)",
      "[H(0x1F), O(017), B(101b), R(.5), E(1e3), N(-2), P(+3), C('\\x41'), T(true), F(FALSE), Z(null)] class A { };",
      "[Values{\"a\", \"b\"}, ValueMap({\"1\", \"2\"}), Empty{}] class A { };",
      "[Key: ToSubclass DisableOverride, Description(\"x\"): Amended] class A { };",
      "CLASS A { UINT32 X; STRING Y[]; Sint64 Z[3]; };\n#PRAGMA NAMESPACE(\"root\\\\cimv2\")",
      "class A { B ref R; object O; char16 C = 'c'; real64 D = -0.25; datetime T = \"20240101000000.000000+000\"; };",
      "class A { [Static, Implemented] uint32 Start(); B ref Find([In] string Name, [Out] B ref Found); };",
      "instance of A as $a { [Key] X = 1; Y = {\"a\", \"b\"}; };\ninstance of B { Peer = $a; };",
      "class _Underscore_9 : Base_2 { uint32 \u00e9t\u00e9; };",
      "#pragma namespace(\"//./root/cimv2\")\n#pragma namespace(\"sub\")\n#pragma namespace(\"\\\\\\\\.\\\\root\")",
  };
  for (const char* text : texts) EXPECT_EQ(kSuccess, CompileBytes(text + std::string(1, '\0'), mof::option::kCheckOnly).Text()) << text;
}

LONG LineCount(std::string_view text) {
  LONG lines = 1;
  for (char c : text) lines += c == '\n';
  return lines;
}

// Whatever the text, a compilation ends with success or with a parsing
// error whose lines lie inside the text.
void ExpectSane(const Outcome& outcome, std::string_view text, const std::string& what) {
  if (outcome.result == 0) {
    EXPECT_EQ(kSuccess, outcome.Text()) << what;
    return;
  }
  ASSERT_EQ(1, outcome.result) << what;
  EXPECT_EQ(mof::kPhaseParse, outcome.info.lPhaseError) << what;
  const auto code = static_cast<uint32_t>(outcome.info.hRes);
  EXPECT_TRUE(code >= 0x80044001u && code <= 0x80044031u) << what << " " << Hex(outcome.info.hRes);
  EXPECT_GE(outcome.info.ObjectNum, 1) << what;
  EXPECT_GE(outcome.info.FirstLine, 1) << what;
  EXPECT_LE(outcome.info.FirstLine, outcome.info.LastLine) << what;
  EXPECT_LE(outcome.info.LastLine, LineCount(text)) << what;
}

TEST_F(MofSyntax, TruncatedTextFailsCleanly) {
  const std::string text = ReadSourceFile("mof/AgentWMIPerf.mof");
  ASSERT_GT(text.size(), 500u);
  size_t failures = 0;
  for (size_t length = 0; length <= text.size(); ++length) {
    const std::string prefix = text.substr(0, length);
    const Outcome outcome = CompileBytes(prefix + std::string(1, '\0'), mof::option::kCheckOnly);
    failures += outcome.result != 0;
    ExpectSane(outcome, prefix, "length " + std::to_string(length));
    if (HasFailure()) break;
  }
  // Most cuts land inside the class and fail.
  EXPECT_GT(failures, text.size() / 2);
  EXPECT_EQ(kSuccess, CompileBytes(text, mof::option::kCheckOnly).Text());
}

TEST_F(MofSyntax, GarbledTextFailsCleanly) {
  const std::string text = ReadSourceFile("mof/RouterClientPerf.mof");
  ASSERT_GT(text.size(), 500u);
  static const char kNasty[] = "{}[]();,:=\"'\\/*#$-+.\n\r\t 0x9b\xFF\x80";
  uint32_t seed = 12345;
  auto random = [&](uint32_t below) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % below;
  };
  for (int round = 0; round < 1500; ++round) {
    std::string garbled = text;
    const int edits = 1 + static_cast<int>(random(4));
    for (int e = 0; e < edits && !garbled.empty(); ++e) {
      const size_t at = random(static_cast<uint32_t>(garbled.size()));
      switch (random(3)) {
        case 0: garbled[at] = kNasty[random(sizeof kNasty - 1)]; break;
        case 1: garbled.erase(at, 1 + random(20)); break;
        default: garbled.insert(at, garbled.substr(random(static_cast<uint32_t>(garbled.size())), random(40))); break;
      }
    }
    ExpectSane(CompileBytes(garbled + std::string(1, '\0'), mof::option::kCheckOnly), garbled,
               "round " + std::to_string(round));
    if (HasFailure()) break;
  }
  // Deep or long input fails or passes without exhausting anything.
  ExpectSane(CompileBytes(std::string(200000, '['), mof::option::kCheckOnly), "", "brackets");
  ExpectSane(CompileBytes("[Q{" + std::string(200000, '{'), mof::option::kCheckOnly), "", "braces");
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "class C" + std::to_string(i) + " : Base { uint32 X; };\n";
  EXPECT_EQ(kSuccess, CompileBytes(many, mof::option::kCheckOnly).Text());
}

}  // namespace
}  // namespace kvtr::test
