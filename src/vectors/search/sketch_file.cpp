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
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "vectors/kernels/chunk_hash.h"

// Older C library headers lack it; a kernel before 5.14 refuses it (EINVAL), which is harmless.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

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
  // ChunkHash of the header's other bytes and the chunk table (seeded with kHeaderSeed).
  std::uint64_t hash;
  std::uint64_t chunk_records, table_offset, sources_offset;
};
static_assert(sizeof(Header) <= kHeaderBytes);
constexpr std::size_t kHashField = offsetof(Header, hash);
constexpr std::uint64_t kHeaderSeed = 0x5A4E534B48454144ULL;

struct Layout {
  std::uint64_t codes, meta, ids, table, sources, chunks, bytes;
};

std::uint64_t RoundUp(std::uint64_t n, std::uint64_t to) { return (n + to - 1) / to * to; }

// The chunk hashes and then the chunks' source hashes come last, so the arrays keep their
// places whatever the tables' size.
Layout LayoutOf(std::uint64_t records, std::uint64_t dim) {
  Layout l;
  l.codes = kHeaderBytes;
  l.meta = RoundUp(l.codes + records * dim, kSectionAlign);
  l.ids = RoundUp(l.meta + records * sizeof(RecordSketchMeta), kSectionAlign);
  l.table = l.ids + records * sizeof(std::int64_t);
  l.chunks = (records + kSketchChunkRecords - 1) / kSketchChunkRecords;
  l.sources = l.table + l.chunks * sizeof(std::uint64_t);
  l.bytes = l.sources + l.chunks * sizeof(std::uint64_t);
  return l;
}

// The header with its hash field taken as zero, then both tables.
std::uint64_t HeaderHash(const char* file, const Layout& l) {
  char header[kHeaderBytes];
  std::memcpy(header, file, kHeaderBytes);
  std::memset(header + kHashField, 0, sizeof(std::uint64_t));
  return ChunkHash(file + l.table, l.bytes - l.table,
                   ChunkHash(header, kHeaderBytes, kHeaderSeed));
}

std::atomic<std::uint64_t> temporary_counter{0};

// Bytes FinishSketchFile maps or hashes between two calls of its `pause`.
constexpr std::uint64_t kPausePiece = std::uint64_t{4} << 20;

// Writes all `bytes` at `offset` of `fd`.
bool WriteAt(int fd, const void* data, std::size_t bytes, std::uint64_t offset) {
  const char* from = static_cast<const char*>(data);
  while (bytes != 0) {
    const ssize_t n = pwrite(fd, from, std::min<std::size_t>(bytes, std::size_t{1} << 30),
                             static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    from += n;
    bytes -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

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

// The padding before the meta and the ids sections is zero (no hash covers it, and a byte
// changed anywhere is a damaged file).
bool ZeroGaps(const char* file, const Layout& l, const SketchSnapshot& snap) {
  const std::uint64_t gaps[2][2] = {{l.codes + snap.records * snap.dim, l.meta},
                                    {l.meta + snap.records * sizeof(RecordSketchMeta), l.ids}};
  for (const auto& gap : gaps) {
    for (std::uint64_t at = gap[0]; at < gap[1]; ++at) {
      if (file[at] != 0) return false;
    }
  }
  return true;
}

void PointInto(const char* file, const Layout& l, MappedSketch* out) {
  out->codes = reinterpret_cast<const std::int8_t*>(file + l.codes);
  out->meta = reinterpret_cast<const RecordSketchMeta*>(file + l.meta);
  out->ids = reinterpret_cast<const std::int64_t*>(file + l.ids);
  out->chunk_hashes = reinterpret_cast<const std::uint64_t*>(file + l.table);
  out->sources = reinterpret_cast<const std::uint64_t*>(file + l.sources);
}

}  // namespace

SketchMapping::~SketchMapping() {
  if (data_ != nullptr) munmap(data_, bytes_);
  if (fd_ >= 0) close(fd_);
}

SketchSections SketchFileSections(std::uint64_t records, std::uint64_t dim) {
  const Layout l = LayoutOf(records, dim);
  return {l.codes, l.meta, l.ids};
}

std::uint64_t SketchFileBytes(std::uint64_t records, std::uint64_t dim) {
  return LayoutOf(records, dim).bytes;
}

std::uint64_t SketchChunkHash(const std::int8_t* codes, const RecordSketchMeta* meta,
                              const std::int64_t* ids, std::size_t records, std::size_t dim,
                              std::size_t chunk) {
  const std::size_t first = chunk * kSketchChunkRecords;
  const std::size_t n = std::min(kSketchChunkRecords, records - first);
  const ChunkHasher hash = BestChunkHasher();
  std::uint64_t h = hash(codes + first * dim, n * dim, chunk);
  h = hash(meta + first, n * sizeof(RecordSketchMeta), h);
  return hash(ids + first, n * sizeof(std::int64_t), h);
}

std::string SketchDirectory(const std::string& base_path) { return base_path + "/sketches"; }

std::string SketchFilePath(const std::string& base_path, std::size_t shard, std::size_t dim) {
  return SketchDirectory(base_path) + "/shard_" + std::to_string(shard) + "." +
         std::to_string(dim);
}

bool OpenFileIdentity(int fd, std::uint64_t* dev, std::uint64_t* ino) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  *dev = static_cast<std::uint64_t>(st.st_dev);
  *ino = static_cast<std::uint64_t>(st.st_ino);
  struct statx born;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &born) == 0 && (born.stx_mask & STATX_BTIME)) {
    *ino ^= (static_cast<std::uint64_t>(born.stx_btime.tv_sec) * 0x9E3779B97F4A7C15ULL) ^
            (static_cast<std::uint64_t>(born.stx_btime.tv_nsec) * 0xC2B2AE3D27D4EB4FULL);
  }
  return true;
}

