#include "store/store_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "store/data_file_check.h"

namespace zanth {

namespace {

// LMDB forbids opening one environment twice in a process (closing either copy drops the
// other's POSIX locks), so handles on the same shard directory share one Env. Keyed by
// device and inode so that different spellings of a path meet; entries are weak so the last
// handle still closes the environment.
struct EnvRegistry {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Env>> open;
  pid_t pid = getpid();
};

EnvRegistry& Registry() {
  static EnvRegistry* registry = [] {
    auto* r = new EnvRegistry();  // never destroyed: environments may outlive static teardown
    pthread_atfork([] { Registry().mutex.lock(); }, [] { Registry().mutex.unlock(); },
                   [] {
                     EnvRegistry& child = Registry();
                     child.mutex.unlock();
                     // The parent's environments are not ours to share or close.
                     for (auto& entry : child.open) {
                       if (auto env = entry.second.lock()) new std::shared_ptr<Env>(env);
                     }
                     child.open.clear();
                     child.pid = getpid();
                   });
    return r;
  }();
  return *registry;
}

// mkdir -p with mode 0777 before the umask; existing directories are fine.
Status MakeDirectories(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::Io(0, "the path contains a NUL character");
  }
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return Status::Io(errno, "creating directory " + prefix);
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Status::Io(errno, "stat " + path);
  if (!S_ISDIR(st.st_mode)) return Status::Io(ENOTDIR, "not a directory: " + path);
  return Status::Ok();
}

// A directory removed while its environment stays open frees its inode number for reuse; a
// new directory with that number must not be served the old, unlinked files.
bool HoldsDataFileOf(const Env& env, const std::string& dir) {
  int fd = -1;
  struct stat held, on_disk;
  if (mdb_env_get_fd(env.get(), &fd) != 0 || fstat(fd, &held) != 0) return false;
  if (stat((dir + "/data.mdb").c_str(), &on_disk) != 0) return false;
  return held.st_dev == on_disk.st_dev && held.st_ino == on_disk.st_ino;
}

// LMDB writes its lock file through a shared map, and a page that the file system cannot back
// then kills the process with SIGBUS instead of failing the open. So the file's blocks are
// reserved before LMDB maps it: a new lock file that does not fit fails the open with ENOSPC.
// Only a file of 0 bytes or of LMDB's size is touched, and its contents never: blocks are
// allocated in place, so a file that another process has mapped reads as before. An existing
// file whose holes do not fit is left to LMDB as it is (it has opened before; refusing would
// stop reads that need no new page).
Status ReserveLockFile(const std::string& dir) {
  const std::string path = dir + "/lock.mdb";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) return Status::Ok();  // LMDB opens it itself, and reports what fails
  struct stat st;
  int err = 0;
  const bool sized = fstat(fd, &st) == 0 && (st.st_size == 0 || st.st_size == kLockFileBytes);
  if (sized && st.st_blocks * 512L < kLockFileBytes) {
    // fallocate itself, not posix_fallocate: where the file system cannot reserve blocks,
    // glibc's stand-in writes a byte into each block, which could undo another process's
    // write to a mapped lock file. Such a file system is left to LMDB (EOPNOTSUPP).
    err = fallocate(fd, 0, 0, kLockFileBytes) == 0 ? 0 : errno;
    // A new file grown without all its blocks would pass the next open's check.
    if (err != 0 && st.st_size == 0) (void)ftruncate(fd, 0);
  }
  // Closing drops this process's locks on the file, none of which an environment not yet
  // opened here holds.
  close(fd);
  if ((err == ENOSPC || err == EDQUOT) && st.st_size == 0) {
    return Status::Io(err, path + ": no room for the lock file (" +
                               std::to_string(kLockFileBytes) + " bytes) on its disk");
  }
  return Status::Ok();
}

// The room a new data file needs for its first pages (the two meta pages and the first
// commits'): a creation that runs out of it would leave a file of a page or two that no later
// open can tell from one cut short.
constexpr std::uint64_t kNewDataFileRoom = 256 * 1024;

