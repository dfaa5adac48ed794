#include "support/fake_mof_compiler.h"

#include <stdexcept>

#include "support/memory_pages.h"

namespace kvtr::test {
namespace {

const CLSID kCompilerClass = {0x6DAF9757, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
const IID kCompilerInterface = {0x6DAF974E, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
const IID kUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct OtherFailure {};

class Compiler final : public IMofCompiler {
 public:
  explicit Compiler(FakeMofCompiler& owner) : owner_(owner) { owner_.ObjectCreated(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, kUnknown) || IsEqualGUID(iid, kCompilerInterface)) {
      *object = static_cast<IMofCompiler*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      owner_.ObjectReleased();
      delete this;
    }
    return left;
  }
  STDMETHODIMP CompileFile(LPWSTR file, LPWSTR server, LPWSTR user, LPWSTR authority, LPWSTR password, LONG options,
                           LONG, LONG, WBEM_COMPILE_STATUS_INFO* status) override {
    owner_.Record(FakeMofCompiler::Call{true, file ? WString(file) : WString(), {}, 0, options,
                                        !server && !user && !authority && !password});
    return owner_.Respond(status);
  }
  STDMETHODIMP CompileBuffer(LONG size, BYTE* buffer, LPWSTR server, LPWSTR user, LPWSTR authority, LPWSTR password,
                             LONG options, LONG, LONG, WBEM_COMPILE_STATUS_INFO* status) override {
    owner_.Record(FakeMofCompiler::Call{false, {},
                                        std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(size)), size,
                                        options, !server && !user && !authority && !password});
    return owner_.Respond(status);
  }
  STDMETHODIMP CreateBMOF(LPWSTR, LPWSTR, LPWSTR, LONG, LONG, LONG, WBEM_COMPILE_STATUS_INFO*) override {
    return E_NOTIMPL;
  }

 private:
  FakeMofCompiler& owner_;
  ULONG references_ = 1;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(FakeMofCompiler& owner) : owner_(owner) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, kUnknown) || IsEqualGUID(iid, kClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Compiler* compiler = new Compiler(owner_);
    const HRESULT result = compiler->QueryInterface(iid, object);
    compiler->Release();
    return result;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  FakeMofCompiler& owner_;
  ULONG references_ = 1;
};

}  // namespace

FakeMofCompiler::FakeMofCompiler() {
  factory_ = new Factory(*this);
  if (FAILED(CoRegisterClassObject(kCompilerClass, factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_))) {
    cookie_ = 0;
  }
}

FakeMofCompiler::~FakeMofCompiler() {
  if (cookie_ != 0) CoRevokeClassObject(cookie_);
  factory_->Release();
}

void FakeMofCompiler::Record(Call call) { calls_.push_back(std::move(call)); }

HRESULT FakeMofCompiler::Respond(WBEM_COMPILE_STATUS_INFO* status) {
  if (answer_.raise == ScriptedAnswer::Throw::kStandard) throw std::runtime_error("scripted failure");
  if (answer_.raise == ScriptedAnswer::Throw::kOther) throw OtherFailure{};
  // No object with a destructor is alive in the frames a fault abandons.
  if (answer_.raise == ScriptedAnswer::Throw::kFault) return *static_cast<volatile HRESULT*>(MemoryPages::Unmapped());
  if (status != nullptr) {
    status->lPhaseError = answer_.phase;
    status->hRes = answer_.hRes;
    status->ObjectNum = answer_.objectNumber;
    status->FirstLine = status->LastLine = 0;
    status->dwOutFlags = 0;
  }
  return answer_.result;
}

}  // namespace kvtr::test
