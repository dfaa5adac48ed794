// COM and WMI MOF compiler declarations for the POSIX platform layer: the
// SDK's types, interface layouts (vtable order as on Windows), constants and
// the COM functions the library and its tests use.
#pragma once

#include <cstring>

#include "win32_api.h"

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef WCHAR* BSTR;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

// Interfaces are classes with only pure virtual functions and no virtual
// destructor, so their vtables have COM's layout.
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID iid, void** object) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** object) PURE;
  STDMETHOD(LockServer)(BOOL lock) PURE;
};

typedef struct tag_CompileStatusInfo {
  LONG lPhaseError;
  HRESULT hRes;
  LONG ObjectNum;
  LONG FirstLine;
  LONG LastLine;
  DWORD dwOutFlags;
} WBEM_COMPILE_STATUS_INFO;

struct IMofCompiler : IUnknown {
  STDMETHOD(CompileFile)(LPWSTR FileName, LPWSTR ServerAndNamespace, LPWSTR User, LPWSTR Authority,
                         LPWSTR Password, LONG lOptionFlags, LONG lClassFlags, LONG lInstanceFlags,
                         WBEM_COMPILE_STATUS_INFO* pInfo) PURE;
  STDMETHOD(CompileBuffer)(LONG BuffSize, BYTE* pBuffer, LPWSTR ServerAndNamespace, LPWSTR User,
                           LPWSTR Authority, LPWSTR Password, LONG lOptionFlags, LONG lClassFlags,
                           LONG lInstanceFlags, WBEM_COMPILE_STATUS_INFO* pInfo) PURE;
  STDMETHOD(CreateBMOF)(LPWSTR TextFileName, LPWSTR BMOFFileName, LPWSTR ServerAndNamespace, LONG lOptionFlags,
                        LONG lClassFlags, LONG lInstanceFlags, WBEM_COMPILE_STATUS_INFO* pInfo) PURE;
};

// ---- OLE DB: the root enumerator's sources rowset (oledb.h, 64-bit) ----
typedef ULONG_PTR HACCESSOR;
typedef ULONG_PTR HROW;
typedef ULONG_PTR HCHAPTER;
typedef ULONGLONG DBCOUNTITEM;
typedef ULONGLONG DBORDINAL;
typedef ULONGLONG DBBYTEOFFSET;
typedef ULONGLONG DBLENGTH;
typedef LONGLONG DBROWOFFSET;
typedef LONGLONG DBROWCOUNT;
typedef ULONG DBREFCOUNT;
typedef DWORD DBROWSTATUS;
typedef DWORD DBROWOPTIONS;
typedef DWORD DBBINDSTATUS;
typedef DWORD DBACCESSORFLAGS;
typedef DWORD DBPART;
typedef DWORD DBMEMOWNER;
typedef DWORD DBPARAMIO;
typedef DWORD DBSTATUS;
typedef WORD DBTYPE;

#define DB_NULL_HCHAPTER 0x00
#define DB_S_ENDOFROWSET ((HRESULT)0x00040EC6L)
#define DBACCESSOR_ROWDATA 0x2
#define DBPART_VALUE 0x1
#define DBPART_LENGTH 0x2
#define DBPART_STATUS 0x4
#define DBMEMOWNER_CLIENTOWNED 0
#define DBPARAMIO_NOTPARAM 0
#define DBTYPE_WSTR 130
#define DBSTATUS_S_OK 0

struct ITypeInfo;
struct DBOBJECT;
struct DBBINDEXT;
typedef struct tagDBPROPSET DBPROPSET;

typedef struct tagDBBINDING {
  DBORDINAL iOrdinal;
  DBBYTEOFFSET obValue;
  DBBYTEOFFSET obLength;
  DBBYTEOFFSET obStatus;
  ITypeInfo* pTypeInfo;
  DBOBJECT* pObject;
  DBBINDEXT* pBindExt;
  DBPART dwPart;
  DBMEMOWNER dwMemOwner;
  DBPARAMIO eParamIO;
  DBLENGTH cbMaxLen;
  DWORD dwFlags;
  DBTYPE wType;
  BYTE bPrecision;
  BYTE bScale;
} DBBINDING;

struct ISourcesRowset : IUnknown {
  STDMETHOD(GetSourcesRowset)(IUnknown* outer, REFIID iid, ULONG propertySets, DBPROPSET* properties,
                              IUnknown** rowset) PURE;
};

struct IRowset : IUnknown {
  STDMETHOD(AddRefRows)(DBCOUNTITEM rows, const HROW* handles, DBREFCOUNT* counts, DBROWSTATUS* status) PURE;
  STDMETHOD(GetData)(HROW row, HACCESSOR accessor, void* data) PURE;
  STDMETHOD(GetNextRows)(HCHAPTER reserved, DBROWOFFSET offset, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                         HROW** handles) PURE;
  STDMETHOD(ReleaseRows)(DBCOUNTITEM rows, const HROW* handles, DBROWOPTIONS* options, DBREFCOUNT* counts,
                         DBROWSTATUS* status) PURE;
  STDMETHOD(RestartPosition)(HCHAPTER reserved) PURE;
};

