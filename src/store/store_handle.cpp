#include "store/store_handle.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>

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

Result<std::shared_ptr<Env>> OpenEnv(const std::string& dir, std::uint64_t map_size) {
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
  if ((rc = mdb_txn_commit(txn)) != 0) return fail(rc, "dbi commit");
  return std::make_shared<Env>(raw, dbi);
}

}  // namespace

bool Env::AdoptGrownMap() const {
  // Bounded: a transaction of the calling thread itself would otherwise wait forever.
  std::unique_lock<std::shared_timed_mutex> exclusive(map_lock_, std::defer_lock);
  if (!exclusive.try_lock_for(std::chrono::seconds(5))) return false;
  return mdb_env_set_mapsize(env_, 0) == 0;
}

Env::~Env() {
  // Closing in a forked child would tear down the parent's reader slots and locks.
  if (!env_ || owner_pid_ != getpid()) return;
  // Under the registry lock, so that no Open() of the same directory starts a second
  // environment while this one is still closing (its close would drop the new one's locks).
  std::lock_guard<std::mutex> guard(Registry().mutex);
  mdb_env_close(env_);
}

Result<std::shared_ptr<const StoreHandle>> StoreHandle::Open(const std::string& base_path,
                                                             std::uint64_t num_shards,
                                                             std::uint64_t map_size) {
  // Declared before the registry lock: a failed open releases its environments after the
  // lock is given back, since ~Env takes it too.
  std::shared_ptr<StoreHandle> store(new StoreHandle());
  store->owner_pid_ = getpid();
  store->environments_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(num_shards, 4096)));
  EnvRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (std::uint64_t i = 0; i < num_shards; ++i) {
    std::string dir = base_path + "/shard_" + std::to_string(i);
    if (Status s = MakeDirectories(dir); !s.ok()) return s;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return Status::Io(errno, "stat " + dir);
    auto id = std::make_pair(st.st_dev, st.st_ino);
    std::shared_ptr<Env> env;
    if (auto it = registry.open.find(id); it != registry.open.end()) env = it->second.lock();
    if (env && !HoldsDataFileOf(*env, dir)) env.reset();
    if (!env) {
      auto opened = OpenEnv(dir, map_size);
      if (!opened.ok()) return opened.status();
      env = opened.take();
      registry.open[id] = env;
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
