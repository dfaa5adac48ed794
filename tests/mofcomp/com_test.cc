// The compiler as a COM object: interfaces, reference counts, CreateBMOF,
// and (under Wine) the COM server registration that makes it reachable.
#include "mofcomp/mof_test.h"

namespace kvtr::test {
namespace {

namespace status = mof::status;

using MofCom = MofTest;

TEST_F(MofCom, QueryInterfaceAndReferenceCounts) {
  // The fixture holds the only reference.
  EXPECT_EQ(2u, compiler_->AddRef());
  EXPECT_EQ(1u, compiler_->Release());

  IUnknown* unknown = nullptr;
  ASSERT_EQ(Hex(S_OK), Hex(compiler_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))));
  ASSERT_NE(nullptr, unknown);
  IMofCompiler* again = nullptr;
  ASSERT_EQ(Hex(S_OK), Hex(unknown->QueryInterface(IID_IMofCompiler, reinterpret_cast<void**>(&again))));
  EXPECT_EQ(static_cast<void*>(compiler_), static_cast<void*>(again));
  // Identity: both interfaces give the same IUnknown.
  IUnknown* identity = nullptr;
  ASSERT_EQ(Hex(S_OK), Hex(again->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))));
  EXPECT_EQ(unknown, identity);
  EXPECT_EQ(3u, identity->Release());
  EXPECT_EQ(2u, again->Release());
  EXPECT_EQ(1u, unknown->Release());

  void* other = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(Hex(status::kNoInterface), Hex(compiler_->QueryInterface(IID_IClassFactory, &other)));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(Hex(status::kPointer), Hex(compiler_->QueryInterface(IID_IUnknown, nullptr)));
  EXPECT_EQ(2u, compiler_->AddRef());
  EXPECT_EQ(1u, compiler_->Release());
}

TEST_F(MofCom, CreatesObjectsForIUnknownOnly) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(Hex(S_OK), Hex(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&unknown))));
  ASSERT_NE(nullptr, unknown);
  // A new object, not the fixture's.
  EXPECT_NE(static_cast<void*>(compiler_), static_cast<void*>(unknown));
  EXPECT_EQ(0u, unknown->Release());

  void* object = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(Hex(status::kNoInterface),
            Hex(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &object)));
  EXPECT_EQ(nullptr, object);
}

TEST_F(MofCom, CreateBmofIsNotSupported) {
  WString text = WriteMof("a.mof", "class A { };");
  WString binary = machine_.ScratchFolder() + W("\\a.bmof");
  WBEM_COMPILE_STATUS_INFO info{};
  EXPECT_EQ(Hex(status::kNotSupported),
            Hex(compiler_->CreateBMOF(text.data(), binary.data(), nullptr, 0, 0, 0, &info)));
  EXPECT_EQ(mof::kPhaseArgument, info.lPhaseError);
  EXPECT_EQ(Hex(status::kNotSupported), Hex(info.hRes));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(binary.c_str()));
}

#ifdef _WIN32
// Under Wine the compiler is reached only through its registration.
TEST_F(MofCom, RegistrationMakesTheServerReachable) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}\\InprocServer32", 0,
                          KEY_QUERY_VALUE, &key));
  wchar value[MAX_PATH + 1] = {};
  DWORD size = sizeof value - sizeof(wchar);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
  EXPECT_EQ(MofServer::DllPath(), WString(value));
  size = sizeof value - sizeof(wchar);
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, L"ThreadingModel", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
  EXPECT_EQ(WString(L"Both"), WString(value));
  RegCloseKey(key);

  compiler_->Release();
  compiler_ = nullptr;
  ASSERT_EQ(Hex(S_OK), Hex(server_.Unregister()));
  void* object = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(Hex(REGDB_E_CLASSNOTREG),
            Hex(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler, &object)));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}", 0, KEY_QUERY_VALUE,
                          &key));

  // Registered again, a fresh object works.
  MofServer again;
  ASSERT_EQ(Hex(S_OK), Hex(again.RegisterResult()));
  ASSERT_EQ(Hex(S_OK), Hex(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                                            reinterpret_cast<void**>(&compiler_))));
  EXPECT_EQ(kSuccess, Compile("class Zorvane_Again { };").Text());
}
#endif

}  // namespace
}  // namespace kvtr::test
