// POSIX platform layer: the registry's store, "<prefix>/registry.reg" (the
// snapshot) and "<prefix>/registry.journal": loading, the journal of
// changes, the lock that serialises processes, and compaction. The tree and
// its handles are in registry_tree.cc.
//
// A change appends a record to the journal; a process killed at any moment
// leaves at most its last record cut short, which every reader ignores.
// When the journal has grown larger than the snapshot (and past
// kMinCompactBytes), the change's process compacts: it writes a new
// snapshot with a new token, flushed to disk, renames it into place and
// then removes the journal. Killed between the rename and the removal, it
// leaves a journal naming the old token, which no reader applies.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "emulation.h"
#include "file_io.h"
#include "registry_seed.h"
#include "registry_tree.h"

namespace kvtr::posix {
namespace {

constexpr const char* kRegistryFile = "/registry.reg";
constexpr const char* kJournalFile = "/registry.journal";
constexpr const char* kLockFile = "/registry.lock";
constexpr uint64_t kMinCompactBytes = 256 * 1024;

std::string RegistryFilePath() { return PrefixDirectory() + kRegistryFile; }
std::string JournalPath() { return PrefixDirectory() + kJournalFile; }

bool SameFile(const FileIdentity& a, const FileIdentity& b) { return a.device == b.device && a.inode == b.inode; }

// A name no other snapshot has had: the time, the process and a count.
std::string NewToken() {
  static unsigned counter = 0;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char token[64];
  std::snprintf(token, sizeof token, "%llx-%d-%u",
                static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                static_cast<int>(getpid()), ++counter);
  return token;
}

// The crash the emulation control asked for: half of `bytes` reach the file
// at `offset`, then the process dies.
[[noreturn]] void DieHalfWritten(int fd, off_t offset, std::string_view bytes) {
  const ssize_t put = pwrite(fd, bytes.data(), bytes.size() / 2, offset);
  (void)put;
  DieMidWrite();
}

// WriteAllAt, unless the emulation control asked for a crash in this write.
bool WriteAt(int fd, uint64_t offset, std::initializer_list<std::string_view> pieces) {
  if (KillInThisWrite()) {
    std::string whole;
    for (std::string_view piece : pieces) whole += piece;
    DieHalfWritten(fd, static_cast<off_t>(offset), whole);
  }
  return WriteAllAt(fd, offset, pieces);
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  identity.size = static_cast<uint64_t>(info.st_size);
  identity.modified = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u + info.st_mtim.tv_nsec;
  return identity;
}

// The identity of the file at `path`; all zero when there is none.
FileIdentity PathIdentity(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return FileIdentity{};
  return IdentityOf(info);
}

bool DescriptorIdentity(int fd, FileIdentity* identity) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  *identity = IdentityOf(info);
  return true;
}

// A registry file mapped for reading. Saves never change a file in place
// (each writes a new file and renames it), so the mapping stays whole.
class MappedFile {
 public:
  explicit MappedFile(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size <= 0) return;
    void* const base = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<char*>(base);
    size_ = static_cast<size_t>(info.st_size);
  }
  ~MappedFile() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool ok() const { return base_ != nullptr; }
  std::string_view text() const { return std::string_view(base_, size_); }
  // Lets the pages before `offset` go; touching them again reads the file.
  void Release(size_t offset) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t end = offset / page * page;
    if (end > released_) madvise(base_ + released_, end - released_, MADV_DONTNEED);
    if (end > released_) released_ = end;
  }

 private:
  char* base_ = nullptr;
  size_t size_ = 0;
  size_t released_ = 0;
};

// WriteAll, unless the emulation control asked for a crash in this write.
bool WriteWhole(int fd, std::string_view text) {
  if (KillInThisWrite()) DieHalfWritten(fd, lseek(fd, 0, SEEK_CUR), text);
  return WriteAll(fd, text);
}

}  // namespace

void RegistryTree::Forget() {
  // Open handles keep their keys but lose them on the next load.
  loaded_ = false;
  identity_ = FileIdentity{};
  Unpin();
  token_.clear();
  journal_ = JournalState{};
}

void RegistryTree::Unpin() { pinned_.reset(); }

RegistryTree::Change::Change(RegistryTree& tree) : tree_(tree), hold_(tree.lock()), file_(tree) { tree_.Refresh(); }

RegistryTree::Change::~Change() = default;

