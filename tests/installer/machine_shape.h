// Registry data shaped like a real machine's, for the legacy cleanup tests:
// perflib counter and help lists of several languages and services, and
// Windows Installer component records under more than one user scope.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

// Registry helpers in terms of narrow paths below HKEY_LOCAL_MACHINE.
bool KeyExists(const std::string& path);
void MakeKey(const std::string& path);
void SetDword(const std::string& path, const WCHAR* name, DWORD value);
void SetText(const std::string& path, const WCHAR* name, const WString& text, DWORD type = REG_SZ);
void SetList(const std::string& path, const WCHAR* name, const std::vector<WString>& entries);
// The raw bytes of a value; "<missing>" when it does not exist.
std::string ValueBytes(const std::string& path, const WCHAR* name);
void DeleteKeyTree(const std::string& path);

// One perflib language list: index -> text, in index order.
using PerflibTexts = std::map<DWORD, WString>;

struct PerflibService {
  std::string name;
  DWORD firstCounter, lastCounter, firstHelp, lastHelp;
};

constexpr const char* kPerflibPath = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

// The Perflib key with "Last Counter"/"Last Help" and one subkey per
// language whose "Counter" and "Help" lists hold the header pair ("1" and
// the highest index) and every index/text pair: `systemPairs` system
// objects from index 2 on, then each service's range. Some texts are longer
// than 511 characters. The services' "Performance" keys are made too.
class PerflibShape {
 public:
  PerflibShape(std::vector<std::string> languages, DWORD systemPairs, std::vector<PerflibService> services);

  void Write() const;
  // The list entries of one language as stored ("1", highest, index, text…).
  std::vector<WString> Entries(bool counter, const PerflibTexts& texts) const;
  const PerflibTexts& counters() const { return counters_; }
  const PerflibTexts& help() const { return help_; }
  // The same texts without the indexes from..to.
  static PerflibTexts Without(const PerflibTexts& texts, DWORD from, DWORD to);
  const std::vector<std::string>& languages() const { return languages_; }
  DWORD lastCounter() const { return lastCounter_; }
  DWORD lastHelp() const { return lastHelp_; }
  static std::string ServicePath(const std::string& service);

 private:
  std::vector<std::string> languages_;
  std::vector<PerflibService> services_;
  PerflibTexts counters_;
  PerflibTexts help_;
  DWORD lastCounter_ = 0;
  DWORD lastHelp_ = 0;
};

constexpr const char* kUserDataPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";

// A component record: UserData\<scope>\Components\<component> with one
// value per product naming the installed file.
void AddComponent(const std::string& scope, const std::string& component, const WCHAR* product,
                  const WString& installedPath, DWORD type = REG_SZ);
std::string ComponentPath(const std::string& scope, const std::string& component);

// ---- a machine with the legacy product and other software around it ----
// The setup cycles (through the host, on Linux and under Wine) run on it.
inline constexpr const char* kLegacyRouterComponent = "4E1D6B2A9C3F40A7B5E8D1C2F3A4B5C6";
inline constexpr const char* kLegacyAgentComponent = "7A2B3C4D5E6F40718293A4B5C6D7E8F0";
inline constexpr const char* kLegacyRouterClass = "{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}";
inline constexpr const char* kLegacyAgentClass = "{5D0B9F27-6E13-4A8C-B7F4-2C39E8A1D064}";
inline constexpr const WCHAR kLegacyRouterDll[] = W("C:\\Program Files\\Kestovar\\Zorvanex\\Router\\ZorvaneRouterPerf.dll");
inline constexpr const WCHAR kLegacyAgentDll[] = W("C:\\Windows\\system32\\QMTPerfInfo.dll");
// The service whose perflib names a cycle removes, between two others.
inline const PerflibService kLegacyTargetService{"Zorvane Server", 1102, 1200, 1103, 1201};

// Other software everywhere the cycle looks; the legacy router and agent
// with their components, services, COM classes, SharedDLLs entry and
// files; perflib lists in two languages (009 and 007; 007 and 00C under
// Wine) with three services.
void ShapeLegacyProductMachine();
// The perflib lists ShapeLegacyProductMachine writes.
PerflibShape LegacyMachinePerflib();
// Removes what ShapeLegacyProductMachine made (for a machine that other
// tests share: the Wine prefix).
void RemoveLegacyProductMachine();

}  // namespace kvtr::test