bool ShardDataIdentity(const std::string& base_path, std::size_t shard, std::uint64_t* dev,
                       std::uint64_t* ino) {
  const std::string path = base_path + "/shard_" + std::to_string(shard) + "/data.mdb";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool known = OpenFileIdentity(fd, dev, ino);
  if (fd >= 0) close(fd);
  return known;
}

FileIdentity IdentityOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return IdentityOfStat(st);
}

SketchFileState LoadSketchFile(const std::string& path, const SketchSnapshot& asked,
                               MappedSketch* out, SketchSnapshot* found) {
  // Writable where it may be, so its header can later name a snapshot that followed
  // (RenameSketchSnapshot). Never blocking: a FIFO or device put in a sketch's place is a
  // damaged sketch, not a search that waits for a writer.
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno != ENOENT) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? SketchFileState::kMissing : SketchFileState::kDamaged;
  struct stat st;
  Header h;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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
  SketchSnapshot want = asked;
  if (found != nullptr) {
    want.txn_id = h.txn_id;
    want.records = h.records;
  }
  if (h.version != kSketchFileVersion || !(has == want) || want.records == 0) {
    close(fd);
    return SketchFileState::kOtherSnapshot;
  }
  const Layout l = LayoutOf(want.records, want.dim);
  if (h.header_bytes != kHeaderBytes || h.codes_offset != l.codes || h.meta_offset != l.meta ||
      h.ids_offset != l.ids || h.file_bytes != l.bytes || h.table_offset != l.table || h.sources_offset != l.sources ||
      h.chunk_records != kSketchChunkRecords ||
      static_cast<std::uint64_t>(st.st_size) != l.bytes) {
    close(fd);
    return SketchFileState::kDamaged;
  }
  // Not populated: the pages are faulted in by the search that reads them, on every pool
  // thread at once, and only the header and the table are read here.
  void* data = mmap(nullptr, l.bytes, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return SketchFileState::kDamaged;
  }
  auto mapping = std::make_shared<SketchMapping>(data, l.bytes, fd);
  if (HeaderHash(mapping->data(), l) != h.hash || !ZeroGaps(mapping->data(), l, want)) {
    return SketchFileState::kDamaged;
  }
  out->mapping = std::move(mapping);
  PointInto(out->mapping->data(), l, out);
  if (found != nullptr) *found = want;
  return SketchFileState::kUsable;
}

bool RenameSketchSnapshot(const std::string& path, const SketchMapping& mapping,
                          const SketchSnapshot& from, std::uint64_t txn_id,
                          FileIdentity* identity) {
  struct stat mapped, named;
  if (fstat(mapping.fd(), &mapped) != 0 || stat(path.c_str(), &named) != 0 ||
      mapped.st_dev != named.st_dev || mapped.st_ino != named.st_ino) {
    return false;
  }
  Header h;
  std::memcpy(&h, mapping.data(), sizeof h);
  const Layout l = LayoutOf(from.records, from.dim);
  const SketchSnapshot has{h.shard, h.dim, h.txn_id, h.records, h.data_dev, h.data_ino};
  // The header it replaces must be sound, or the new hash would vouch for damaged tables.
  if (!(has == from) || mapping.bytes() != l.bytes || HeaderHash(mapping.data(), l) != h.hash) {
    return false;
  }
  char header[kHeaderBytes];
  std::memcpy(header, mapping.data(), kHeaderBytes);
  h.txn_id = txn_id;
  std::memcpy(header, &h, sizeof h);
  // HeaderHash reads the tables after the header: hashed with the new header in their place.
  const std::uint64_t seed = [&] {
    char zeroed[kHeaderBytes];
    std::memcpy(zeroed, header, kHeaderBytes);
    std::memset(zeroed + kHashField, 0, sizeof(std::uint64_t));
    return ChunkHash(zeroed, kHeaderBytes, kHeaderSeed);
  }();
  const std::uint64_t hash = ChunkHash(mapping.data() + l.table, l.bytes - l.table, seed);
  std::memcpy(header + kHashField, &hash, sizeof hash);
  if (pwrite(mapping.fd(), header, kHeaderBytes, 0) != static_cast<ssize_t>(kHeaderBytes)) {
    return false;
  }
  struct stat st;
  if (fstat(mapping.fd(), &st) != 0) return false;
  *identity = IdentityOfStat(st);
  return true;
}