bool RegistryTree::LockFile() {
  if (lockDepth_ > 0) {
    ++lockDepth_;
    return static_cast<bool>(lockFile_);
  }
  // Opened for each change, not kept: a descriptor inherited through fork
  // would share its lock with the child.
  const std::string path = PrefixDirectory() + kLockFile;
  ++lockDepth_;
  lockFile_.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lockFile_) return false;
  while (flock(lockFile_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      lockFile_.reset();
      return false;
    }
  }
  return true;
}

void RegistryTree::UnlockFile() {
  if (lockDepth_ == 0 || --lockDepth_ > 0) return;
  lockFile_.reset();  // releases the lock
}

void RegistryTree::Refresh() {
  if (loaded_ && PathIdentity(RegistryFilePath()) == identity_) {
    const FileIdentity journal = PathIdentity(JournalPath());
    if (journal.inode == 0 && !journal_.fd) return;  // no journal, as before
    if (journal_.fd && SameFile(journal, journal_.identity)) {
      // The same journal: records are only ever appended (or a cut-short
      // one cut off and written again), so what is new starts where the
      // whole records read here end. A cut-short tail already looked at is
      // not read again until the file changes.
      if (journal.size > journal_.applied && !(journal == journal_.identity)) ReadJournal();
      return;
    }
    if (!journal_.fd) {
      ReadJournal();  // a journal begun since
      return;
    }
  }
  LoadLocked();
}

void RegistryTree::LoadLocked() {
  // Remember where every open handle pointed, so it can follow its key into
  // the new tree.
  std::vector<std::pair<uintptr_t, std::pair<RegKey*, WString>>> bound;
  for (auto& [value, open] : handles_) {
    bound.push_back({value, {open.key->deleted ? nullptr : open.key->TopRoot(), open.key->Path()}});
  }
  RegKey* oldRoots[static_cast<int>(RootId::kCount)];
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
    oldRoots[i] = roots_[i].get();
  }
  std::shared_ptr<RegKey> keepOld[static_cast<int>(RootId::kCount)];
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) keepOld[i] = roots_[i];
  const std::string path = RegistryFilePath();
  ReadMachineLocked(path);
  if (loaded_ && SeedsPending(*this)) {
    // A machine made before some seed existed. The seed is considered under
    // the registry lock, on the file's latest version: another process may
    // have changed the file, or considered the seed itself, since it was
    // read here.
    // Read again whole: the journal too may have grown meanwhile, and the
    // save below folds it.
    FileLock hold(*this);
    ReadMachineLocked(path);
    if (loaded_ && SeedsPending(*this)) {
      ApplyPendingSeeds(*this);
      // When the file cannot be written, the machine has the seeds in
      // memory only and considers them again at its next load.
      Save();
    }
  }

  for (auto& [value, target] : bound) {
    std::shared_ptr<RegKey> rebound;
    for (int i = 0; i < static_cast<int>(RootId::kCount) && target.first != nullptr; ++i) {
      if (oldRoots[i] == target.first) rebound = Find(roots_[i], target.second);
    }
    if (!rebound) {
      rebound = std::make_shared<RegKey>();
      rebound->deleted = true;
    }
    handles_[value].key = rebound;
  }
}

void RegistryTree::ReadMachineLocked(const std::string& path) {
  // A compaction renames its snapshot into place before it removes the
  // journal, so a journal read while the snapshot read is still in place
  // belongs to it (or names another token and is ignored). Under the
  // registry lock nothing moves; without it, a compaction between the two
  // reads is seen here and the machine read again, at last under the lock.
  for (int attempt = 0;; ++attempt) {
    const bool locked = lockDepth_ > 0;
    std::unique_ptr<FileLock> hold;
    if (!locked && attempt == 2) hold = std::make_unique<FileLock>(*this);
    ReadFileLocked(path);
    if (!loaded_) return;
    ReadJournal();
    if (locked || hold || PathIdentity(path) == identity_) return;
  }
}

