// Compiling into the repository: what is stored, replaced and deleted, the
// storing-phase errors with their object numbers and lines, all-or-nothing
// compilations, namespaces, arguments and text encodings.
#include <cstring>

#include "mofcomp/mof_test.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

namespace status = mof::status;

constexpr char kCounterClass[] = R"mof(#pragma namespace("\\\\.\\root\\cimv2")
[Dynamic, Provider("Zorvane Perf Provider"), Description("Agent counters"): ToInstance ToSubclass,
 DisplayName("Zorvane Agent"), Locale(1033), GenericPerfCounter, HiPerf, Values{"a", "b"}]
class Win32_PerfRawData_Zorvane_Agent : Win32_PerfRawData
{
  [DisplayName("Queue Length"), PerfDefault, CounterType(65536), DefaultScale(-4), PerfDetail(100)]
  uint32 QueueLength;
  string Labels[] = {"x", "y"};
  sint64 Offset = -9223372036854775808;
  Win32_Perf ref Origin;
};
)mof";

// The deletion text the library compiles with CompileBuffer: two lines
// joined by one LF, zero-terminated in a zeroed 1024-byte buffer.
std::string LibraryDeletionBuffer(const char* mode = "FAIL") {
  std::string text = std::string("#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n") +
                     "#pragma deleteclass(\"Win32_PerfRawData_Zorvane_Agent\"," + mode + ")";
  text.resize(1024, '\0');
  return text;
}

using MofCompile = MofTest;

TEST_F(MofCompile, StoresTheClassWithItsQualifiersAndProperties) {
  EXPECT_EQ(kSuccess, Compile(kCounterClass).Text());
  std::vector<std::string> expected = kBuiltinCimv2;
  expected.push_back("Win32_PerfRawData_Zorvane_Agent:Win32_PerfRawData");
  EXPECT_EQ(expected, Classes());

  // Class names are found without regard to case.
  const auto found = mof::FindClass(W("root\\cimv2"), W("WIN32_PERFRAWDATA_ZORVANE_AGENT"));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(WString(W("Win32_PerfRawData_Zorvane_Agent")), found->name);
  const mof::Qualifier* provider = found->FindQualifier(W("provider"));
  ASSERT_NE(nullptr, provider);
  EXPECT_EQ(WString(W("Zorvane Perf Provider")), provider->value.text);
  const mof::Qualifier* dynamic = found->FindQualifier(W("Dynamic"));
  ASSERT_NE(nullptr, dynamic);
  EXPECT_EQ(mof::Value::Kind::kBoolean, dynamic->value.kind);
  EXPECT_TRUE(dynamic->value.boolean);
  const mof::Qualifier* description = found->FindQualifier(W("Description"));
  ASSERT_NE(nullptr, description);
  EXPECT_EQ((std::vector<WString>{W("ToInstance"), W("ToSubclass")}), description->flavors);
  const mof::Qualifier* values = found->FindQualifier(W("Values"));
  ASSERT_NE(nullptr, values);
  ASSERT_EQ(2u, values->value.elements.size());
  EXPECT_EQ(WString(W("b")), values->value.elements[1].text);

  ASSERT_EQ(4u, found->properties.size());
  const mof::Property* queue = found->FindProperty(W("queuelength"));
  ASSERT_NE(nullptr, queue);
  EXPECT_EQ(mof::CimType::kUInt32, queue->type);
  const mof::Qualifier* scale = nullptr;
  for (const auto& q : queue->qualifiers) {
    if (mof::SameName(q.name, W("DefaultScale"))) scale = &q;
  }
  ASSERT_NE(nullptr, scale);
  EXPECT_TRUE(scale->value.negative);
  EXPECT_EQ(4u, scale->value.magnitude);
  const mof::Property* labels = found->FindProperty(W("Labels"));
  ASSERT_NE(nullptr, labels);
  EXPECT_TRUE(labels->array);
  EXPECT_TRUE(labels->hasDefault);
  EXPECT_EQ(2u, labels->defaultValue.elements.size());
  const mof::Property* offset = found->FindProperty(W("Offset"));
  ASSERT_NE(nullptr, offset);
  EXPECT_TRUE(offset->defaultValue.negative);
  EXPECT_EQ(uint64_t{1} << 63, offset->defaultValue.magnitude);
  const mof::Property* origin = found->FindProperty(W("Origin"));
  ASSERT_NE(nullptr, origin);
  EXPECT_EQ(mof::CimType::kReference, origin->type);
  EXPECT_EQ(WString(W("Win32_Perf")), origin->referenceClass);
}