Status CheckRoomForNewDataFile(const std::string& dir) {
  struct stat st;
  if (stat((dir + "/data.mdb").c_str(), &st) == 0 || errno != ENOENT) return Status::Ok();
  struct statvfs fs;
  // A file system that gives no size (some report 0 blocks) is left to LMDB.
  if (statvfs(dir.c_str(), &fs) != 0 || fs.f_blocks == 0) return Status::Ok();
  const std::uint64_t free = std::uint64_t{fs.f_bavail} * fs.f_frsize;
  if (free >= kNewDataFileRoom) return Status::Ok();
  return Status::Io(ENOSPC, dir + "/data.mdb: no room to create the shard's data file (" +
                                std::to_string(free) + " bytes free on its disk)");
}

Result<std::shared_ptr<Env>> OpenEnv(const std::string& dir, std::uint64_t map_size) {
  if (Status s = CheckDataFileNotEmpty(dir); !s.ok()) return s;
  if (Status s = ReserveLockFile(dir); !s.ok()) return s;
  if (Status s = CheckRoomForNewDataFile(dir); !s.ok()) return s;
  MDB_env* raw = nullptr;
  int rc = mdb_env_create(&raw);
  if (rc != 0) return Status::Lmdb(rc, "mdb_env_create " + dir);
  auto fail = [&](int code, const char* step) {
    mdb_env_close(raw);
    return Status::Lmdb(code, std::string(step) + " " + dir);
  };
  if ((rc = mdb_env_set_maxreaders(raw, kMaxReaders)) != 0) return fail(rc, "set_maxreaders");
  if ((rc = mdb_env_set_maxdbs(raw, kMaxNamedDatabases)) != 0) return fail(rc, "set_maxdbs");
  if ((rc = mdb_env_set_mapsize(raw, static_cast<std::size_t>(map_size))) != 0) {
    return fail(rc, "set_mapsize");
  }
  if ((rc = mdb_env_open(raw, dir.c_str(), kEnvFlags, kFileMode)) != 0) {
    return fail(rc, "mdb_env_open");
  }
  if (int max_key = mdb_env_get_maxkeysize(raw); max_key < static_cast<int>(kLmdbMaxKeyBytes)) {
    return fail(MDB_BAD_VALSIZE, ("keys of this LMDB build are limited to " +
                                  std::to_string(max_key) + " bytes:").c_str());
  }
  if (Status s = CheckDataFileCoversPages(raw, dir); !s.ok()) {
    mdb_env_close(raw);
    return s;
  }
  // Reader slots of crashed processes would otherwise pin old pages forever.
  int dead = 0;
  mdb_reader_check(raw, &dead);

  MDB_txn* txn = nullptr;
  MDB_dbi dbi = 0;
  if ((rc = mdb_txn_begin(raw, nullptr, MDB_RDONLY, &txn)) != 0) return fail(rc, "dbi txn");
  if ((rc = mdb_dbi_open(txn, nullptr, 0, &dbi)) != 0) {
    mdb_txn_abort(txn);
    return fail(rc, "mdb_dbi_open");
  }
  // The store sets no flags on its database. Any that the meta page names (integer keys,
  // duplicates, reversed order) would make every lookup and scan read the keys another way
  // and quietly miss records: only damage sets them.
  unsigned int flags = 0;
  if ((rc = mdb_dbi_flags(txn, dbi, &flags)) != 0) {
    mdb_txn_abort(txn);
    return fail(rc, "mdb_dbi_flags");
  }
  if (flags != 0) {
    mdb_txn_abort(txn);
    mdb_env_close(raw);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", flags);
    return Status::Io(0, dir + "/data.mdb: its meta page gives the database the flags " + hex +
                             ", which this store never sets: the file is damaged");
  }
  if ((rc = mdb_txn_commit(txn)) != 0) return fail(rc, "dbi commit");
  return std::make_shared<Env>(raw, dbi);
}

}  // namespace

