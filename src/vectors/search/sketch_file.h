// Published sketches: the complete sketch of one shard snapshot at one dimension, kept in
// `<base_path>/sketches/shard_<n>.<dim>` and mapped read-only (MAP_SHARED) by every handle of
// every process, so the page cache holds one copy for the host.
//
// A file is a cache and is trusted only as far as this is checked. When it is mapped: its
// header names the snapshot the reader holds (LMDB transaction id, record count, dimension,
// layout version, and the OpenFileIdentity of the data.mdb the reader's handle opened, so a
// store made anew or restored in another file at the same path never matches, even in a freed
// inode, and neither does a handle left open on a replaced store), its size is the one the header
// implies, and the hash of the header and the chunk table is the one stored. Then, chunk by
// chunk (kSketchChunkRecords positions of codes, meta and ids), before any record of a chunk is
// used: the chunk's hash is the one its table entry holds (SketchChunkHash). The first search
// through a new mapping checks the chunks as it streams them, so the pages are read from
// memory once; a chunk found damaged is not used (its records are scored exactly) and the
// sketch is dropped. The hashes are a check against torn, truncated and damaged files and
// stray writes, not against someone who can write the store's files (they can change the
// records).
//
// A file's arrays and tables are only ever replaced whole: written to a temporary file in the
// same directory, synced, renamed over the old one and the directory synced. A reader
// therefore maps either the old file or the new one, and a process killed while writing leaves
// the old file (or none) plus a temporary file that readers never open and later writers
// remove. The one write in place is a new header naming a later snapshot that the very same
// arrays describe (a commit that changed no vector of the shard): readers of the old mapping
// never read the header again, and one that reads a header half written finds its hash wrong
// and takes the file for damaged, as after a crash amid that write; either way no answer
// changes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vectors/kernels/sketch.h"

namespace zanth {

inline constexpr std::uint32_t kSketchFileVersion = 3;
// Positions a chunk hash covers; a multiple of the records of a full block, so a search
// checks a chunk just before it streams the chunk's block.
inline constexpr std::size_t kSketchChunkRecords = 256;

// The shard snapshot a sketch describes.
struct SketchSnapshot {
  std::uint64_t shard = 0;
  std::uint64_t dim = 0;
  std::uint64_t txn_id = 0;
  std::uint64_t records = 0;
  std::uint64_t data_dev = 0;  // of shard_<n>/data.mdb (OpenFileIdentity)
  std::uint64_t data_ino = 0;
  bool operator==(const SketchSnapshot&) const = default;
};

// Which file a path holds, to tell a file already looked at from a new one.
struct FileIdentity {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t size = -1;  // -1: no file
  bool operator==(const FileIdentity&) const = default;
};

// A read-only mapping of a whole sketch file; the arrays point into it. It keeps the file
// open, so private copies of its sections can be mapped (copy on write) while it lives.
class SketchMapping {
 public:
  SketchMapping(void* data, std::size_t bytes, int fd) : data_(data), bytes_(bytes), fd_(fd) {}
  ~SketchMapping();
  SketchMapping(const SketchMapping&) = delete;
  SketchMapping& operator=(const SketchMapping&) = delete;
  std::size_t bytes() const { return bytes_; }
  const char* data() const { return static_cast<const char*>(data_); }
  int fd() const { return fd_; }

