// POSIX platform layer: tokens and accounts (OpenProcessToken,
// GetTokenInformation, IsValidSid, GetLengthSid, LookupAccountSidW,
// GetUserNameW).
//
// Answers from the host's user database. A host user is a local account of
// this machine: its SID is S-1-5-21-A-B-C-RID, where A, B and C are the first
// 96 bits of /etc/machine-id (the machine's own, stable identity) and the RID
// is 1000 + uid, as Windows numbers the accounts it creates; root is 500, the
// built-in administrator's RID. The domain of every such account is the
// computer name in its NetBIOS form. Only the token's user is kept; no
// privileges, groups or access checks live here.
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

constexpr DWORD kRootRid = 500;
constexpr DWORD kFirstUserRid = 1000;
constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
constexpr DWORD kNonUniqueAuthority = 21;  // SECURITY_NT_NON_UNIQUE
constexpr DWORD kDomainParts = 3;
constexpr DWORD kSidSubAuthorities = 1 + kDomainParts + 1;
constexpr DWORD kSidBytes = 8 + 4 * kSidSubAuthorities;

class TokenObject : public KernelObject {
 public:
  explicit TokenObject(uid_t user) noexcept : KernelObject(ObjectKind::kToken), user_(user) {}
  uid_t user() const noexcept { return user_; }

 private:
  const uid_t user_;
};

// The three numbers of the machine's domain SID: /etc/machine-id (or the
// D-Bus copy of it), else FNV-1a of the host name, so that the SID is
// stable either way.
const std::vector<DWORD>& MachineDomain() {
  static const std::vector<DWORD> domain = [] {
    std::string id;
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
      std::ifstream file(path);
      if (file >> id && id.size() >= 24 && id.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) break;
      id.clear();
    }
    std::vector<DWORD> parts;
    if (!id.empty()) {
      for (DWORD i = 0; i < kDomainParts; ++i) parts.push_back(static_cast<DWORD>(std::stoul(id.substr(i * 8, 8), nullptr, 16)));
      return parts;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    uint64_t hash = 0xcbf29ce484222325ull;
    for (DWORD i = 0; i < kDomainParts; ++i) {
      for (const char* c = host; *c != 0; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 0x100000001b3ull;
      hash = (hash ^ i) * 0x100000001b3ull;
      parts.push_back(static_cast<DWORD>(hash >> 32));
    }
    return parts;
  }();
  return domain;
}

// RIDs beyond a DWORD have no SID: such uids are outside every host's range
// ((uid_t)-1 is "no user").
bool RidOfUser(uid_t user, DWORD& rid) {
  if (user == 0) {
    rid = kRootRid;
    return true;
  }
  if (user > 0xFFFFFFFFu - kFirstUserRid) return false;
  rid = kFirstUserRid + static_cast<DWORD>(user);
  return true;
}

void WriteUserSid(DWORD rid, BYTE* out) {
  SID header{};
  header.Revision = 1;
  header.SubAuthorityCount = kSidSubAuthorities;
  std::memcpy(header.IdentifierAuthority.Value, kNtAuthority, sizeof kNtAuthority);
  std::memcpy(out, &header, 8);
  DWORD parts[kSidSubAuthorities] = {kNonUniqueAuthority, MachineDomain()[0], MachineDomain()[1], MachineDomain()[2], rid};
  std::memcpy(out + 8, parts, sizeof parts);
}

// The host user a SID names: one of this machine's accounts, with a
// user database entry. False for any other SID.
bool UserOfSid(const BYTE* sid, uid_t& user) {
  if (sid[1] != kSidSubAuthorities || std::memcmp(sid + 2, kNtAuthority, sizeof kNtAuthority) != 0) return false;
  DWORD parts[kSidSubAuthorities];
  std::memcpy(parts, sid + 8, sizeof parts);
  if (parts[0] != kNonUniqueAuthority) return false;
  for (DWORD i = 0; i < kDomainParts; ++i) {
    if (parts[1 + i] != MachineDomain()[i]) return false;
  }
  const DWORD rid = parts[kSidSubAuthorities - 1];
  if (rid == kRootRid) {
    user = 0;
    return true;
  }
  // RID 1000 would be uid 0, which is root's and named by RID 500.
  if (rid <= kFirstUserRid) return false;
  user = static_cast<uid_t>(rid - kFirstUserRid);
  return true;
}

// The user database's name of `user`; false when it has no entry.
bool NameOfUser(uid_t user, std::string& name) {
  std::vector<char> buffer(4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int status = getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found);
    if (status == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0 || found == nullptr) return false;
    name = entry.pw_name;
    return true;
  }
}

