// Tokens and accounts: the process's user through its token, SID and
// account lookups with Windows' size rules, and the codes of bad handles,
// classes, access and SIDs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr BYTE kMarker = 0xAB;
constexpr WCHAR kWideMarker = 0xABAB;

// The TOKEN_USER of the current process (with its SID inside the buffer).
std::vector<BYTE> ProcessTokenUser() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed));
  EXPECT_TRUE(CloseHandle(token));
  return buffer;
}

PSID SidOf(std::vector<BYTE>& tokenUser) { return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid; }

WString UserName() {
  WCHAR name[256];
  DWORD size = 256;
  EXPECT_TRUE(GetUserNameW(name, &size));
  return WString(name);
}

TEST(Tokens, TokenUserFollowsSizeRulesAndHoldsAWellFormedSid) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_GT(needed, sizeof(TOKEN_USER));
  ASSERT_LT(needed, 256u);

  // One byte short: nothing written, the same size asked for.
  std::vector<BYTE> buffer(needed + 16, kMarker);
  DWORD again = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, buffer.data(), needed - 1, &again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(needed, again);
  EXPECT_EQ(std::vector<BYTE>(needed + 16, kMarker), buffer);

  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &again));
  EXPECT_EQ(needed, again);
  auto* sid = static_cast<BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  ASSERT_GE(sid, buffer.data() + sizeof(TOKEN_USER));
  ASSERT_LE(sid + 8, buffer.data() + needed);
  ASSERT_TRUE(IsValidSid(sid));
  EXPECT_LE(sid + GetLengthSid(sid), buffer.data() + needed);
  // A local account: S-1-5-21-<machine>-<machine>-<machine>-<RID>.
  const BYTE ntAuthority[6] = {0, 0, 0, 0, 0, 5};
  EXPECT_EQ(1, sid[0]);
  ASSERT_EQ(5, sid[1]);
  EXPECT_EQ(8u + 4u * 5u, GetLengthSid(sid));
  EXPECT_EQ(0, std::memcmp(sid + 2, ntAuthority, 6));
  DWORD parts[5];
  std::memcpy(parts, sid + 8, sizeof parts);
  EXPECT_EQ(21u, parts[0]);
#ifndef _WIN32
  EXPECT_EQ(geteuid() == 0 ? 500u : 1000u + geteuid(), parts[4]);