void RegistryTree::ReadJournal() {
  // A journal that exists but cannot be read leaves the machine unloaded:
  // the next call tries again, and nothing is written over what it holds.
  const auto unreadable = [this](int error) {
    static bool warned = false;
    if (!warned) std::fprintf(stderr, "kvtr: %s cannot be read: %s\n", JournalPath().c_str(), std::strerror(error));
    warned = true;
    loaded_ = false;
  };
  if (!journal_.fd) {
    journal_ = JournalState{};
    UniqueFd fd(open(JournalPath().c_str(), O_RDWR | O_CLOEXEC));
    if (!fd && errno != ENOENT) fd.reset(open(JournalPath().c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      if (errno != ENOENT) unreadable(errno);
      return;  // none: the snapshot is the whole machine
    }
    journal_.fd = std::move(fd);
  }
  FileIdentity now;
  if (!DescriptorIdentity(journal_.fd.get(), &now)) return unreadable(errno);
  journal_.identity = now;
  if (now.size == 0) journal_.foreign = true;  // ours always start with their header
  if (now.size <= journal_.applied) return;
  if (journal_.foreign) {
    journal_.applied = now.size;
    return;
  }
  // Read a window at a time, so that a long journal and the whole tree are
  // never resident together; a window grows to hold a record larger than it.
  constexpr size_t kWindow = size_t{8} << 20;
  std::string window;
  size_t want = kWindow;
  while (journal_.applied < now.size) {
    const uint64_t left = now.size - journal_.applied;
    const size_t asked = static_cast<size_t>(std::min<uint64_t>(left, want));
    if (!ReadAt(journal_.fd.get(), journal_.applied, asked, &window)) return unreadable(errno);
    const JournalScan scan = ScanJournal(window, journal_.applied, journal_.nextSequence);
    if (journal_.applied == 0 && (!scan.headerOk || scan.token != token_ || token_.empty())) {
      // Another snapshot's journal, or not one at all: nothing of it
      // applies, and it is looked at again only when it changes.
      journal_.foreign = true;
      journal_.applied = now.size;
      return;
    }
    for (std::string_view body : scan.bodies) {
      const RegImportResult result = ApplyRegDelta(*this, body);
      if (!result.ok) {
        std::fprintf(stderr, "kvtr: %s record %llu: %s\n", JournalPath().c_str(),
                     static_cast<unsigned long long>(journal_.nextSequence), result.message.c_str());
      }
      ++journal_.nextSequence;
    }
    const bool advanced = scan.end > journal_.applied;  // past the header or a record
    journal_.applied = scan.end;
    if (!scan.bodies.empty() || advanced) {
      want = kWindow;
    } else if (window.size() == asked && asked < left) {
      want = 2 * asked;  // a record larger than the window
    } else {
      // The end: a record cut short or still being written, or a tail that
      // another process cut off since the size was taken.
      return;
    }
  }
}

void RegistryTree::ReadFileLocked(const std::string& path) {
  for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) roots_[i] = NewRoot(static_cast<RootId>(i));
  loaded_ = false;
  identity_ = FileIdentity{};
  Unpin();
  token_.clear();
  journal_ = JournalState{};

  // Each version of the file is complete before it is renamed into place,
  // so whatever version is opened here reads whole.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int error = fd ? 0 : errno;
  if (!fd && error == ENOENT) {
    // A new machine. Another process may be making it at the same time:
    // whoever holds the registry lock first writes it, the other reads it.
    FileLock hold(*this);
    fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    error = fd ? 0 : errno;
    if (!fd && error == ENOENT) {
      // The keys every Windows machine has, then the seeds' keys.
      EnsureKeyPath(roots_[0], W("SOFTWARE\\Classes"));
      EnsureKeyPath(roots_[0], W("SOFTWARE\\Microsoft"));
      EnsureKeyPath(roots_[0], W("SYSTEM\\CurrentControlSet\\Services"));
      EnsureKeyPath(roots_[1], W("Software"));
      ApplyPendingSeeds(*this);
      loaded_ = true;
      if (!Save()) loaded_ = false;
    }
  }
  if (fd) {
    FileIdentity identity;
    MappedFile mapped(fd.get());
    std::string text;
    if ((mapped.ok() || ReadAll(fd.get(), &text)) && DescriptorIdentity(fd.get(), &identity)) {
      token_ = SnapshotToken(mapped.ok() ? mapped.text() : std::string_view(text));
      // When reading throws (memory), loaded_ stays false: the next call
      // loads again. A mapped file's pages go as the parser passes them,
      // so the file and the whole tree are never resident together.
      RegImportResult result = mapped.ok() ? ImportRegText(*this, mapped.text(), /*replace=*/false,
                                                           [&mapped](size_t consumed) { mapped.Release(consumed); })
                                           : ImportRegText(*this, text, /*replace=*/false);
      if (!result.ok) {
        std::fprintf(stderr, "kvtr: %s line %d: %s\n", path.c_str(), result.line, result.message.c_str());
      }
      identity_ = identity;
      pinned_ = std::move(fd);
      loaded_ = true;
    } else {
      error = errno;
    }
  }
  if (!loaded_ && error != 0) {
    // Working on without the file's content is possible, writing over it
    // is not: Save refuses until a load succeeds.
    static bool warned = false;
    if (!warned) std::fprintf(stderr, "kvtr: %s cannot be read: %s\n", path.c_str(), std::strerror(error));
    warned = true;
  }
  // The hardware keys are the host's, made afresh with every load.
  AddHardwareKeys(roots_[0]);
}