TEST_F(MofCompile, RecompilingAClassReplacesIt) {
  ASSERT_EQ(kSuccess, Compile(kCounterClass).Text());
  ASSERT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
[Dynamic, Provider("Other Provider")]
class WIN32_PERFRAWDATA_ZORVANE_AGENT : Win32_PerfRawData { uint64 JobsDone; };
)mof").Text());
  const auto found = mof::FindClass(W("root\\cimv2"), W("Win32_PerfRawData_Zorvane_Agent"));
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(1u, found->properties.size());
  EXPECT_EQ(WString(W("JobsDone")), found->properties[0].name);
  EXPECT_EQ(WString(W("Other Provider")), found->FindQualifier(W("Provider"))->value.text);
  EXPECT_EQ(nullptr, found->FindQualifier(W("HiPerf")));
  // Replaced in place, not added a second time.
  std::vector<std::string> expected = kBuiltinCimv2;
  expected.push_back("WIN32_PERFRAWDATA_ZORVANE_AGENT:Win32_PerfRawData");
  EXPECT_EQ(expected, Classes());
}

TEST_F(MofCompile, LibraryDeletionTextFailsForAMissingClassAndDeletesAnExistingOne) {
  EXPECT_EQ(Failure(mof::kPhaseStore, status::kNotFound, 1, 2, 2), CompileBytes(LibraryDeletionBuffer()).Text());
  EXPECT_EQ(kSuccess, CompileBytes(LibraryDeletionBuffer("NOFAIL")).Text());

  ASSERT_EQ(kSuccess, Compile(kCounterClass).Text());
  EXPECT_EQ(kSuccess, CompileBytes(LibraryDeletionBuffer()).Text());
  EXPECT_EQ(kBuiltinCimv2, Classes());
  EXPECT_EQ(Failure(mof::kPhaseStore, status::kNotFound, 1, 2, 2), CompileBytes(LibraryDeletionBuffer()).Text());
}

TEST_F(MofCompile, DeletingAClassDeletesItsSubclasses) {
  ASSERT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
class Zorvane_Base { uint32 A; };
class Zorvane_Child : Zorvane_Base { uint32 B; };
class Zorvane_GrandChild : Zorvane_Child { uint32 C; };
class Zorvane_Other { uint32 D; };
)mof").Text());
  EXPECT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
#pragma deleteclass("zorvane_base", FAIL)
)mof").Text());
  std::vector<std::string> expected = kBuiltinCimv2;
  expected.push_back("Zorvane_Other:");
  EXPECT_EQ(expected, Classes());
}

