// The emulated registry: an in-memory tree of keys with their values, the
// table of open handles, and persistence of the tree to the prefix's files:
// "registry.reg", a .reg snapshot of the whole machine, and
// "registry.journal" beside it, the changes made since, appended one record
// a change (registry_journal.cc). Used by registry_api.cc (the Reg*
// functions) and registry_file.cc.
//
// Keys compare by name without regard to case and enumerate in the order of
// their upper-cased names, as on Windows; values keep creation order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "layer.h"
#include "win32_types.h"

namespace kvtr::posix {

struct NoCaseLess {
  bool operator()(const WString& a, const WString& b) const noexcept { return CompareNoCase(a, b) < 0; }
};

struct RegValue {
  WString name;  // empty for the default value
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegKey {
  WString name;
  std::weak_ptr<RegKey> parent;  // empty for a root and a deleted key
  std::map<WString, std::shared_ptr<RegKey>, NoCaseLess> children;
  std::vector<RegValue> values;
  WString keyClass;  // given when the key was created; usually empty
  bool deleted = false;
  bool isVolatile = false;
  DWORD deniedRights = 0;  // emulation control: rights that opening may not grant
  FILETIME lastWrite{0, 0};

  RegValue* FindValue(WStringView valueName);
  WString Path() const;  // below its root, '\'-separated
  RegKey* TopRoot();      // the root this key hangs from (itself for a root)
};

// The roots this machine persists. HKEY_CLASSES_ROOT is a view of
// HKLM\Software\Classes.
enum class RootId { kLocalMachine, kCurrentUser, kUsers, kCount };
const char* RootName(RootId root);

struct OpenHandle {
  std::shared_ptr<RegKey> key;
  REGSAM granted = 0;
};

// Identity of one version of the registry file. Every save writes a new
// file and renames it into place, so a new version has a new inode; the
// tree keeps the version it loaded open, so that inode cannot be reused.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  uint64_t modified = 0;  // nanoseconds
  bool operator==(const FileIdentity&) const = default;
};

class RegistryTree {
 public:
  // All registry state is guarded by this one lock.
  std::recursive_mutex& lock() { return lock_; }