bool Env::AdoptGrownMap() const {
  // Bounded: a transaction of the calling thread itself would otherwise wait forever.
  std::unique_lock<std::shared_timed_mutex> exclusive(map_lock_, std::defer_lock);
  if (!exclusive.try_lock_for(kMapResizeWait)) return false;
  return mdb_env_set_mapsize(env_, 0) == 0;
}

bool Env::GrowMapTo(std::size_t bytes) const {
  std::unique_lock<std::shared_timed_mutex> exclusive(map_lock_, std::defer_lock);
  if (!exclusive.try_lock_for(kMapResizeWait)) return false;
  MDB_envinfo info;
  if (mdb_env_info(env_, &info) != 0) return false;
  if (info.me_mapsize >= bytes) return true;
  return mdb_env_set_mapsize(env_, bytes) == 0;
}

int Env::Stat(MDB_stat* stat) const {
  std::shared_lock<std::shared_timed_mutex> hold(map_lock_);
  return mdb_env_stat(env_, stat);
}

std::size_t Env::MapSize() const {
  std::shared_lock<std::shared_timed_mutex> hold(map_lock_);
  MDB_envinfo info;
  return mdb_env_info(env_, &info) == 0 ? info.me_mapsize : 0;
}

Env::~Env() {
  // Closing in a forked child would tear down the parent's reader slots and locks.
  if (!env_ || owner_pid_ != getpid()) return;
  // Under the registry lock, so that no Open() of the same directory starts a second
  // environment while this one is still closing (its close would drop the new one's locks).
  std::lock_guard<std::mutex> guard(Registry().mutex);
  mdb_env_close(env_);
}

namespace {

bool IsDirectory(const std::string& parent, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return false;
  struct stat st;
  return stat((parent + "/" + entry.d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct ShardEntry {
  std::uint64_t shard;
  bool directory;  // a directory, or a symbolic link to one
};

// The `shard_<n>` entries under `base_path` (canonical decimal only). A missing base_path has
// none.
std::vector<ShardEntry> ShardEntriesOn(const std::string& base_path) {
  std::vector<ShardEntry> found;
  DIR* dir = opendir(base_path.c_str());
  if (!dir) return found;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with("shard_")) continue;
    std::string_view digits = name.substr(6);
    if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == '0')) continue;
    std::uint64_t n = 0;
    bool numeric = true;
    for (char c : digits) {
      if (c < '0' || c > '9') numeric = false;
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (numeric) found.push_back({n, IsDirectory(base_path, *entry)});
  }
  closedir(dir);
  return found;
}

bool HoldsRecords(const Env& env) {
  MDB_stat stat;
  return env.Stat(&stat) == 0 && stat.ms_entries > 0;
}

}  // namespace