// Each text stores a class "Zorvane_Kept" first; the failure of a later
// object must leave the repository without it.
TEST_F(MofCompile, StoringErrorsNameTheObjectAndKeepNothing) {
  ASSERT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
class Zorvane_Parent { uint32 A; };
class Zorvane_Child : Zorvane_Parent { uint32 B; };
)mof").Text());
  const std::string kept = "#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\nclass Zorvane_Kept { uint32 K; };\n";
  struct Case {
    const char* name;
    std::string text;
    LONG classFlags;
    std::string expected;
  };
  const Case cases[] = {
      {"unknown superclass", kept + "\n[Dynamic]\nclass Zorvane_X : Win32_NoSuchBase\n{\n  uint32 A;\n};\n", 0,
       Failure(mof::kPhaseStore, status::kInvalidSuperclass, 2, 4, 8)},
      {"own superclass", kept + "class Zorvane_Self : Zorvane_Self { };\n", 0,
       Failure(mof::kPhaseStore, status::kInvalidSuperclass, 2, 3, 3)},
      {"unknown namespace", kept + "#pragma namespace(\"\\\\\\\\.\\\\root\\\\nowhere\")\nclass Zorvane_Y { };\n", 0,
       Failure(mof::kPhaseStore, status::kInvalidNamespace, 2, 4, 4)},
      {"deleteclass FAIL", kept + "#pragma deleteclass(\"Zorvane_Missing\", FAIL)\n", 0,
       Failure(mof::kPhaseStore, status::kNotFound, 2, 3, 3)},
      {"create only", kept + "class Zorvane_Parent { uint32 A; };\n", mof::update::kCreateOnly,
       Failure(mof::kPhaseStore, status::kAlreadyExists, 2, 3, 3)},
      {"update only", kept, mof::update::kUpdateOnly, Failure(mof::kPhaseStore, status::kNotFound, 1, 2, 2)},
      {"moving a class with children", kept + "class Zorvane_Parent : Zorvane_Kept { uint32 A; };\n", 0,
       Failure(mof::kPhaseStore, status::kClassHasChildren, 2, 3, 3)},
      {"instance", kept + "instance of Zorvane_Parent\n{\n  A = 1;\n};\n", 0,
       Failure(mof::kPhaseStore, status::kNotSupported, 2, 3, 6)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Compile(c.text, 0, nullptr, c.classFlags).Text()) << c.name;
    EXPECT_FALSE(HasClass("Zorvane_Kept")) << c.name;
  }
  // Nothing of the failed compilations touched what was there before.
  std::vector<std::string> expected = kBuiltinCimv2;
  expected.insert(expected.end(), {"Zorvane_Parent:", "Zorvane_Child:Zorvane_Parent"});
  EXPECT_EQ(expected, Classes());
  // The same text with a class flag that fits is stored.
  EXPECT_EQ(kSuccess, Compile("class Zorvane_Parent { uint32 A; };", 0, W("root\\cimv2"),
                              mof::update::kUpdateOnly | mof::update::kSafeMode)
                          .Text());
}

TEST_F(MofCompile, CheckOnlyStoresNothing) {
  EXPECT_EQ(kSuccess, Compile(kCounterClass, mof::option::kCheckOnly).Text());
  EXPECT_EQ(kSuccess, CompileBytes(LibraryDeletionBuffer(), mof::option::kCheckOnly).Text());
  EXPECT_FALSE(HasClass("Win32_PerfRawData_Zorvane_Agent"));
  // Only the syntax is checked: an unknown superclass passes.
  EXPECT_EQ(kSuccess, Compile("class A : NoSuchClass { };", mof::option::kCheckOnly).Text());
  EXPECT_EQ(Failure(mof::kPhaseParse, status::kExpectedSemi, 1, 1, 1),
            Compile("class A { uint32 X }", mof::option::kCheckOnly).Text());
  EXPECT_EQ(kBuiltinCimv2, Classes());
}

TEST_F(MofCompile, EverySpellingOfANamespaceNamesTheSameOne) {
  const char* pragmas[] = {"\\\\\\\\.\\\\root\\\\cimv2", "//./root/cimv2", "root\\\\cimv2", "ROOT\\\\CIMV2",
                           "\\\\\\\\SERVER\\\\Root\\\\CimV2"};
  int n = 0;
  for (const char* pragma : pragmas) {
    const std::string text = std::string("#pragma namespace(\"") + pragma + "\")\nclass Zorvane_" +
                             std::to_string(++n) + " { };\n";
    EXPECT_EQ(kSuccess, Compile(text).Text()) << pragma;
  }
  // ServerAndNamespace is where classes go before any pragma.
  EXPECT_EQ(kSuccess, Compile("class Zorvane_6 { };", 0, W("\\\\.\\ROOT\\cimv2")).Text());
  EXPECT_EQ(kSuccess, Compile("class Zorvane_7 { };", 0, W("//./root/CIMV2")).Text());
  for (const WCHAR* spelling : {W("root\\cimv2"), W("ROOT\\CIMV2"), W("\\\\.\\root\\cimv2"), W("//./root/cimv2")}) {
    const std::vector<std::string> classes = Classes(spelling);
    ASSERT_EQ(kBuiltinCimv2.size() + 7, classes.size()) << NarrowAscii(spelling);
    EXPECT_EQ("Zorvane_7:", classes.back());
  }
  std::vector<std::string> namespaces;
  for (const WString& ns : mof::ListNamespaces()) namespaces.push_back(NarrowAscii(ns));
  EXPECT_EQ((std::vector<std::string>{"root", "root\\default", "root\\cimv2", "root\\wmi"}), namespaces);
}

