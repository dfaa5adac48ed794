// The MOF compiler emulator: fuzzed bytes are compiled as CompileBuffer
// gets them (syntax check only, so nothing is stored), and every class the
// parser accepts must survive the repository's writer: written as the
// repository writes a namespace file and parsed back, it is the same class.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_prefix.h"
#include "platform/mofcomp/mof_compiler.h"
#include "platform/mofcomp/mof_model.h"
#include "platform/mofcomp/mof_parser.h"
#include "platform/mofcomp/mof_status.h"

namespace mof = kvtr::mof;

namespace {
IMofCompiler* g_compiler = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvtr::fuzz::UseFreshPrefix();
  if (mof::CreateMofCompiler(IID_IMofCompiler, reinterpret_cast<void**>(&g_compiler)) != S_OK) {
    kvtr::fuzz::Fail("no compiler object");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  WBEM_COMPILE_STATUS_INFO info{};
  const HRESULT result = g_compiler->CompileBuffer(static_cast<LONG>(size), const_cast<BYTE*>(data), nullptr, nullptr,
                                                   nullptr, nullptr, mof::option::kCheckOnly, 0, 0, &info);
  if (result != mof::status::kNoError && info.hRes == 0) kvtr::fuzz::Fail("a failed compilation names no error");
  if (result == mof::status::kNoError && info.hRes != 0) kvtr::fuzz::Fail("a compilation succeeded with an error");

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const mof::ParseResult parsed = mof::ParseMof(mof::MofFileText(bytes), W("root\\default"));
  for (const mof::Item& item : parsed.items) {
    if (item.kind != mof::Item::Kind::kClass) continue;
    const std::string file = mof::MofFileBytes(mof::ClassToMof(item.classDef));
    const mof::ParseResult again = mof::ParseMof(mof::MofFileText(file), W("root\\default"));
    if (again.error != 0) {
      std::fprintf(stderr, "error 0x%08X at line %d of:\n%s\n", static_cast<unsigned>(again.error),
                   static_cast<int>(again.errorLastLine), file.c_str());
      kvtr::fuzz::Fail("a class the writer wrote does not parse");
    }
    if (again.items.size() != 1 || again.items[0].kind != mof::Item::Kind::kClass ||
        !(again.items[0].classDef == item.classDef)) {
      std::fprintf(stderr, "%s\n", file.c_str());
      kvtr::fuzz::Fail("a class changed through the writer");
    }
  }
  return 0;
}