UniqueFd RegistryTree::CreateTemporary(const std::string& path, std::string& temporary) {
  // A name of this process's own, so no other writer can touch the file
  // before it is complete. One that exists was left by an earlier process
  // with the same id: the next number is taken.
  UniqueFd fd;
  for (int attempt = 0; !fd && attempt < 100; ++attempt) {
    temporary = path + "." + std::to_string(getpid()) + "-" + std::to_string(++temporaries_) + ".tmp";
    fd.reset(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) break;
  }
  return fd;
}

bool RegistryTree::Save() {
  if (!loaded_ || lockDepth_ == 0 || !lockFile_) return false;
  if (InjectedFault("WriteRegistryFile", "persistence") != 0) return false;
  const std::string path = RegistryFilePath();
  const std::string token = NewToken();
  std::string temporary;
  UniqueFd fd = CreateTemporary(path, temporary);
  if (!fd) return false;
  const int out = fd.get();
  const auto restart = [out] { return ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0; };
  const auto write = [out](std::string_view bytes) { return WriteWhole(out, bytes); };
  // On disk before the rename: a machine that loses power keeps the old
  // snapshot or the new one, never a part of one.
  FileIdentity written;
  if (!WriteSnapshot(*this, token, restart, write) || fsync(out) != 0 || !DescriptorIdentity(out, &written) ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    fd.reset();
    unlink(temporary.c_str());
    return false;
  }
  // The snapshot holds every change: the journal goes. Left behind (a
  // process killed here, a prefix that forbids it), it names the old token
  // and is ignored.
  unlink(JournalPath().c_str());
  journal_ = JournalState{};
  token_ = token;
  // The new version stays open, which keeps its inode from being reused.
  Unpin();
  pinned_ = std::move(fd);
  identity_ = written;
  return true;
}

bool RegistryTree::WriteNewJournal(const std::string& text) {
  // Made whole beside the journal and renamed into place, so a reader finds
  // no journal or one with its header.
  const std::string path = JournalPath();
  std::string temporary;
  UniqueFd fd = CreateTemporary(path, temporary);
  if (!fd) return false;
  FileIdentity written;
  if (!WriteWhole(fd.get(), text) || !DescriptorIdentity(fd.get(), &written) ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    fd.reset();
    unlink(temporary.c_str());
    return false;
  }
  journal_ = JournalState{};
  journal_.fd = std::move(fd);
  journal_.identity = written;
  journal_.applied = text.size();
  return true;
}

bool RegistryTree::Journal(const std::string& body) {
  if (!loaded_ || lockDepth_ == 0 || !lockFile_) return false;
  if (InjectedFault("WriteRegistryFile", "persistence") != 0) return false;
  // A snapshot written before snapshots had tokens: rewritten once.
  if (token_.empty()) return Save();
  if (!journal_.fd || journal_.foreign) {
    if (!WriteNewJournal(JournalHeader(token_) + JournalRecord(1, body))) return false;
    journal_.nextSequence = 2;
  } else {
    // Whatever lies past the whole records is a record cut short by a
    // process that was killed: it goes before this one is written.
    FileIdentity now;
    if (!DescriptorIdentity(journal_.fd.get(), &now)) return false;
    if (now.size != journal_.applied && ftruncate(journal_.fd.get(), static_cast<off_t>(journal_.applied)) != 0) {
      return false;
    }
    const JournalFrame frame = FrameRecord(journal_.nextSequence, body);
    if (!WriteAt(journal_.fd.get(), journal_.applied, {frame.head, body, frame.end})) return false;
    journal_.applied += frame.head.size() + body.size() + frame.end.size();
    journal_.identity.size = journal_.applied;
    ++journal_.nextSequence;
  }
  // The change is in the journal; a compaction that fails leaves it there.
  // A journal is read about as fast as the snapshot, so a load reads at
  // most twice the snapshot; a large machine is rewritten only once as
  // much has changed.
  if (journal_.applied > std::max<uint64_t>(kMinCompactBytes, identity_.size)) Save();
  return true;
}

}  // namespace kvtr::posix