TEST_F(MofCompile, ClassesGoToRootDefaultWithoutANamespaceAndNamespacesCanBeCreated) {
  EXPECT_EQ(kSuccess, Compile("class Zorvane_Default { };").Text());
  EXPECT_EQ((std::vector<std::string>{"Zorvane_Default:"}), Classes(W("root\\default")));
  EXPECT_FALSE(HasClass("Zorvane_Default"));

  EXPECT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
instance of __Namespace { Name = "Zorvane"; };
#pragma namespace("Zorvane")
class Zorvane_Inside { };
)mof").Text());
  EXPECT_EQ((std::vector<std::string>{"Zorvane_Inside:"}), Classes(W("ROOT\\CIMV2\\ZORVANE")));
  std::vector<std::string> namespaces;
  for (const WString& ns : mof::ListNamespaces()) namespaces.push_back(NarrowAscii(ns));
  EXPECT_EQ((std::vector<std::string>{"root", "root\\default", "root\\cimv2", "root\\wmi", "root\\cimv2\\Zorvane"}),
            namespaces);
  EXPECT_EQ((std::vector<std::string>{"<none>"}), Classes(W("root\\nowhere")));
}

TEST_F(MofCompile, ArgumentErrors) {
  const WString good = WriteMof("good.mof", "class Zorvane_Good { };");
  const WString folder = machine_.ScratchFolder();
  struct Case {
    const char* name;
    WString path;
    LONG options;
    LONG classFlags;
    LONG instanceFlags;
    const WCHAR* nameSpace;
    HRESULT expected;
  };
  const Case cases[] = {
      {"unknown option", good, 0x1000, 0, 0, nullptr, status::kInvalidParameter},
      {"autorecover and don't add", good, mof::option::kAutoRecover | mof::option::kDontAddToList, 0, 0, nullptr,
       status::kInvalidParameter},
      {"update and create only", good, 0, 3, 0, nullptr, status::kInvalidParameter},
      {"safe and force mode", good, 0, 0x60, 0, nullptr, status::kInvalidParameter},
      {"create only with a mode", good, 0, 0x22, 0, nullptr, status::kInvalidParameter},
      {"unknown class flag", good, 0, 0x100, 0, nullptr, status::kInvalidParameter},
      {"unknown instance flag", good, 0, 0, 0x4, nullptr, status::kInvalidParameter},
      {"bad namespace", good, 0, 0, 0, W("root\\\\cimv2"), status::kInvalidNamespace},
      {"empty name", W(""), 0, 0, 0, nullptr, status::kInvalidParameter},
      {"missing file", folder + W("\\missing.mof"), 0, 0, 0, nullptr, mof::FromWin32(ERROR_FILE_NOT_FOUND)},
      {"missing folder", folder + W("\\missing\\x.mof"), 0, 0, 0, nullptr, mof::FromWin32(ERROR_PATH_NOT_FOUND)},
      {"a folder", folder, 0, 0, 0, nullptr, mof::FromWin32(ERROR_ACCESS_DENIED)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Failure(mof::kPhaseArgument, c.expected),
              CompilePath(c.path, c.options, c.nameSpace, c.classFlags, c.instanceFlags).Text())
        << c.name;
  }
  EXPECT_FALSE(HasClass("Zorvane_Good", W("root\\default")));

  WBEM_COMPILE_STATUS_INFO info;
  std::memset(&info, 0xCC, sizeof info);
  EXPECT_EQ(1, compiler_->CompileFile(nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info));
  EXPECT_EQ(Hex(status::kInvalidParameter), Hex(info.hRes));
  EXPECT_EQ(mof::kPhaseArgument, info.lPhaseError);
  BYTE text[] = "class Zorvane_Good { };";
  EXPECT_EQ(1, compiler_->CompileBuffer(0, text, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info));
  EXPECT_EQ(Hex(status::kInvalidParameter), Hex(info.hRes));
  EXPECT_EQ(1, compiler_->CompileBuffer(10, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info));
  EXPECT_EQ(mof::kPhaseArgument, info.lPhaseError);
  // Without a status record the result still tells.
  EXPECT_EQ(1, compiler_->CompileBuffer(0, text, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr));
  EXPECT_EQ(0, compiler_->CompileBuffer(sizeof text, text, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr));
  EXPECT_TRUE(HasClass("Zorvane_Good", W("root\\default")));
}