// The NetBIOS form of the host name: its first label, upper-cased, at most
// 15 characters.
WString ComputerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return WString();
  std::string name(host, strcspn(host, "."));
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  WString wide = Utf8ToUtf16(name);
  if (wide.size() > 15) wide.resize(15);
  return wide;
}

}  // namespace
}  // namespace kvtr::posix

extern "C" {

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) try {
  using namespace kvtr::posix;
  DWORD granted = 0;
  if (ReferenceHandleOf<KernelObject>(process, ObjectKind::kProcess, &granted) == nullptr) return FALSE;
  if ((granted & (PROCESS_QUERY_INFORMATION | 0x1000 /*PROCESS_QUERY_LIMITED_INFORMATION*/)) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (token == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *token = AddHandle(std::make_shared<TokenObject>(geteuid()), access);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD infoLength,
                         LPDWORD returnLength) try {
  using namespace kvtr::posix;
  DWORD access = 0;
  auto object = ReferenceHandleOf<TokenObject>(token, ObjectKind::kToken, &access);
  if (object == nullptr) return FALSE;
  if (infoClass <= 0 || infoClass >= MaxTokenInfoClass) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (infoClass != TokenUser) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if ((access & TOKEN_QUERY) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD rid = 0;
  if (!RidOfUser(object->user(), rid)) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const DWORD needed = sizeof(TOKEN_USER) + kSidBytes;
  if (returnLength == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *returnLength = needed;
  if (info == nullptr || infoLength < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The SID follows the structure that points to it, as on Windows.
  auto* bytes = static_cast<BYTE*>(info);
  TOKEN_USER user{};
  user.User.Sid = bytes + sizeof(TOKEN_USER);
  user.User.Attributes = 0;
  std::memcpy(bytes, &user, sizeof user);
  WriteUserSid(rid, bytes + sizeof(TOKEN_USER));
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL IsValidSid(PSID sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  return bytes != nullptr && bytes[0] == 1 && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetLengthSid(PSID sid) { return 8 + 4 * static_cast<DWORD>(static_cast<const BYTE*>(sid)[1]); }

BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                       LPDWORD domainSize, PSID_NAME_USE use) try {
  using namespace kvtr::posix;
  if (nameSize == nullptr || domainSize == nullptr || use == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const kvtr::WString computer = ComputerName();
  // Another machine's accounts are not known here.
  if (systemName != nullptr && systemName[0] != 0) {
    kvtr::WStringView asked(systemName);
    if (asked.substr(0, 2) == kvtr::WStringView(W("\\\\"))) asked.remove_prefix(2);
    if (!EqualNoCase(asked, computer)) {
      SetLastError(ERROR_NONE_MAPPED);
      return FALSE;
    }
  }
  uid_t user = 0;
  std::string account;
  if (!UserOfSid(static_cast<const BYTE*>(sid), user) || !NameOfUser(user, account)) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const kvtr::WString wide = Utf8ToUtf16(account);
  const auto nameNeeded = static_cast<DWORD>(wide.size() + 1);
  const auto domainNeeded = static_cast<DWORD>(computer.size() + 1);
  if (name == nullptr || *nameSize < nameNeeded || domain == nullptr || *domainSize < domainNeeded) {
    *nameSize = nameNeeded;
    *domainSize = domainNeeded;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(name, wide.c_str(), nameNeeded * sizeof(WCHAR));
  std::memcpy(domain, computer.c_str(), domainNeeded * sizeof(WCHAR));
  *nameSize = nameNeeded - 1;
  *domainSize = domainNeeded - 1;
  *use = SidTypeUser;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) try {
  using namespace kvtr::posix;
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string account;
  if (!NameOfUser(geteuid(), account)) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const kvtr::WString wide = Utf8ToUtf16(account);
  const auto needed = static_cast<DWORD>(wide.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, wide.c_str(), needed * sizeof(WCHAR));
  *size = needed;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