#endif
  EXPECT_TRUE(CloseHandle(token));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Tokens, LookupAccountSidNamesTheProcessUserWithBothSizeRules) {
  std::vector<BYTE> tokenUser = ProcessTokenUser();
  const PSID sid = SidOf(tokenUser);
  const WString user = UserName();
  ASSERT_FALSE(user.empty());
#ifndef _WIN32
  EXPECT_EQ(WString(WidenAscii(getpwuid(geteuid())->pw_name)), user);
#endif

  // Asking for the sizes: both come back with their terminators.
  DWORD nameSize = 0, domainSize = 0;
  SID_NAME_USE use = SidTypeInvalid;
  SetLastError(kSentinel);
  EXPECT_FALSE(LookupAccountSidW(nullptr, sid, nullptr, &nameSize, nullptr, &domainSize, &use));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(user.size() + 1, nameSize);
  ASSERT_GT(domainSize, 1u);
  ASSERT_LE(domainSize, 16u);
  const DWORD nameNeeded = nameSize, domainNeeded = domainSize;

  // Either buffer one unit short: both sizes set, neither buffer written.
  struct Case {
    DWORD nameSize, domainSize;
  } cases[] = {{nameNeeded - 1, domainNeeded}, {nameNeeded, domainNeeded - 1}, {nameNeeded - 1, domainNeeded - 1}};
  for (const Case& c : cases) {
    if (WineDiffers("LookupAccountSidW takes a buffer with no room for the terminator and writes it past the end")) {
      break;
    }
    SCOPED_TRACE(testing::Message() << "name " << c.nameSize << " domain " << c.domainSize);
    std::vector<WCHAR> name(64, kWideMarker), domain(64, kWideMarker);
    nameSize = c.nameSize;
    domainSize = c.domainSize;
    EXPECT_FALSE(LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(nameNeeded, nameSize);
    EXPECT_EQ(domainNeeded, domainSize);
    EXPECT_EQ(std::vector<WCHAR>(64, kWideMarker), name);
    EXPECT_EQ(std::vector<WCHAR>(64, kWideMarker), domain);
  }

  // Exact sizes: the texts, sizes without the terminator, a user account.
  std::vector<WCHAR> name(64, kWideMarker), domain(64, kWideMarker);
  nameSize = nameNeeded;
  domainSize = domainNeeded;
  ASSERT_TRUE(LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use));
  EXPECT_EQ(user, WString(name.data()));
  EXPECT_EQ(nameNeeded - 1, nameSize);
  EXPECT_EQ(domainNeeded - 1, domainSize);
  EXPECT_EQ(domainNeeded - 1, WString(domain.data()).size());
  EXPECT_EQ(kWideMarker, name[nameNeeded]);
  EXPECT_EQ(SidTypeUser, use);
#ifndef _WIN32
  // The computer name: the host name's first label, upper-cased, cut to 15.
  char host[256] = {};
  ASSERT_EQ(0, ::gethostname(host, sizeof host - 1));
  std::string netbios(host, std::strcspn(host, "."));
  for (char& ch : netbios) ch = (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
  EXPECT_EQ(WidenAscii(netbios.substr(0, 15)), WString(domain.data()));
#endif

  // GetUserNameW's own size rule counts the terminator both ways.
  WCHAR shortName[1] = {kWideMarker};
  DWORD size = 0;
  EXPECT_FALSE(GetUserNameW(shortName, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(user.size() + 1, size);
  EXPECT_EQ(kWideMarker, shortName[0]);
  EXPECT_TRUE(GetUserNameW(name.data(), &size));
  EXPECT_EQ(user.size() + 1, size);
}

TEST(Tokens, SidsOfNoAccountAreNotMapped) {
  std::vector<BYTE> tokenUser = ProcessTokenUser();
  const auto* own = static_cast<const BYTE*>(SidOf(tokenUser));
  // The own SID with another RID, and with another machine's numbers.
  std::vector<BYTE> unknownRid(own, own + GetLengthSid(const_cast<BYTE*>(own)));
  const DWORD farRid = 0x7FFFFF00;
  std::memcpy(unknownRid.data() + 8 + 16, &farRid, 4);
  std::vector<BYTE> otherMachine(unknownRid.size());
  std::memcpy(otherMachine.data(), own, otherMachine.size());
  const DWORD otherParts[3] = {0x11111111, 0x22222222, 0x33333333};
  std::memcpy(otherMachine.data() + 12, otherParts, sizeof otherParts);
  for (std::vector<BYTE>* sid : {&unknownRid, &otherMachine}) {
    WCHAR name[64], domain[64];
    DWORD nameSize = 64, domainSize = 64;
    SID_NAME_USE use = SidTypeInvalid;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupAccountSidW(nullptr, sid->data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), GetLastError());
  }
}

TEST(Tokens, BadHandlesClassesAndAccessGiveWindowsCodes) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  HANDLE sourceOnly = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY_SOURCE, &sourceOnly));
  HANDLE queried = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  HANDLE syncOnly = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
  ASSERT_NE(nullptr, queried);
  ASSERT_NE(nullptr, syncOnly);

  HANDLE opened = nullptr;
  EXPECT_TRUE(OpenProcessToken(queried, TOKEN_QUERY, &opened));
  EXPECT_TRUE(CloseHandle(opened));

  struct OpenCase {
    const char* what;
    HANDLE process;
    DWORD error;
    const char* wineDiffers;
  } opens[] = {
      {"null", nullptr, ERROR_INVALID_HANDLE, nullptr},
      {"a token", token, ERROR_INVALID_HANDLE, nullptr},
      {"no query access", syncOnly, ERROR_ACCESS_DENIED, "OpenProcessToken does not check the process handle's access"},
  };
  for (const OpenCase& c : opens) {
    SCOPED_TRACE(c.what);
    if (c.wineDiffers != nullptr && WineDiffers(c.wineDiffers)) continue;
    HANDLE out = nullptr;
    SetLastError(kSentinel);
    EXPECT_FALSE(OpenProcessToken(c.process, TOKEN_QUERY, &out));
    EXPECT_EQ(c.error, GetLastError());
  }

  struct QueryCase {
    const char* what;
    HANDLE token;
    int infoClass;
    DWORD error;
  } queries[] = {
      {"a process", GetCurrentProcess(), TokenUser, ERROR_INVALID_HANDLE},
      {"null", nullptr, TokenUser, ERROR_INVALID_HANDLE},
      {"class 0", token, 0, ERROR_INVALID_PARAMETER},
      {"no TOKEN_QUERY", sourceOnly, TokenUser, ERROR_ACCESS_DENIED},
  };
  for (const QueryCase& c : queries) {
    SCOPED_TRACE(c.what);
    BYTE buffer[256];
    DWORD needed = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetTokenInformation(c.token, static_cast<TOKEN_INFORMATION_CLASS>(c.infoClass), buffer,
                                     sizeof buffer, &needed));
    if (c.infoClass == 0 && WineDiffers("GetTokenInformation: an unknown class gives ERROR_INVALID_FUNCTION")) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
      continue;
    }
    EXPECT_EQ(c.error, GetLastError());
  }
  for (HANDLE h : {token, sourceOnly, queried, syncOnly}) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace kvtr::test
