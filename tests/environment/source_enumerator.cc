#include "environment/source_enumerator.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "common_utils/environment/provider_list.h"

namespace kvtr::test {
namespace {

class Counted;
std::mutex g_liveLock;
std::set<Counted*> g_live;
std::mutex g_bindingLock;
DBBINDING g_lastBinding{};

// Reference counting shared by the objects below, which are listed while
// they live.
class Counted {
 public:
  Counted() {
    std::lock_guard<std::mutex> hold(g_liveLock);
    g_live.insert(this);
  }
  virtual ~Counted() {
    std::lock_guard<std::mutex> hold(g_liveLock);
    g_live.erase(this);
  }
  ULONG AddRefCount() { return ++references_; }
  ULONG ReleaseCount() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class Rowset : public IRowset, public IAccessor, public Counted {
 public:
  explicit Rowset(const SourceEnumeratorScript& script) : script_(script) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, environment::kIRowset)) {
      *object = static_cast<IRowset*>(this);
    } else if (IsEqualGUID(iid, environment::kIAccessor)) {
      *object = static_cast<IAccessor*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRefCount();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseCount(); }

  HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM, const HROW*, DBREFCOUNT*, DBROWSTATUS*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetData(HROW row, HACCESSOR accessor, void* data) override {
    if (accessor != kAccessor || row == 0 || row > script_.names.size()) return E_INVALIDARG;
    if (static_cast<int>(row - 1) == script_.faultAtRow) {
      volatile int* nowhere = nullptr;
      *nowhere = 1;  // a processor fault inside the provider
    }
    const WString& name = script_.names[row - 1];
    auto* bytes = static_cast<BYTE*>(data);
    const size_t units = std::min<size_t>(name.size(), binding_.cbMaxLen / sizeof(WCHAR) - 1);
    std::memcpy(bytes + binding_.obValue, name.c_str(), units * sizeof(WCHAR));
    std::memset(bytes + binding_.obValue + units * sizeof(WCHAR), 0, sizeof(WCHAR));
    const DBSTATUS ok = DBSTATUS_S_OK;
    if (binding_.dwPart & DBPART_STATUS) std::memcpy(bytes + binding_.obStatus, &ok, sizeof ok);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER, DBROWOFFSET, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                                        HROW** handles) override {
    if (obtained == nullptr || handles == nullptr || rows != 1) return E_INVALIDARG;
    *obtained = 0;
    if (next_ >= script_.names.size()) return DB_S_ENDOFROWSET;
    if (*handles == nullptr) *handles = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW)));
    (*handles)[0] = ++next_;
    *obtained = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM, const HROW*, DBROWOPTIONS*, DBREFCOUNT*, DBROWSTATUS*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER) override {
    next_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS, DBCOUNTITEM count, const DBBINDING* bindings, DBLENGTH,
                                           HACCESSOR* accessor, DBBINDSTATUS*) override {
    if (count != 1 || bindings == nullptr || accessor == nullptr) return E_INVALIDARG;
    binding_ = bindings[0];
    {
      std::lock_guard<std::mutex> hold(g_bindingLock);
      g_lastBinding = binding_;
    }
    *accessor = kAccessor;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR, DBREFCOUNT*) override { return S_OK; }

 private:
  static constexpr HACCESSOR kAccessor = 7;
  const SourceEnumeratorScript script_;
  DBBINDING binding_{};
  size_t next_ = 0;
};

class Enumerator : public ISourcesRowset, public Counted {
 public:
  explicit Enumerator(const SourceEnumeratorScript& script) : script_(script) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, environment::kISourcesRowset)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<ISourcesRowset*>(this);
    AddRefCount();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseCount(); }

  HRESULT STDMETHODCALLTYPE GetSourcesRowset(IUnknown* outer, REFIID iid, ULONG, DBPROPSET*, IUnknown** rowset) override {
    if (rowset == nullptr) return E_POINTER;
    *rowset = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (FAILED(script_.openResult)) return script_.openResult;
    auto* created = new Rowset(script_);
    const HRESULT result = created->QueryInterface(iid, reinterpret_cast<void**>(rowset));
    created->Release();
    return result;
  }

 private:
  const SourceEnumeratorScript script_;
};

class Factory : public IClassFactory {
 public:
  explicit Factory(SourceEnumeratorScript script) : script_(std::move(script)) {}
  virtual ~Factory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IClassFactory)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* created = new Enumerator(script_);
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  const SourceEnumeratorScript script_;
  std::atomic<ULONG> references_{1};
};

}  // namespace

RegisteredSourceEnumerator::RegisteredSourceEnumerator(SourceEnumeratorScript script)
    : factory_(new Factory(std::move(script))) {
  registered_ = SUCCEEDED(CoRegisterClassObject(environment::kOleDbEnumerator, factory_, CLSCTX_INPROC_SERVER,
                                                REGCLS_MULTIPLEUSE, &cookie_));
}

RegisteredSourceEnumerator::~RegisteredSourceEnumerator() {
  if (registered_) CoRevokeClassObject(cookie_);
  factory_->Release();
}

int RegisteredSourceEnumerator::LiveObjects() {
  std::lock_guard<std::mutex> hold(g_liveLock);
  return static_cast<int>(g_live.size());
}

int RegisteredSourceEnumerator::DestroyAbandoned() {
  std::set<Counted*> abandoned;
  {
    std::lock_guard<std::mutex> hold(g_liveLock);
    abandoned.swap(g_live);
  }
  for (Counted* object : abandoned) delete object;
  return static_cast<int>(abandoned.size());
}

DBBINDING RegisteredSourceEnumerator::LastBinding() {
  std::lock_guard<std::mutex> hold(g_bindingLock);
  return g_lastBinding;
}

}  // namespace kvtr::test