Result<std::shared_ptr<const StoreHandle>> StoreHandle::Open(const std::string& base_path,
                                                             std::uint64_t num_shards,
                                                             std::uint64_t map_size) {
  // Nothing on disk records the shard count, but the directories tell it. Records live in the
  // shard their id routes to under the count they were written with, so another count would
  // hide most of them and resurrect deleted ones on the next reopen with the right count.
  // Only directories are shards: any other file named like one is not counted, but one in the
  // place of a shard this count needs fails that shard's opening ("Not a directory").
  std::vector<std::uint64_t> existing;
  std::optional<std::uint64_t> highest;
  for (const ShardEntry& entry : ShardEntriesOn(base_path)) {
    if (entry.directory) highest = std::max(highest.value_or(0), entry.shard);
    if (entry.shard < num_shards) existing.push_back(entry.shard);
  }
  if (highest && *highest >= num_shards) {
    return Status::InvalidArgument(
        "the store at " + base_path + " has a directory shard_" + std::to_string(*highest) +
        ", so it was made with at least " + std::to_string(*highest + 1) +
        " shards, but it is being opened with num_shards=" + std::to_string(num_shards));
  }
  // Declared before the registry lock: a failed open releases its environments after the
  // lock is given back, since ~Env takes it too.
  std::shared_ptr<StoreHandle> store(new StoreHandle());
  std::map<std::uint64_t, std::shared_ptr<Env>> present;  // shard directories already there
  store->owner_pid_ = getpid();
  store->environments_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(num_shards, 4096)));
  EnvRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  // Entries of closed environments go: each would keep its environment's memory (allocated
  // with the count of its weak pointers) for the life of the process.
  std::erase_if(registry.open, [](const auto& entry) { return entry.second.expired(); });
  auto open_shard = [&](std::uint64_t i, std::shared_ptr<Env>* out) -> Status {
    std::string dir = base_path + "/shard_" + std::to_string(i);
    if (Status s = MakeDirectories(dir); !s.ok()) return s;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return Status::Io(errno, "stat " + dir);
    auto id = std::make_pair(st.st_dev, st.st_ino);
    std::shared_ptr<Env> env;
    if (auto it = registry.open.find(id); it != registry.open.end()) env = it->second.lock();
    if (env && !HoldsDataFileOf(*env, dir)) env.reset();
    if (env) {
      // Shared with an earlier handle, which may have been opened with a smaller map (a
      // reopen with a larger map_size is how a full store is given room).
      if (env->MapSize() < map_size && !env->GrowMapTo(static_cast<std::size_t>(map_size))) {
        return Status::Lmdb(MDB_MAP_RESIZED, LmdbStep::kOther,
                            "growing the map of " + dir + " while transactions stay open");
      }
    } else {
      auto opened = OpenEnv(dir, map_size);
      if (!opened.ok()) return opened.status();
      env = opened.take();
      registry.open[id] = env;
    }
    *out = std::move(env);
    return Status::Ok();
  };
  // Shards that exist are opened first, so that a store missing some of its directories is
  // refused before any new directory changes its layout. A constructor interrupted before any
  // record was written leaves empty shards only, and those may be completed.
  // A shard directory that still has the lock file LMDB makes beside its data file, but not the
  // data file, lost that file: when another shard holds records, opening would make the shard
  // new and empty and hide that its records are gone. An empty directory is a shard not made
  // yet (or emptied on purpose).
  bool any_records = false;
  std::vector<std::uint64_t> without_file;
  for (std::uint64_t i : existing) {
    std::string dir = base_path + "/shard_" + std::to_string(i);
    struct stat st;
    if (stat((dir + "/data.mdb").c_str(), &st) != 0 && errno == ENOENT &&
        stat((dir + "/lock.mdb").c_str(), &st) == 0) {
      without_file.push_back(i);
      continue;
    }
    if (Status s = open_shard(i, &present[i]); !s.ok()) return s;
    any_records = any_records || HoldsRecords(*present[i]);
  }
  if (any_records && !without_file.empty()) {
    return Status::Io(0, base_path + "/shard_" + std::to_string(without_file.front()) +
                                  "/data.mdb is missing while other shards hold records: the "
                                  "shard's records are gone, and opening it would make it a new, "
                                  "empty shard. Restore the file, or, to go on without its "
                                  "records, empty the shard's directory");
  }
  if (any_records && present.size() + without_file.size() < num_shards) {
    return Status::InvalidArgument(
        "the store at " + base_path + " holds records, but " +
        std::to_string(num_shards - present.size()) + " of the shard directories for num_shards=" +
        std::to_string(num_shards) + " are missing: open it with the shard count it was made with");
  }
  for (std::uint64_t i = 0; i < num_shards; ++i) {
    std::shared_ptr<Env> env;
    if (auto it = present.find(i); it != present.end()) {
      env = std::move(it->second);
    } else if (Status s = open_shard(i, &env); !s.ok()) {
      return s;
    }
    store->environments_.push_back(std::move(env));
  }
  return std::shared_ptr<const StoreHandle>(std::move(store));
}

Status StoreHandle::CheckProcess() const {
  if (owner_pid_ == getpid()) return Status::Ok();
  return Status::WrongProcess(
      "this store handle was opened in another process (before fork()); LMDB environments cannot "
      "be used across fork(): open the store anew in this process");
}

}  // namespace zanth