TEST_F(MofCompile, ReadsUtf16Utf8AndAnsiFiles) {
  const WString description = W("Caf\u00e9 \u00fcber \u20ac");
  const std::string body = "[Description(\"Caf\xC3\xA9 \xC3\xBC" "ber \xE2\x82\xAC\")] class Zorvane_Text { };";
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"UTF-16LE", "\xFF\xFE" + WideBytes(W("[Description(\"Caf\u00e9 \u00fcber \u20ac\")] class Zorvane_Text { };"))},
      {"UTF-8 with mark", "\xEF\xBB\xBF" + body},
      {"UTF-8", body},
  };
  // The euro sign is 0x80 in code page 1252.
#ifndef _WIN32
  KvtrEmu_SetAnsiCodePage(1252);
#endif
  if (GetACP() == 1252) cases.push_back({"ANSI 1252", "[Description(\"Caf\xE9 \xFC" "ber \x80\")] class Zorvane_Text { };"});
  for (const Case& c : cases) {
    ASSERT_EQ(kSuccess, Compile(c.bytes, 0, W("root\\cimv2")).Text()) << c.name;
    const auto found = mof::FindClass(W("root\\cimv2"), W("Zorvane_Text"));
    ASSERT_TRUE(found.has_value()) << c.name;
    EXPECT_EQ(description, found->FindQualifier(W("Description"))->value.text) << c.name;
    ASSERT_EQ(kSuccess, Compile("#pragma deleteclass(\"Zorvane_Text\", FAIL)", 0, W("root\\cimv2")).Text());
  }
  // A buffer is text up to its first zero; UTF-16 buffers carry the mark.
  EXPECT_EQ(kSuccess, CompileBytes(std::string("class Zorvane_B { };\0garbage {{{", 32)).Text());
  EXPECT_EQ(kSuccess, CompileBytes("\xFF\xFE" + WideBytes(W("class Zorvane_W { };")) + std::string(6, '\0')).Text());
  EXPECT_EQ((std::vector<std::string>{"Zorvane_B:", "Zorvane_W:"}), Classes(W("root\\default")));
}