bool EveryChunkIntact(const MappedSketch& mapped, const SketchSnapshot& snap) {
  const std::uint64_t chunks = LayoutOf(snap.records, snap.dim).chunks;
  for (std::uint64_t c = 0; c < chunks; ++c) {
    if (SketchChunkHash(mapped.codes, mapped.meta, mapped.ids, snap.records, snap.dim, c) !=
        mapped.chunk_hashes[c]) {
      return false;
    }
  }
  return true;
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
                     const std::int64_t* ids, const std::uint64_t* sources,
                     PendingSketchFile* out) {
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
  // Every block reserved first: a full disk is found before anything is written, and the
  // gaps between the sections read as zeros.
  if (posix_fallocate(pending.fd, 0, static_cast<off_t>(l.bytes)) != 0) return false;
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
  h.chunk_records = kSketchChunkRecords;
  h.table_offset = l.table;
  h.sources_offset = l.sources;
  // Written, not stored through a mapping: no page of the new file is faulted in, zeroed and
  // then overwritten.
  return WriteAt(pending.fd, &h, sizeof h, 0) &&
         WriteAt(pending.fd, codes, snap.records * snap.dim, l.codes) &&
         WriteAt(pending.fd, meta, snap.records * sizeof(RecordSketchMeta), l.meta) &&
         WriteAt(pending.fd, ids, snap.records * sizeof(std::int64_t), l.ids) &&
         (sources == nullptr ||
          WriteAt(pending.fd, sources, l.chunks * sizeof(std::uint64_t), l.sources));
}

bool FinishSketchFile(PendingSketchFile&& pending, MappedSketch* out,
                      const std::function<void()>& pause) {
  PendingSketchFile p(std::move(pending));
  const Layout l = LayoutOf(p.snap.records, p.snap.dim);
  // The mapping the file is published with, its pages mapped here ahead of use (advice: a
  // kernel without it leaves them to fault in): the chunk hashes are taken through it, and
  // searches that use it take no page faults.
  void* data = mmap(nullptr, p.bytes, PROT_READ, MAP_SHARED, p.fd, 0);
  if (data == MAP_FAILED) return false;
  p.data = data;
  char* file = static_cast<char*>(data);
  for (std::uint64_t at = 0; at < p.bytes; at += kPausePiece) {
    if (pause) pause();
    madvise(file + at, std::min<std::uint64_t>(kPausePiece, p.bytes - at), MADV_POPULATE_READ);
  }
  MappedSketch arrays;
  PointInto(file, l, &arrays);
  std::vector<std::uint64_t> table(l.chunks);
  const std::uint64_t chunk_bytes = kSketchChunkRecords * (p.snap.dim + sizeof(RecordSketchMeta) +
                                                           sizeof(std::int64_t));
  const std::uint64_t chunks_per_piece = std::max<std::uint64_t>(1, kPausePiece / chunk_bytes);
  for (std::uint64_t c = 0; c < l.chunks; ++c) {
    if (pause && c % chunks_per_piece == 0) pause();
    table[c] = SketchChunkHash(arrays.codes, arrays.meta, arrays.ids, p.snap.records, p.snap.dim, c);
  }
  if (pause) pause();
  if (!WriteAt(p.fd, table.data(), table.size() * sizeof(std::uint64_t), l.table)) return false;
  const std::uint64_t hash = HeaderHash(file, l);  // the mapping shows what was written
  if (!WriteAt(p.fd, &hash, sizeof hash, kHashField)) return false;
  if (fsync(p.fd) != 0) return false;
  if (rename(p.temporary.c_str(), p.path.c_str()) != 0) return false;
  // Renamed: from here the file is published, whether or not the rest succeeds.
  const int fd = std::exchange(p.fd, -1);
  void* mapped = std::exchange(p.data, nullptr);
  SyncDirectory(p.path.substr(0, p.path.rfind('/')));
  out->mapping = std::make_shared<SketchMapping>(mapped, p.bytes, fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    out->mapping.reset();
    return false;
  }
  out->identity = IdentityOfStat(st);
  PointInto(out->mapping->data(), l, out);
  return true;
}

bool WriteSketchFile(const std::string& path, const SketchSnapshot& snap,
                     const std::int8_t* codes, const RecordSketchMeta* meta,
                     const std::int64_t* ids, const std::uint64_t* sources,
                     MappedSketch* out) {
  PendingSketchFile pending;
  if (!BeginSketchFile(path, snap, codes, meta, ids, sources, &pending)) return false;
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