  // One change of the tree, from the first look at it to the save: holds
  // the tree's lock and the prefix's registry lock ("<prefix>/registry.lock",
  // flocked), and brings the tree up to date with the file first, so the
  // change applies to the latest version and no other process's change is
  // overwritten. Changes nest.
  // The registry lock for one scope; see LockFile.
  class FileLock {
   public:
    explicit FileLock(RegistryTree& tree) : tree_(tree) { tree_.LockFile(); }
    ~FileLock() { tree_.UnlockFile(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

   private:
    RegistryTree& tree_;
  };

  class Change {
   public:
    explicit Change(RegistryTree& tree);
    ~Change();
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

   private:
    RegistryTree& tree_;
    std::lock_guard<std::recursive_mutex> hold_;
    FileLock file_;  // released also when bringing the tree up to date throws
  };

  // Brings the tree up to date with the prefix's files (two stats): loads
  // the snapshot and its journal when nothing is loaded or the snapshot was
  // replaced since it was read or written here, and applies the records
  // another process appended to the journal since.
  void Refresh();
  void Forget();  // drop everything; the next call loads afresh
  // Writes the whole tree as a new snapshot (a temporary file of this
  // process, flushed to disk, then renamed into place) and removes the
  // journal. Only within a Change that holds the registry lock, and only
  // over a machine that was read: false otherwise, leaving the files alone.
  bool Save();
  // Appends one change, .reg delta text (sections, value lines), to the
  // journal; compacts (Save) when the journal has grown larger than the
  // snapshot. Same conditions as Save. On false the record may lie
  // half-written at the journal's end, where every reader ignores it and
  // the next writer cuts it off.
  bool Journal(const std::string& body);

  std::shared_ptr<RegKey> Root(RootId root);
  // The root as loaded, without looking at the file (for loading and saving).
  std::shared_ptr<RegKey> LoadedRoot(RootId root) { return roots_[static_cast<int>(root)]; }

  // Key behind a handle (predefined or opened). Null for an unknown handle.
  // `granted` receives the handle's access.
  std::shared_ptr<RegKey> Resolve(HKEY handle, REGSAM* granted);
  HKEY AddHandle(std::shared_ptr<RegKey> key, REGSAM granted);
  bool CloseHandle(HKEY handle);

  // Descends `path` ('\'-separated, relative) from `from`. Null when a
  // component is missing.
  static std::shared_ptr<RegKey> Find(const std::shared_ptr<RegKey>& from, WStringView path);

  void ClearDenials();

  // The size of the snapshot loaded or written last.
  uint64_t SnapshotSize() const { return identity_.size; }

  // An empty string for building a journal record, whose room is kept from
  // one change to the next (a Perflib list's record is megabytes).
  std::string& RecordBuffer() {
    record_.clear();
    return record_;
  }

 private:
  void LoadLocked();
  // The snapshot and its journal, as one version of the machine.
  void ReadMachineLocked(const std::string& path);
  // Replaces the roots with the content of the file at `path` (a new
  // machine when there is none); loaded_ tells whether that worked.
  void ReadFileLocked(const std::string& path);
  // Applies the journal's records not applied yet (all of them when none
  // is open) and pins the journal.
  void ReadJournal();
  bool WriteNewJournal(const std::string& text);
  // A new file of this process beside `path`, for writing; its name in
  // `temporary`.
  UniqueFd CreateTemporary(const std::string& path, std::string& temporary);
  // The registry lock, counted so that changes nest; false when it could
  // not be taken. When it throws (memory), nothing was taken or counted.
  bool LockFile();
  void UnlockFile();
  void Unpin();

  std::recursive_mutex lock_;
  // True when the tree holds the file's content (or the new machine's,
  // saved); false before the first load and when the file was unreadable.
  bool loaded_ = false;
  std::shared_ptr<RegKey> roots_[static_cast<int>(RootId::kCount)];
  std::map<uintptr_t, OpenHandle> handles_;
  uintptr_t nextHandle_ = 0x1000;
  // The version of the file last read or written, and a descriptor of it
  // that keeps its inode from being reused.
  FileIdentity identity_;
  UniqueFd pinned_;
  std::string token_;  // names the loaded snapshot; its journal names it too
  // The journal as far as it was read here: the file (pinned), the bytes of
  // its header and whole records applied, the next record's number. A
  // journal of another snapshot (`foreign`) is ignored and, at the next
  // change, replaced.
  struct JournalState {
    UniqueFd fd;
    FileIdentity identity;
    uint64_t applied = 0;
    uint64_t nextSequence = 1;
    bool foreign = false;
  } journal_;
  UniqueFd lockFile_;
  int lockDepth_ = 0;
  unsigned temporaries_ = 0;  // numbers this process's temporary files
  std::string record_;
};

RegistryTree& Registry();

// Windows' limit: a key lies at most this many levels below its root hive.
inline constexpr size_t kMaxKeyDepth = 512;

// Splits a registry path at '\'. Empty components are skipped.
std::vector<WString> SplitKeyPath(WStringView path);

FILETIME CurrentFileTime();

// An empty root key named as the hive (HKEY_LOCAL_MACHINE, ...).
std::shared_ptr<RegKey> NewRoot(RootId root);
// The child `name` of `parent`, made (written now) when it is missing.
std::shared_ptr<RegKey> ChildKey(const std::shared_ptr<RegKey>& parent, const WString& name);
// The key `path` below `from`, made with its missing ancestors.
std::shared_ptr<RegKey> EnsureKeyPath(const std::shared_ptr<RegKey>& from, WStringView path);

// .reg text of the persisted roots, and the reverse (registry_file.cc).
// `token` (if any) names the snapshot in a comment after the header.
std::string SerializeRegistry(RegistryTree& tree, const std::string& token = std::string());
// The same bytes through `write`, a chunk at a time, so that the text of a
// large machine is never whole in memory. When a name needs the file to be
// UTF-16, `restart` is called to drop what was written and the bytes come
// again from the start. False when `write` or `restart` failed.
bool WriteSnapshot(RegistryTree& tree, const std::string& token, const std::function<bool()>& restart,
                   const std::function<bool(std::string_view)>& write);
// The token a snapshot's text names; empty when it names none.
std::string SnapshotToken(std::string_view raw);
struct RegImportResult {
  bool ok = true;
  int line = 0;  // first line that could not be read, 0 when ok
  std::string message;
  bool touchedVolatile = false;  // a section named a volatile key (or one below it)
};
// Applies .reg text to the tree: keys are created, "[-key]" deletes a tree,
// "name"=- deletes a value. With `replace` the tree is emptied first.
// `consumed` (if given) is told from time to time how many bytes of `text`
// the parser is done with, so that a caller reading a mapped file can let
// those pages go.
RegImportResult ImportRegText(RegistryTree& tree, std::string_view text, bool replace,
                              const std::function<void(size_t)>& consumed = nullptr);
std::string ExportRegText(RegistryTree& tree, RootId root, const std::shared_ptr<RegKey>& key);

// .reg delta text for journal records: a key's section line ("[-...]" with
// `remove`); its class line (none when it has no class); a value's line; a
// value's removal ("name"=-).
void AppendKeySection(std::string& out, RegKey& key, bool remove);
void AppendClassLine(std::string& out, const RegKey& key);
void AppendValueLine(std::string& out, const RegValue& value);
void AppendValueRemoval(std::string& out, WStringView name);
// Applies delta text without a header (a journal record's body).
RegImportResult ApplyRegDelta(RegistryTree& tree, std::string_view text);

// The journal's format (registry_journal.cc).
std::string JournalHeader(const std::string& token);
std::string JournalRecord(uint64_t sequence, const std::string& body);
// The lines a record's body is written between (the record is head, body,
// end), so that a large body is written where it lies.
struct JournalFrame {
  std::string head, end;
};
JournalFrame FrameRecord(uint64_t sequence, std::string_view body);
struct JournalScan {
  bool headerOk = false;      // the text starts with a header
  std::string token;          // the snapshot the header names
  size_t end = 0;             // after the header and the last whole record
  uint64_t nextSequence = 1;  // the number the next record must carry
  std::vector<std::string_view> bodies;  // of the whole records, in order
};
// Reads `text`, the journal from byte `offset` on (0: the whole file with
// its header), taking records numbered from `sequence`. A record that is
// cut short, or whose checksum or number is wrong, ends the scan: it and
// everything after it are ignored.
JournalScan ScanJournal(std::string_view text, size_t offset, uint64_t sequence);

}  // namespace kvtr::posix