TEST_F(MofCompile, ValuesSurviveTheRepositoryUnchanged) {
  ASSERT_EQ(kSuccess, Compile(R"mof(#pragma namespace("\\\\.\\root\\cimv2")
[Text("quote \" backslash \\ tab \t newline \n nul \x0 end"), Wide("\x263A caf\x00e9 \xD83D\xDE00 \xDC00"),
 Big(0xFFFFFFFFFFFFFFFF), Small(-9223372036854775808), Real(-1.5e-3), Flag(false), Nothing(null),
 Letter('\''), Octal(017), Binary(101b), Mixed{1, "two", 3.0, true, null}: DisableOverride Restricted]
class Zorvane_Values : Win32_PerfRawData
{
  [Key, MaxLen(64)] string Name = "default";
  uint8 Bytes[4] = {0, 1, 254, 255};
  char16 Initial = 'Z';
  real32 Ratio = 2;
  boolean Enabled = true;
  datetime Since = "20240101000000.000000+000";
  Win32_PerfRawData ref Peer;
  object Payload;
  [Static] uint32 Reset([In] string Reason, [Out] uint32 Codes[], Zorvane_Values ref Target);
};
)mof").Text());
  const auto first = mof::FindClass(W("root\\cimv2"), W("Zorvane_Values"));
  ASSERT_TRUE(first.has_value());
  // What the repository reads back after its own writing, again.
  ASSERT_EQ(kSuccess, Compile("class Zorvane_Unrelated { };", 0, W("root\\cimv2")).Text());
  const auto second = mof::FindClass(W("root\\cimv2"), W("Zorvane_Values"));
  ASSERT_TRUE(second.has_value());
  EXPECT_TRUE(*first == *second);

  const mof::ClassDef& c = *second;
  EXPECT_EQ(WString(W("quote \" backslash \\ tab \t newline \n nul ")) + WString(1, 0) + WString(W(" end")),
            c.FindQualifier(W("Text"))->value.text);
  const WString wide = c.FindQualifier(W("Wide"))->value.text;
  EXPECT_EQ((WString{0x263A, ' ', 'c', 'a', 'f', 0xE9, ' ', 0xD83D, 0xDE00, ' ', 0xDC00}), wide);
  EXPECT_EQ(~uint64_t{0}, c.FindQualifier(W("Big"))->value.magnitude);
  EXPECT_EQ(-1.5e-3, c.FindQualifier(W("Real"))->value.real);
  EXPECT_EQ(mof::Value::Kind::kNull, c.FindQualifier(W("Nothing"))->value.kind);
  EXPECT_EQ(static_cast<wchar>('\''), c.FindQualifier(W("Letter"))->value.character);
  EXPECT_EQ(15u, c.FindQualifier(W("Octal"))->value.magnitude);
  EXPECT_EQ(5u, c.FindQualifier(W("Binary"))->value.magnitude);
  const mof::Qualifier* mixed = c.FindQualifier(W("Mixed"));
  ASSERT_EQ(5u, mixed->value.elements.size());
  EXPECT_EQ(mof::Value::Kind::kReal, mixed->value.elements[2].kind);
  EXPECT_EQ((std::vector<WString>{W("DisableOverride"), W("Restricted")}), mixed->flavors);
  EXPECT_EQ(4, c.FindProperty(W("Bytes"))->arraySize);
  EXPECT_EQ(mof::Value::Kind::kInteger, c.FindProperty(W("Ratio"))->defaultValue.kind);
  ASSERT_EQ(1u, c.methods.size());
  ASSERT_EQ(3u, c.methods[0].parameters.size());
  EXPECT_TRUE(c.methods[0].parameters[1].array);
  EXPECT_EQ(WString(W("Zorvane_Values")), c.methods[0].parameters[2].referenceClass);
}

// Names read from UTF-16 text may hold lone surrogates: the repository keeps
// them (its file is then UTF-16), as it keeps those of strings (escaped).
TEST_F(MofCompile, LoneSurrogatesSurviveTheRepository) {
  const wchar high = 0xD800, low = 0xDC07;
  WString className = W("Zorvane_Lone");
  className.push_back(high);
  const WString property = WString(W("P")) + low + W("x");
  const WString qualifier = WString(W("Q")) + high;
  const WString value = WString(W("v")) + low + high;
  const WString source = W("[") + qualifier + W("(\"") + value + W("\")] class ") + className + W(" { string ") +
                         property + W(" = \"") + value + W("\"; char16 C = '") + low + W("'; };");
  ASSERT_EQ(kSuccess, Compile("\xFF\xFE" + WideBytes(source), 0, W("root\\cimv2")).Text());
  // Stored again by an unrelated compilation: read back from the repository's own writing.
  ASSERT_EQ(kSuccess, Compile("class Zorvane_Unrelated { };", 0, W("root\\cimv2")).Text());

  const auto found = mof::FindClass(W("root\\cimv2"), className);
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->name == className);
  ASSERT_NE(nullptr, found->FindQualifier(qualifier));
  EXPECT_TRUE(found->FindQualifier(qualifier)->value.text == value);
  ASSERT_NE(nullptr, found->FindProperty(property));
  EXPECT_TRUE(found->FindProperty(property)->defaultValue.text == value);
  ASSERT_NE(nullptr, found->FindProperty(W("C")));
  EXPECT_EQ(low, found->FindProperty(W("C"))->defaultValue.character);
  EXPECT_TRUE(HasClass("Zorvane_Unrelated"));
  // Deleting it by that name works, and leaves the class beside it.
  ASSERT_EQ(kSuccess, Compile("\xFF\xFE" + WideBytes(W("#pragma deleteclass(\"") + className + W("\", FAIL)")), 0,
                              W("root\\cimv2")).Text());
  EXPECT_FALSE(mof::FindClass(W("root\\cimv2"), className).has_value());
  EXPECT_TRUE(HasClass("Zorvane_Unrelated"));
}