struct IAccessor : IUnknown {
  STDMETHOD(AddRefAccessor)(HACCESSOR accessor, DBREFCOUNT* count) PURE;
  STDMETHOD(CreateAccessor)(DBACCESSORFLAGS flags, DBCOUNTITEM bindings, const DBBINDING* binding,
                            DBLENGTH rowSize, HACCESSOR* accessor, DBBINDSTATUS* status) PURE;
  STDMETHOD(GetBindings)(HACCESSOR accessor, DBACCESSORFLAGS* flags, DBCOUNTITEM* bindings,
                         DBBINDING** binding) PURE;
  STDMETHOD(ReleaseAccessor)(HACCESSOR accessor, DBREFCOUNT* count) PURE;
};

// IUnknown and IClassFactory.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// The WMI MOF compiler.
inline constexpr CLSID CLSID_MofCompiler = {0x6DAF9757, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
inline constexpr IID IID_IMofCompiler = {0x6DAF974E, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL 0x17

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_DISABLE_OLE1DDE 0x4
#define COINIT_SPEED_OVER_MEMORY 0x8

// MOF compiler options and results (wbemcli.h).
enum WBEM_COMPILER_OPTIONS {
  WBEM_FLAG_CHECK_ONLY = 0x1,
  WBEM_FLAG_AUTORECOVER = 0x2,
  WBEM_FLAG_WMI_CHECK = 0x4,
  WBEM_FLAG_CONSOLE_PRINT = 0x8,
  WBEM_FLAG_DONT_ADD_TO_LIST = 0x10,
  WBEM_FLAG_SPLIT_FILES = 0x20,
  WBEM_FLAG_STORE_FILE = 0x100
};

#define WBEM_S_NO_ERROR ((HRESULT)0)
#define WBEM_S_FALSE ((HRESULT)1)
#define WBEM_E_FAILED ((HRESULT)0x80041001L)
#define WBEM_E_NOT_FOUND ((HRESULT)0x80041002L)
#define WBEM_E_ACCESS_DENIED ((HRESULT)0x80041003L)
#define WBEM_E_INVALID_PARAMETER ((HRESULT)0x80041008L)
#define WBEM_E_INVALID_CLASS ((HRESULT)0x80041010L)
#define WBEM_E_INVALID_NAMESPACE ((HRESULT)0x8004100EL)
#define WBEM_E_ALREADY_EXISTS ((HRESULT)0x80041019L)
#define WBEM_E_CLASS_HAS_CHILDREN ((HRESULT)0x80041025L)
#define WBEM_E_INVALID_SUPERCLASS ((HRESULT)0x8004100DL)
#define WBEMMOF_E_EXPECTED_QUALIFIER_NAME ((HRESULT)0x80044001L)
#define WBEMMOF_E_EXPECTED_SEMI ((HRESULT)0x80044002L)
#define WBEMMOF_E_EXPECTED_OPEN_BRACE ((HRESULT)0x80044003L)
#define WBEMMOF_E_EXPECTED_CLOSE_BRACE ((HRESULT)0x80044004L)
#define WBEMMOF_E_EXPECTED_CLOSE_BRACKET ((HRESULT)0x80044005L)
#define WBEMMOF_E_EXPECTED_CLOSE_PAREN ((HRESULT)0x80044006L)
#define WBEMMOF_E_ILLEGAL_CONSTANT_VALUE ((HRESULT)0x80044007L)
#define WBEMMOF_E_EXPECTED_TYPE_IDENTIFIER ((HRESULT)0x80044008L)
#define WBEMMOF_E_EXPECTED_OPEN_PAREN ((HRESULT)0x80044009L)
#define WBEMMOF_E_UNRECOGNIZED_TOKEN ((HRESULT)0x8004400AL)
#define WBEMMOF_E_UNRECOGNIZED_TYPE ((HRESULT)0x8004400BL)
#define WBEMMOF_E_EXPECTED_PROPERTY_NAME ((HRESULT)0x8004400CL)
#define WBEMMOF_E_INVALID_PRAGMA ((HRESULT)0x80044012L)
#define WBEMMOF_E_INVALID_NAMESPACE_SYNTAX ((HRESULT)0x80044013L)
#define WBEMMOF_E_EXPECTED_CLASS_NAME ((HRESULT)0x80044014L)
#define WBEMMOF_E_INVALID_CLASS_DECLARATION ((HRESULT)0x80044017L)
#define WBEMMOF_E_DUPLICATE_PROPERTY ((HRESULT)0x8004401BL)
#define WBEMMOF_E_INVALID_FILE ((HRESULT)0x8004401EL)
#define WBEMMOF_E_DUPLICATE_QUALIFIER ((HRESULT)0x80044021L)
#define WBEMMOF_E_INVALID_DELETECLASS_SYNTAX ((HRESULT)0x80044031L)

#ifdef __cplusplus
extern "C" {
#endif

KVTR_PLATFORM_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
KVTR_PLATFORM_API void CoUninitialize(void);
KVTR_PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                           LPVOID* object);
KVTR_PLATFORM_API HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN object, DWORD context, DWORD flags,
                                                LPDWORD cookie);
KVTR_PLATFORM_API HRESULT CoRevokeClassObject(DWORD cookie);
KVTR_PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T bytes);
KVTR_PLATFORM_API void CoTaskMemFree(LPVOID memory);
KVTR_PLATFORM_API int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity);

#ifdef __cplusplus
}
#endif
