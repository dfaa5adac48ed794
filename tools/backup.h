// The backup kvtr-setup writes before an export that edits shared state: the
// keys the exports may change, read through the registry API, as a .reg
// file that puts them back when regedit, `reg import` or
// `kvtr-setup reg import` imports it.
#pragma once

#include <string>

#include "tools/reg_model.h"

namespace kvtr::setup {

// `service` is uninstall-old-counters' service (empty for the other
// exports). The shared lists (autorecover list, Perflib, SharedDLLs) and
// the installer components are written as values over what is there then;
// the keys an export deletes whole (COM classes, the legacy services'
// Performance keys) are removed first and written whole, or only removed
// when they did not exist. False with `error` when a key cannot be read.
bool BackupText(const WString& service, std::string& text, std::string& error);

// Writes the backup to `file`; false with `error` when it cannot.
bool WriteBackup(const std::string& file, const WString& service, std::string& error);

}  // namespace kvtr::setup