#ifndef _WIN32
// Linux: another process sees the prefix's files; switching to the same
// prefix drops everything the platform layer holds in memory.
TEST_F(MofCompile, RepositoryIsReadAgainFromTheMachine) {
  ASSERT_EQ(kSuccess, Compile(kCounterClass).Text());
  const std::string file = std::string(KvtrEmu_Prefix()) + "/wbem/root.cimv2.mof";
  std::string text;
  {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(nullptr, in) << file;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
    std::fclose(in);
  }
  EXPECT_NE(std::string::npos, text.find("class Win32_PerfRawData_Zorvane_Agent : Win32_PerfRawData"));
  EXPECT_NE(std::string::npos, text.find("#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")"));

  ASSERT_TRUE(KvtrEmu_UsePrefix(KvtrEmu_Prefix()));
  EXPECT_TRUE(HasClass("Win32_PerfRawData_Zorvane_Agent"));
  IMofCompiler* other = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                                   reinterpret_cast<void**>(&other)));
  std::string deletion = "#pragma namespace(\"root\\\\cimv2\")\n#pragma deleteclass(\"Win32_PerfRawData_Zorvane_Agent\",FAIL)";
  WBEM_COMPILE_STATUS_INFO info{};
  EXPECT_EQ(0, other->CompileBuffer(static_cast<LONG>(deletion.size()), reinterpret_cast<BYTE*>(deletion.data()),
                                    nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info));
  other->Release();

  // A machine of its own has its own repository.
  const std::string prefix = KvtrEmu_Prefix();
  {
    TestMachine elsewhere;
    EXPECT_EQ(kBuiltinCimv2, Classes());
  }
  ASSERT_TRUE(KvtrEmu_UsePrefix(prefix.c_str()));
  EXPECT_FALSE(HasClass("Win32_PerfRawData_Zorvane_Agent"));
}

TEST_F(MofCompile, HostListsTheClassNamesOfANamespace) {
  ASSERT_EQ(kSuccess, Compile("class Zorvane_A { }; class Zorvane_Bc { };", 0, W("root\\wmi")).Text());
  const WString expected = WString(W("Zorvane_A")) + WString(1, 0) + W("Zorvane_Bc") + WString(2, 0);
  EXPECT_EQ(expected.size(), KvtrEmu_ListWmiClasses(W("\\\\.\\ROOT\\WMI"), nullptr, 0));
  WString buffer(expected.size(), 'x');
  EXPECT_EQ(expected.size(), KvtrEmu_ListWmiClasses(W("root\\wmi"), buffer.data(), buffer.size() - 1));
  EXPECT_EQ(WString(expected.size(), 'x'), buffer) << "wrote into a buffer too small";
  EXPECT_EQ(expected.size(), KvtrEmu_ListWmiClasses(W("root\\wmi"), buffer.data(), buffer.size()));
  EXPECT_EQ(expected, buffer);
  WString empty(4, 'x');
  EXPECT_EQ(2u, KvtrEmu_ListWmiClasses(W("root"), empty.data(), empty.size()));
  EXPECT_EQ((WString{0, 0, 'x', 'x'}), empty);
  EXPECT_EQ(0u, KvtrEmu_ListWmiClasses(W("root\\nowhere"), empty.data(), empty.size()));
  EXPECT_EQ(0u, KvtrEmu_ListWmiClasses(nullptr, empty.data(), empty.size()));
}
#endif

}  // namespace
}  // namespace kvtr::test
