// POSIX platform layer: the volatile keys of HKEY_LOCAL_MACHINE\HARDWARE
// that describe the host's processor, as Windows builds them at boot:
// DESCRIPTION\System\CentralProcessor\0 with "Identifier",
// "VendorIdentifier", "ProcessorNameString" (REG_SZ) and "~MHz"
// (REG_DWORD). The facts come from /proc/cpuinfo (the first processor's
// block) and, for the speed, the processor's nominal maximum from cpufreq
// when the host has it, else the current "cpu MHz". A fact the host does
// not give is left out rather than invented. The keys are volatile: they
// never reach the registry file.
#include <sys/utsname.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "registry_tree.h"

namespace kvtr::posix {
namespace {

struct ProcessorFacts {
  std::string identifier;
  std::string vendor;
  std::string name;
  DWORD megahertz = 0;
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

ProcessorFacts ReadProcessorFacts() {
  ProcessorFacts facts;
  std::string family, model, stepping, cpuMhz;
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (Trim(line).empty()) break;  // the first processor's block ends
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, colon));
    const std::string value = Trim(line.substr(colon + 1));
    if (key == "vendor_id") facts.vendor = value;
    else if (key == "model name") facts.name = value;
    else if (key == "cpu family") family = value;
    else if (key == "model") model = value;
    else if (key == "stepping") stepping = value;
    else if (key == "cpu MHz") cpuMhz = value;
    else if (key == "CPU implementer" && facts.vendor.empty()) facts.vendor = value;
  }
  utsname host{};
  const std::string machine = uname(&host) == 0 ? host.machine : "";
  if (!family.empty() && !model.empty()) {
    // Windows' form: "Intel64 Family 6 Model 85 Stepping 7" (AMD64 for AMD).
    const std::string architecture =
        machine == "x86_64" ? (facts.vendor == "AuthenticAMD" ? "AMD64" : "Intel64") : "x86";
    facts.identifier = architecture + " Family " + family + " Model " + model;
    if (!stepping.empty()) facts.identifier += " Stepping " + stepping;
  } else {
    facts.identifier = machine;
  }
  std::ifstream maximum("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
  unsigned long kilohertz = 0;
  if (maximum >> kilohertz && kilohertz > 0) {
    facts.megahertz = static_cast<DWORD>((kilohertz + 500) / 1000);
  } else if (!cpuMhz.empty()) {
    facts.megahertz = static_cast<DWORD>(std::lround(std::strtod(cpuMhz.c_str(), nullptr)));
  }
  return facts;
}

const ProcessorFacts& Processor() {
  static const ProcessorFacts facts = ReadProcessorFacts();
  return facts;
}

// A volatile child, made when missing.
std::shared_ptr<RegKey> VolatileChild(const std::shared_ptr<RegKey>& parent, const WString& name) {
  const bool existed = parent->children.count(name) != 0;
  std::shared_ptr<RegKey> child = ChildKey(parent, name);
  if (!existed) child->isVolatile = true;
  return child;
}

void SetValue(RegKey& key, const WString& name, DWORD type, const void* data, size_t size) {
  RegValue* value = key.FindValue(name);
  if (value == nullptr) {
    key.values.push_back(RegValue{name, type, {}});
    value = &key.values.back();
  }
  value->type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  value->data.assign(bytes, bytes + size);
}

void SetString(RegKey& key, const wchar* name, const std::string& text) {
  if (text.empty()) return;
  const WString wide = Utf8ToUtf16(text);
  SetValue(key, name, REG_SZ, wide.c_str(), (wide.size() + 1) * sizeof(wchar));
}

}  // namespace

void AddHardwareKeys(const std::shared_ptr<RegKey>& localMachine) {
  std::shared_ptr<RegKey> key = localMachine;
  for (const wchar* part : {W("HARDWARE"), W("DESCRIPTION"), W("System"), W("CentralProcessor"), W("0")}) {
    key = VolatileChild(key, part);
  }
  const ProcessorFacts& facts = Processor();
  SetString(*key, W("Identifier"), facts.identifier);
  SetString(*key, W("VendorIdentifier"), facts.vendor);
  SetString(*key, W("ProcessorNameString"), facts.name);
  if (facts.megahertz != 0) SetValue(*key, W("~MHz"), REG_DWORD, &facts.megahertz, sizeof facts.megahertz);
}

}  // namespace kvtr::posix
