// The real rsyslog the test run starts on loopback (KVTR_SYSLOG_DIR names
// its folder): its ports and what it received, for the logger's tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace kvtr::logger {

// The server's folder as this program names it.
inline std::string ServerFile(const char* name) {
  const char* const dir = std::getenv("KVTR_SYSLOG_DIR");
  if (dir == nullptr) return std::string();
#ifdef _WIN32
  return std::string("Z:") + dir + "\\" + name;  // Wine's drive Z: is the host's root
#else
  return std::string(dir) + "/" + name;
#endif
}

inline std::string ReadServerFile(const char* name) {
  std::ifstream in(ServerFile(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// "127.0.0.1:UDP,127.0.0.1:TCP/tcp" for the running server.
inline std::string ServerList() {
  std::istringstream ports(ReadServerFile("ports"));
  int udp = 0, tcp = 0;
  ports >> udp >> tcp;
  return "127.0.0.1:" + std::to_string(udp) + ",127.0.0.1:" + std::to_string(tcp) + "/tcp";
}

// The received lines that hold `tag`.
inline std::vector<std::string> Received(const std::string& tag) {
  std::vector<std::string> lines;
  std::istringstream in(ReadServerFile("received.log"));
  for (std::string line; std::getline(in, line);) {
    if (line.find(tag) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// Waits until `count` lines with `tag` have arrived, at most 30 s (a
// loaded machine's server may be slow to write them).
inline std::vector<std::string> AwaitReceived(const std::string& tag, size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 600 && (lines = Received(tag)).size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return lines;
}

inline std::string UniqueTag(const char* what) {
  return std::string("kvtr-") + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount());
}

}  // namespace kvtr::logger
