#include "vectors/search/sketch_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace zanth {

namespace {

constexpr char kMagic[8] = {'Z', 'N', 'S', 'K', 'E', 'T', 'C', 'H'};
constexpr std::uint64_t kHeaderBytes = 4096;
constexpr std::uint64_t kSectionAlign = 4096;

// At offset 0; the rest of the first kHeaderBytes is zero. Little-endian, as the records are.
struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t header_bytes;
  std::uint64_t shard, dim, txn_id, records, data_dev, data_ino;
  std::uint64_t codes_offset, meta_offset, ids_offset, file_bytes;
  // SketchHash of the file's bytes before this field, combined with that of the bytes after.
  std::uint64_t hash;
};
static_assert(sizeof(Header) <= kHeaderBytes);
constexpr std::size_t kHashField = offsetof(Header, hash);

struct Layout {
  std::uint64_t codes, meta, ids, bytes;
};

std::uint64_t RoundUp(std::uint64_t n, std::uint64_t to) { return (n + to - 1) / to * to; }

Layout LayoutOf(std::uint64_t records, std::uint64_t dim) {
  Layout l;
  l.codes = kHeaderBytes;
  l.meta = RoundUp(l.codes + records * dim, kSectionAlign);
  l.ids = RoundUp(l.meta + records * sizeof(RecordSketchMeta), kSectionAlign);
  l.bytes = l.ids + records * sizeof(std::int64_t);
  return l;
}

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;

std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
std::uint64_t Round(std::uint64_t acc, std::uint64_t word) {
  return Rotl(acc + word * kP2, 31) * kP1;
}
std::uint64_t Word(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
std::uint64_t Avalanche(std::uint64_t h) {
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  return h ^ (h >> 32);
}

std::uint64_t FileHash(const char* file, std::uint64_t bytes) {
  const std::uint64_t before = SketchHash(file, kHashField);
  const std::uint64_t after =
      SketchHash(file + kHashField + sizeof(std::uint64_t), bytes - kHashField - sizeof(std::uint64_t));
  return Avalanche(Round(before, after) ^ kP4);
}

std::atomic<std::uint64_t> temporary_counter{0};

bool SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

FileIdentity IdentityOfStat(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
          static_cast<std::int64_t>(st.st_size)};
}

void PointInto(const char* file, const Layout& l, MappedSketch* out) {
  out->codes = reinterpret_cast<const std::int8_t*>(file + l.codes);
  out->meta = reinterpret_cast<const RecordSketchMeta*>(file + l.meta);
  out->ids = reinterpret_cast<const std::int64_t*>(file + l.ids);
}

}  // namespace

SketchMapping::~SketchMapping() {
  if (data_ != nullptr) munmap(data_, bytes_);
}

std::uint64_t SketchFileBytes(std::uint64_t records, std::uint64_t dim) {
  return LayoutOf(records, dim).bytes;
}

std::uint64_t SketchHash(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char* const end = p + bytes;
  std::uint64_t h;
  if (bytes >= 32) {
    std::uint64_t a = kP1 + kP2, b = kP2, c = 0, d = 0 - kP1;
    for (; end - p >= 32; p += 32) {
      a = Round(a, Word(p));
      b = Round(b, Word(p + 8));
      c = Round(c, Word(p + 16));
      d = Round(d, Word(p + 24));
    }
    h = Rotl(a, 1) + Rotl(b, 7) + Rotl(c, 12) + Rotl(d, 18);
    for (std::uint64_t lane : {a, b, c, d}) h = (h ^ Round(0, lane)) * kP1 + kP4;
  } else {
    h = kP3;
  }
  h += static_cast<std::uint64_t>(bytes);
  for (; end - p >= 8; p += 8) h = Rotl(h ^ Round(0, Word(p)), 27) * kP1 + kP4;
  for (; p < end; ++p) h = Rotl(h ^ (*p * kP3), 11) * kP1;
  return Avalanche(h);
}

std::string SketchDirectory(const std::string& base_path) { return base_path + "/sketches"; }

std::string SketchFilePath(const std::string& base_path, std::size_t shard, std::size_t dim) {
  return SketchDirectory(base_path) + "/shard_" + std::to_string(shard) + "." +
         std::to_string(dim);
}

bool ShardDataIdentity(const std::string& base_path, std::size_t shard, std::uint64_t* dev,
                       std::uint64_t* ino) {
  struct stat st;
  const std::string path = base_path + "/shard_" + std::to_string(shard) + "/data.mdb";
  if (stat(path.c_str(), &st) != 0) return false;
  *dev = static_cast<std::uint64_t>(st.st_dev);
  *ino = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

FileIdentity IdentityOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return IdentityOfStat(st);
}