 private:
  void* data_;
  std::size_t bytes_;
  int fd_;
};

// Where the arrays of a file of `records` records at `dim` start (each at a page boundary,
// followed within the file by at least the rest of its last page).
struct SketchSections {
  std::uint64_t codes, meta, ids;
};
SketchSections SketchFileSections(std::uint64_t records, std::uint64_t dim);

struct MappedSketch {
  std::shared_ptr<SketchMapping> mapping;  // null: no usable file
  const std::int8_t* codes = nullptr;      // records * dim
  const RecordSketchMeta* meta = nullptr;  // records
  const std::int64_t* ids = nullptr;       // records
  const std::uint64_t* chunk_hashes = nullptr;  // ceil(records / kSketchChunkRecords)
  const std::uint64_t* sources = nullptr;       // as many: ShardSketch::sources
  FileIdentity identity;
};

// The file's bytes for a sketch of `records` records at `dim`.
std::uint64_t SketchFileBytes(std::uint64_t records, std::uint64_t dim);

// The hash of chunk `chunk` of a sketch of `records` records at `dim` (chunk_hash.h, seeded
// with the chunk's number, so chunks that trade places do not match).
std::uint64_t SketchChunkHash(const std::int8_t* codes, const RecordSketchMeta* meta,
                              const std::int64_t* ids, std::size_t records, std::size_t dim,
                              std::size_t chunk);

std::string SketchDirectory(const std::string& base_path);
std::string SketchFilePath(const std::string& base_path, std::size_t shard, std::size_t dim);

// The device and identity of an open file: its inode mixed with its birth time where the file
// system keeps one, so a data file made anew in an inode another one freed is another file.
// False when fstat fails.
bool OpenFileIdentity(int fd, std::uint64_t* dev, std::uint64_t* ino);
// OpenFileIdentity of `base_path`/shard_<n>/data.mdb as the path names it now, or false.
bool ShardDataIdentity(const std::string& base_path, std::size_t shard, std::uint64_t* dev,
                       std::uint64_t* ino);

// What is at the path now (size -1 when nothing is).
FileIdentity IdentityOf(const std::string& path);

enum class SketchFileState {
  kUsable,         // maps exactly `want`; its header and chunk table are right
  kMissing,        // no file
  kOtherSnapshot,  // a sound header of another snapshot or layout: stale, not damaged
  kDamaged,        // cut short, a wrong size or magic, or a hash that does not match
};

// Maps the file at `path` for snapshot `want` and checks all but its chunks; `out` is filled
// only when usable.
// `out->identity` is set in every case that found a file. With `found`, a file of any
// snapshot of want's shard, dimension and data file is usable (want's transaction id and
// record count are not looked at), and *found receives the snapshot it describes.
SketchFileState LoadSketchFile(const std::string& path, const SketchSnapshot& want,
                               MappedSketch* out, SketchSnapshot* found = nullptr);

// Rewrites in place the header of the file `mapping` maps, which describes `from`, to name
// snapshot `txn_id` of the same shard instead, and fills `identity` with the file's after the
// write. Only for a snapshot whose records at that dimension are those of `from`. False, and
// nothing written, when `path` no longer names the mapped file or its header is not `from`'s
// or not sound; false too when the write fails (the file may then be found damaged).
bool RenameSketchSnapshot(const std::string& path, const SketchMapping& mapping,
                          const SketchSnapshot& from, std::uint64_t txn_id,
                          FileIdentity* identity);

// Whether every chunk of a usable mapping of `snap` matches its hash.
bool EveryChunkIntact(const MappedSketch& mapped, const SketchSnapshot& snap);

// A sketch file being written: its temporary file holds every byte but the hash.
struct PendingSketchFile {
  std::string path;
  std::string temporary;
  int fd = -1;
  void* data = nullptr;  // the temporary file mapped, once its arrays are written
  std::uint64_t bytes = 0;
  SketchSnapshot snap;
  PendingSketchFile() = default;
  PendingSketchFile(PendingSketchFile&& other) noexcept;
  PendingSketchFile& operator=(PendingSketchFile&&) = delete;
  ~PendingSketchFile();  // abandons it: the temporary file is removed
};

// Copies the sketch of `snap` (arrays of snap.records records, and the source hash of each
// chunk, or zeros for `sources` nullptr) into a new temporary file in
// the folder of `path` (made when missing), its space reserved first. False when that fails
// (a read-only folder, a full disk): nothing is left behind once `out` is destroyed. `out`
// must be empty.
bool BeginSketchFile(const std::string& path, const SketchSnapshot& snap,
                     const std::int8_t* codes, const RecordSketchMeta* meta,
                     const std::int64_t* ids, const std::uint64_t* sources,
                     PendingSketchFile* out);
// Maps the temporary file, hashes its chunks through that mapping and then its header, syncs
// it, renames it over `path`, syncs the folder and keeps the mapping as `out`'s. False when
// anything fails: then nothing at `path` changed. `pause` (when given) is called between
// pieces of a few MiB of that work, holding nothing: a caller may wait there to let other
// work go first.
bool FinishSketchFile(PendingSketchFile&& pending, MappedSketch* out,
                      const std::function<void()>& pause = {});
// Both of the above.
bool WriteSketchFile(const std::string& path, const SketchSnapshot& snap,
                     const std::int8_t* codes, const RecordSketchMeta* meta,
                     const std::int64_t* ids, const std::uint64_t* sources,
                     MappedSketch* out);

// Temporary sketch files are named `.<file name>.tmp.<pid>.<n>`; this removes those in `dir`
// whose process is gone. Returns how many were removed.
std::size_t RemoveStrayTemporaries(const std::string& dir);

}  // namespace zanth