SketchFileState LoadSketchFile(const std::string& path, const SketchSnapshot& want,
                               MappedSketch* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? SketchFileState::kMissing : SketchFileState::kDamaged;
  struct stat st;
  Header h;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return SketchFileState::kDamaged;
  }
  out->identity = IdentityOfStat(st);
  const bool read = st.st_size >= static_cast<off_t>(kHeaderBytes) &&
                    pread(fd, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
  if (!read || std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) {
    close(fd);
    return SketchFileState::kDamaged;
  }
  const SketchSnapshot has{h.shard, h.dim, h.txn_id, h.records, h.data_dev, h.data_ino};
  if (h.version != kSketchFileVersion || !(has == want)) {
    close(fd);
    return SketchFileState::kOtherSnapshot;
  }
  const Layout l = LayoutOf(want.records, want.dim);
  if (h.header_bytes != kHeaderBytes || h.codes_offset != l.codes || h.meta_offset != l.meta ||
      h.ids_offset != l.ids || h.file_bytes != l.bytes ||
      static_cast<std::uint64_t>(st.st_size) != l.bytes) {
    close(fd);
    return SketchFileState::kDamaged;
  }
  // Populated at once: the hash reads every page, and searches read them all after it.
  void* data = mmap(nullptr, l.bytes, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  close(fd);
  if (data == MAP_FAILED) return SketchFileState::kDamaged;
  auto mapping = std::make_shared<SketchMapping>(data, l.bytes);
  if (FileHash(mapping->data(), l.bytes) != h.hash) return SketchFileState::kDamaged;
  out->mapping = std::move(mapping);
  PointInto(out->mapping->data(), l, out);
  return SketchFileState::kUsable;
}

PendingSketchFile::PendingSketchFile(PendingSketchFile&& other) noexcept
    : path(std::move(other.path)),
      temporary(std::move(other.temporary)),
      fd(std::exchange(other.fd, -1)),
      data(std::exchange(other.data, nullptr)),
      bytes(std::exchange(other.bytes, 0)),
      snap(other.snap) {}

PendingSketchFile::~PendingSketchFile() {
  if (data != nullptr) munmap(data, bytes);
  if (fd >= 0) {
    close(fd);
    unlink(temporary.c_str());
  }
}

bool BeginSketchFile(const std::string& path, const SketchSnapshot& snap,
                     const std::int8_t* codes, const RecordSketchMeta* meta,
                     const std::int64_t* ids, PendingSketchFile* out) {
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string name = path.substr(path.rfind('/') + 1);
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  RemoveStrayTemporaries(dir);
  PendingSketchFile& pending = *out;  // abandoned by its owner when this fails
  pending.path = path;
  pending.temporary = dir + "/." + name + ".tmp." + std::to_string(getpid()) + "." +
                      std::to_string(temporary_counter.fetch_add(1));
  pending.fd = open(pending.temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (pending.fd < 0) return false;
  const Layout l = LayoutOf(snap.records, snap.dim);
  pending.bytes = l.bytes;
  pending.snap = snap;
  // Every block reserved first: stores into the mapping below can then never meet a full disk
  // (which would end the process with SIGBUS).
  if (posix_fallocate(pending.fd, 0, static_cast<off_t>(l.bytes)) != 0) return false;
  void* data = mmap(nullptr, l.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, pending.fd, 0);
  if (data == MAP_FAILED) return false;
  pending.data = data;
  char* file = static_cast<char*>(data);
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kSketchFileVersion;
  h.header_bytes = kHeaderBytes;
  h.shard = snap.shard;
  h.dim = snap.dim;
  h.txn_id = snap.txn_id;
  h.records = snap.records;
  h.data_dev = snap.data_dev;
  h.data_ino = snap.data_ino;
  h.codes_offset = l.codes;
  h.meta_offset = l.meta;
  h.ids_offset = l.ids;
  h.file_bytes = l.bytes;
  std::memcpy(file, &h, sizeof h);
  std::memcpy(file + l.codes, codes, snap.records * snap.dim);
  std::memcpy(file + l.meta, meta, snap.records * sizeof(RecordSketchMeta));
  std::memcpy(file + l.ids, ids, snap.records * sizeof(std::int64_t));
  return true;
}

bool FinishSketchFile(PendingSketchFile&& pending, MappedSketch* out) {
  PendingSketchFile p(std::move(pending));
  char* file = static_cast<char*>(p.data);
  const std::uint64_t hash = FileHash(file, p.bytes);
  std::memcpy(file + kHashField, &hash, sizeof hash);
  munmap(p.data, p.bytes);
  p.data = nullptr;
  if (fsync(p.fd) != 0) return false;
  if (rename(p.temporary.c_str(), p.path.c_str()) != 0) return false;
  // Renamed: from here the file is published, whether or not the rest succeeds.
  const int fd = std::exchange(p.fd, -1);
  SyncDirectory(p.path.substr(0, p.path.rfind('/')));
  struct stat st;
  void* mapped = fstat(fd, &st) == 0
                     ? mmap(nullptr, p.bytes, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0)
                     : MAP_FAILED;
  close(fd);
  if (mapped == MAP_FAILED) return false;
  out->mapping = std::make_shared<SketchMapping>(mapped, p.bytes);
  out->identity = IdentityOfStat(st);
  PointInto(out->mapping->data(), LayoutOf(p.snap.records, p.snap.dim), out);
  return true;
}

bool WriteSketchFile(const std::string& path, const SketchSnapshot& snap,
                     const std::int8_t* codes, const RecordSketchMeta* meta,
                     const std::int64_t* ids, MappedSketch* out) {
  PendingSketchFile pending;
  if (!BeginSketchFile(path, snap, codes, meta, ids, &pending)) return false;
  return FinishSketchFile(std::move(pending), out);
}

std::size_t RemoveStrayTemporaries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  std::size_t removed = 0;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    const std::size_t tmp = name.rfind(".tmp.");
    if (name.empty() || name[0] != '.' || tmp == std::string::npos) continue;
    const std::string rest = name.substr(tmp + 5);
    const std::size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos) continue;
    char* parsed_end = nullptr;
    const long pid = std::strtol(rest.c_str(), &parsed_end, 10);
    if (parsed_end != rest.c_str() + dot || pid <= 0) continue;
    // A live process (or one of another user: EPERM) may still be writing it.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    if (unlinkat(dirfd(d), name.c_str(), 0) == 0) ++removed;
  }
  closedir(d);
  return removed;
}

}  // namespace zanth
