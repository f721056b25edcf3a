// The sketches of one store handle: per shard and dimension, the int8 sketch of every record of
// one read snapshot, tagged with that snapshot's LMDB transaction id. Every commit to a shard,
// from any handle or process, gives later snapshots a new id, and a sketch is only used by a
// reader of the id it is tagged with. The handle's own commits are reported to the cache
// (commit_observer.h) and carry the sketch over to the commit's id when the change is known
// exactly; any other commit leaves the sketch behind, and the next search reads the whole
// shard, taking over the old sketch's chunks whose record bytes are unchanged (sources) and
// sketching the rest.
//
// With a store path, a complete sketch is published to a file beside the store (sketch_file.h)
// by a background thread and from then on mapped from it: every handle and process of the
// host maps the same file, and a handle whose snapshot a published file describes prunes from
// its first search. A file's header is verified when it is mapped and each chunk before its
// first use (ShardSketch::Intact); a file that is missing, stale or damaged is never used, and
// the shard is sketched in memory (and published) as without files. When files cannot be
// written (a read-only directory, a full disk) sketches stay in private memory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/id_set.h"
#include "store/commit_observer.h"
#include "vectors/kernels/sketch.h"
#include "vectors/search/sketch_file.h"

namespace zanth {

// Memory for the arrays of a sketch: an anonymous mapping of its own, aligned to and advised for
// 2 MiB pages. A search touches a new sketch's pages as it fills them and later searches stream
// all of them, so large pages save most page faults (and the cost of unmapping) after a write,
// and most TLB misses in every search. The kernel hands out zeroed pages as they are touched.
void* MapPages(std::size_t bytes);  // nullptr when the mapping fails
void UnmapPages(void* data, std::size_t bytes);
// Maps `file_bytes` (rounded up to whole pages) of file `fd` from `offset` (page-aligned)
// privately over the start of pages from MapPages: they read as the file's and are copied
// only when written, so unchanged pages stay the page cache's, shared with every process that
// maps the file. The file must hold those whole pages. False when the mapping fails.
bool MapFileOver(void* pages, int fd, std::uint64_t offset, std::size_t file_bytes);

// Owns its pages, or (View) points into memory someone else holds: a published file's mapping,
// which is read-only.
template <typename T>
class PageArray {
 public:
  PageArray() = default;
  explicit PageArray(std::size_t n)
      : data_(static_cast<T*>(MapPages(n * sizeof(T)))), bytes_(data_ ? n * sizeof(T) : 0) {}
  // n elements whose first `from_file` are those of `fd` at `offset` (MapFileOver); empty when
  // that fails.
  static PageArray CopyOnWrite(std::size_t n, int fd, std::uint64_t offset,
                               std::size_t from_file) {
    PageArray array(n);
    if (array && from_file != 0 && !MapFileOver(array.data_, fd, offset, from_file * sizeof(T))) {
      return PageArray();
    }
    return array;
  }
  static PageArray View(const T* data, std::size_t n) {
    PageArray view;
    view.data_ = const_cast<T*>(data);
    view.bytes_ = n * sizeof(T);
    view.owned_ = false;
    return view;
  }
  ~PageArray() {
    if (owned_) UnmapPages(data_, bytes_);
  }
  PageArray(PageArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)),
        owned_(std::exchange(other.owned_, true)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    std::swap(owned_, other.owned_);
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;

  T* get() const { return data_; }
  std::size_t size() const { return bytes_ / sizeof(T); }
  T& operator[](std::size_t i) const { return data_[i]; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  T* data_ = nullptr;
  std::size_t bytes_ = 0;
  bool owned_ = true;
};

// Which sketched records one filter accepts: bit i (of words[i / 64]) for position i < positions,
// clear for tombstones when the bits were made. Records that die later keep their bits (a bitmap
// and its gathered copy stay in step): while tombstones_seen differs from the sketch's
// tombstone_changes, a search reads the ids of the accepted positions it uses.
struct AcceptedBits {
  // The id set: by its fingerprint when it has one (any set of equal content then finds these
  // bits), else by its identity.
  std::uint64_t filter = 0;  // IdSet::identity()
  std::shared_ptr<const std::string> fingerprint;
  std::size_t positions = 0;
  std::vector<std::uint64_t> words;
  // Where at most kCompactShare of the positions is accepted and the sketch's other
  // filters leave room (AcceptedBitsOf): the accepted records' codes and meta gathered in
  // position order, so a bound pass streams just them. Gathered a segment of kSegmentPositions
  // positions at a time, the first segments first, a few by each search with the filter (so no
  // one search pays for the whole copy): the bits that follow share the segments of the bits
  // they replace that were full. rank[w] counts the accepted positions from the start of word
  // w's segment up to word w, for the words of gathered segments; both are empty when nothing
  // is gathered.
  static constexpr double kCompactShare = 0.75;
  static constexpr std::size_t kSegmentPositions = std::size_t{1} << 14;
  static constexpr std::size_t kWordsPerSegment = kSegmentPositions / 64;
  // Arrays for the copies of `capacity` records, reserved at once (in large pages) and filled
  // over several searches: `used` records, the segments' places, are taken (under the sketch's
  // filters_mu). A search reads only segments published before it, so filling the rest never
  // touches what it reads.
  struct GatherStore {
    std::size_t capacity = 0;
    std::size_t used = 0;
    PageArray<std::int8_t> codes;  // capacity * dim
    PageArray<RecordSketchMeta> meta;
  };
  struct Gathered {
    std::shared_ptr<GatherStore> store;
    const std::int8_t* codes = nullptr;  // the segment's accepted records * dim, in the store
    const RecordSketchMeta* meta = nullptr;
    std::size_t bytes = 0;
  };
  std::vector<std::shared_ptr<const Gathered>> segments;
  std::vector<std::uint32_t> rank;
  std::size_t accepted = 0;  // accepted positions below `positions`
  std::uint64_t tombstones_seen = 0;  // the sketch's tombstone_changes when the bits were exact

  bool compact() const { return !segments.empty(); }
  bool complete() const {
    return segments.size() == (positions + kSegmentPositions - 1) / kSegmentPositions;
  }
  // Bytes of the bitmap and the gathered copies.
  std::uint64_t Bytes() const {
    std::uint64_t bytes =
        words.size() * sizeof(std::uint64_t) + rank.size() * sizeof(std::uint32_t);
    for (const auto& segment : segments) bytes += segment->bytes;
    return bytes;
  }
  // Where `position` (< positions) lies in a gathered segment: the copy of the accepted records
  // from it on, up to the end of its segment; its own record comes first when it is accepted.
  const std::int8_t* CodesFrom(std::size_t position, std::size_t dim) const {
    return segments[position / kSegmentPositions]->codes + RankOf(position) * dim;
  }
  const RecordSketchMeta* MetaFrom(std::size_t position) const {
    return segments[position / kSegmentPositions]->meta + RankOf(position);
  }
  // Whether the records of positions [first, first + count) that are accepted lie together in
  // one segment of the gathered copy.
  bool Streams(std::size_t first, std::size_t count) const {
    return count != 0 && first + count <= positions &&
           first / kSegmentPositions < segments.size() &&
           first / kSegmentPositions == (first + count - 1) / kSegmentPositions;
  }
  bool Has(std::size_t position) const {
    return (words[position / 64] >> (position % 64)) & 1;
  }
  // Accepted positions in [first, first + count) (<= positions), by their bits.
  std::size_t Count(std::size_t first, std::size_t count) const {
    std::size_t n = 0;
    for (std::size_t at = first, end = first + count; at < end;) {
      const std::size_t in_word = std::min<std::size_t>(64 - at % 64, end - at);
      std::uint64_t word = words[at / 64] >> (at % 64);
      if (in_word < 64) word &= (std::uint64_t{1} << in_word) - 1;
      n += static_cast<std::size_t>(__builtin_popcountll(word));
      at += in_word;
    }
    return n;
  }
  // The same, from the ranks, where Streams(first, count).
  std::size_t CountIn(std::size_t first, std::size_t count) const {
    return RankOf(first + count - 1) - RankOf(first) +
           ((words[(first + count - 1) / 64] >> ((first + count - 1) % 64)) & 1);
  }
  std::size_t RankOf(std::size_t position) const {
    const std::uint64_t below = (std::uint64_t{1} << (position % 64)) - 1;
    return rank[position / 64] +
           static_cast<std::size_t>(__builtin_popcountll(words[position / 64] & below));
  }

  bool HasFingerprint(const std::shared_ptr<const std::string>& other) const {
    return fingerprint && other && (fingerprint == other || *fingerprint == *other);
  }
  bool IsOf(const IdSet& set) const {
    if (set.fingerprint) {
      return fingerprint && (fingerprint == set.fingerprint || *fingerprint == *set.fingerprint);
    }
    return !fingerprint && filter == set.identity();
  }
};

// Filled a prefix at a time: records below `covered` are sketched; the one search holding `grow`
// sketches the next records and then raises `covered`. `txn_id` and `records` change only under
// the cache's lock; codes and meta of sketched records never change, and an id only becomes
// kTombstoneId while no search holds the sketch.
struct ShardSketch {
  std::uint64_t txn_id = 0;
  std::size_t dim = 0;
  std::size_t records = 0;  // every record of the snapshot at this dimension, tombstones too
  // Pages are touched as the prefix grows, not all by the first search.
  PageArray<std::int8_t> codes;       // records * dim, in scan order
  PageArray<RecordSketchMeta> meta;   // records
  PageArray<std::int64_t> ids;        // records: filters and tombstones need no block
  std::atomic<std::size_t> covered{0};
  std::mutex grow;
  // Bytes of pages the arrays hold once every record is sketched: BytesFor(records, dim), or
  // more when the arrays were lent by a larger sketch whose pages are touched already.
  std::uint64_t held_bytes = 0;
  // Non-null: the arrays are views of this published file (complete, never written to); its
  // header and page padding (at most 16 KiB) are not counted in held_bytes. The cache's lock
  // guards it.
  std::shared_ptr<SketchMapping> file;
  // With a file: its chunk hashes, and per chunk 0 (not checked yet), 1 (intact) or 2
  // (damaged). No record is used before its chunk is found intact (Intact); a damaged chunk
  // marks the sketch `damaged`, and the cache hands out a damaged sketch no more. Set before
  // the sketch is handed out, and changed only while no search holds it.
  const std::uint64_t* chunk_hashes = nullptr;
  std::unique_ptr<std::atomic<std::uint8_t>[]> chunk_state;
  mutable std::atomic<bool> damaged{false};
  // Per chunk of kSketchChunkRecords positions: the hash of the record bytes its codes were
  // made from (SourceHash in bounds.h), 0 when not known. Sized for every position the arrays
  // hold; the search that sketches a chunk writes its entry.
  std::vector<std::uint64_t> sources;
  // While this sketch is built after a commit it did not follow: the sources of the sketch it
  // replaced, and that sketch unless this one took over its arrays. A block whose record bytes
  // hash to its chunk's old source takes the old chunk (found intact in `previous`) instead of
  // being sketched: copied, or already in place when the arrays were lent or start as the old
  // file's (previous_in_place). Only the search holding `grow` uses them; it lets them go once
  // the sketch is complete.
  std::vector<std::uint64_t> previous_sources;
  std::shared_ptr<const ShardSketch> previous;
  bool previous_in_place = false;
  // A complete sketch whose arrays start as `lender`'s file copy on write: per chunk, 1 where
  // every position of it still reads as the lender's (taken over, found intact there, and not
  // written since), so searches bound them from the lender's mapping, whose pages are mapped already,
  // instead of faulting in this sketch's. Set by the search that completes the sketch; a chunk
  // is cleared (and stays so) before anything writes its positions here: a search sketching
  // it (it holds `grow`) or a commit this sketch follows (no search holds it then).
  std::shared_ptr<const ShardSketch> lender;
  std::vector<std::uint8_t> lent;
  // The sketch whose arrays hold chunk `chunk`'s records for reading.
  const ShardSketch* ReadsFrom(std::size_t chunk) const {
    return lender != nullptr && chunk < lent.size() && lent[chunk] != 0 ? lender.get() : this;
  }
  void StopLending(std::size_t chunk) {
    if (chunk < lent.size()) lent[chunk] = 0;
  }
  // A publishing thread holds `copying` while it copies the arrays into its file, and counts
  // in publisher_refs the reference it holds meanwhile (which is no reader afterwards).
  std::mutex copying;
  std::atomic<long> publisher_refs{0};
  // The accepted-record bitmaps of the filters searched with most recently, most recent last
  // (at most kFilterBitmaps, positions / 8 bytes each, with gathered copies of at most as many
  // records as the sketch in all: AcceptedBitsOf); kept when records die. Enough for a
  // program that filters by each value of a field of a dozen or so values in turn: with fewer
  // such a round evicts every bitmap before its filter comes back, and each search rebuilds one.
  static constexpr std::size_t kFilterBitmaps = 16;
  // Commits this sketch followed that made records tombstones.
  std::uint64_t tombstone_changes = 0;
  mutable std::mutex filters_mu;
  mutable std::vector<std::shared_ptr<const AcceptedBits>> filters;

  // Whether positions [first, first + count) may be used: always for a private sketch; for a
  // file's, once every chunk they touch is found intact (checked here, by whichever search
  // gets to a chunk first; two may both check one).
  bool Intact(std::size_t first, std::size_t count) const;

  static std::size_t BytesFor(std::size_t records, std::size_t dim) {
    return records * (dim + sizeof(RecordSketchMeta) + sizeof(std::int64_t));
  }
};

class SketchCache final : public CommitObserver {
 public:
  static constexpr std::uint64_t kUnlimited = UINT64_MAX;

  // Starts with a budget of a quarter of the machine's physical memory. `base_path` empty: no
  // files, every sketch in private memory. `data_files`: per shard, the OpenFileIdentity of
  // the data.mdb the handle opened, which names its snapshots in files for as long as it
  // lives (the path may name a store made anew meanwhile); empty: found from the path.
  explicit SketchCache(std::string base_path = {},
                       std::vector<std::pair<std::uint64_t, std::uint64_t>> data_files = {});
  // Waits for this process's publishing thread; in a forked child, which has none, returns
  // at once and leaves the thread's condition variables undestroyed.
  ~SketchCache() override;
  SketchCache(const SketchCache&) = delete;
  SketchCache& operator=(const SketchCache&) = delete;

  // The sketch of (shard, dim) for the snapshot with `txn_id` holding `records` records. A
  // missing or older one is replaced by an empty sketch of that snapshot when the budget has
  // room for it (counting the one it replaces); otherwise null. The replaced sketch's arrays
  // are reused when no search holds them and they are at most twice the size needed; larger
  // ones (the shard shrank) are freed. A file-backed sketch lends its file's arrays copy on
  // write. The new sketch may take over the replaced one's chunks (previous_sources).
  std::shared_ptr<ShardSketch> Acquire(std::size_t shard, std::size_t dim, std::uint64_t txn_id,
                                       std::size_t records);

  // A commit of this handle to `shard` (commit_observer.h). A sketch of the commit's base
  // snapshot follows an advanced commit when it can do so exactly: any kNoVectors commit (the
  // tag moves on); an append of its dimension that its arrays have room for, or (while no
  // search holds it) that larger arrays are made for (the new records wait unsketched at the
  // end); tombstones of its dimension while no search holds it (their ids are marked dead). Every other sketch of the base is left behind. An unchanged commit
  // changes nothing.
  // With files, before Acquire (and for many shards at once): maps the published file of that
  // snapshot, checked in full outside the cache's lock, when it is new to this cache and the
  // budget has room; with no sketch of the key yet, a file of an older or newer snapshot too,
  // whose unchanged chunks Acquire's sketch then takes over. It replaces a complete sketch of
  // the snapshot too, so handles and processes that sketched one shard at once come to share
  // one file. Failures change nothing.
  void AdoptFile(std::size_t shard, std::size_t dim, std::uint64_t txn_id, std::size_t records);

  // A file-backed sketch follows a change of its vectors by first mapping its file's arrays
  // privately, copy on write (only while no search holds it); a complete sketch that followed
  // is published again, or, for a kNoVectors commit of a file-backed one, its file's header
  // names the new snapshot.
  void Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                 const ShardChange& change) override;

  // Starts publishing `sketch` of `shard` when it is complete, private and still this cache's
  // sketch of its key, no publishing of that key is under way, and no publishing failed in the
  // last kRetryAfterFailure. A background thread writes the file (or finds that another process
  // published that snapshot already) and swaps the sketch for the file's mapping. The thread
  // also lets go of `retired` (the sketch this one replaced), so unmapping it costs the caller
  // nothing; without a thread it is let go on return.
  // A key whose file was written lately is published again only after a pause: at least
  // kRepublishGapMs, and kRepublishCostFactor times as long as that write took. A handle that
  // commits and searches without end would otherwise rewrite the whole file after every
  // commit (hundreds of MB a second for a large store); paced, it spends at most a twentieth
  // of one core and of the disk on it. A request inside the pause (or while the key's
  // publishing is under way) is deferred; once the pause is over, the key's sketch of that
  // moment is published, if it may be. Meanwhile the file names an older snapshot: other
  // handles and processes take over its unchanged chunks (AdoptFile, Acquire), as after any
  // commit. memory() and the destructor publish what is deferred at once.
  void Publish(std::size_t shard, const std::shared_ptr<ShardSketch>& sketch,
               std::shared_ptr<const ShardSketch> retired = nullptr);
  static constexpr std::int64_t kRetryAfterFailureSeconds = 30;
  static constexpr std::int64_t kRepublishGapMs = 5000;
  static constexpr std::int64_t kRepublishCostFactor = 20;
  // Held by every search with this cache while it runs: the publishing thread lets searches
  // go first (waiting between pieces of its work, holding no lock, while any runs, at most
  // kPublishPatience per file), so a search made right after another that started a publish
  // keeps both CPUs.
  class SearchMark {
   public:
    SearchMark() = default;
    explicit SearchMark(SketchCache* cache) : cache_(cache) {
      cache_->searches_.fetch_add(1, std::memory_order_relaxed);
    }
    ~SearchMark() {
      if (cache_ != nullptr) cache_->searches_.fetch_sub(1, std::memory_order_relaxed);
    }
    SearchMark(SearchMark&& other) noexcept : cache_(std::exchange(other.cache_, nullptr)) {}
    SearchMark& operator=(SearchMark&& other) noexcept {
      std::swap(cache_, other.cache_);
      return *this;
    }

   private:
    SketchCache* cache_ = nullptr;
  };
  static constexpr std::int64_t kPublishPatienceMs = 500;
  // Publishes what is deferred now and waits until no publishing of this cache is under way
  // (tests, benchmarks).
  void WaitForPublishing();
  bool files() const { return !base_path_.empty(); }

  // 0 turns sketches off and frees them; a smaller budget drops sketches until the rest fit.
  void SetBudget(std::uint64_t bytes);
  std::uint64_t budget() const { return budget_.load(std::memory_order_relaxed); }
  // Lock-free, so a forked child that never searches with sketches never touches the mutex.
  bool enabled() const { return budget() != 0; }
  // Bytes of the sketches held now (their held_bytes; sketches replaced while a search still
  // uses them are freed when it ends and not counted) and of the filters' bitmaps and gathered
  // copies kept beside them, once publishing under way or deferred has ended. The budget caps
  // the sketches only: the filters kept per sketch are few and their copies at most as large
  // as it.
  std::uint64_t memory() const;

  // Counts of the searches since the last TakeCounts: records whose bound was tested, those
  // among them that had to be scored exactly, and records sketched.
  struct Counts {
    std::uint64_t bounded = 0;
    std::uint64_t rescored = 0;
    std::uint64_t sketched = 0;
  };
  void Count(std::uint64_t bounded, std::uint64_t rescored) {
    bounded_.fetch_add(bounded, std::memory_order_relaxed);
    rescored_.fetch_add(rescored, std::memory_order_relaxed);
  }
  void CountSketched(std::uint64_t records) {
    sketched_.fetch_add(records, std::memory_order_relaxed);
  }
  Counts TakeCounts() {
    return {bounded_.exchange(0), rescored_.exchange(0), sketched_.exchange(0)};
  }

 private:
  using Key = std::pair<std::size_t, std::size_t>;  // shard, dim
  std::uint64_t HeldExcept(const Key& key) const;   // mu_ held
  // Whether `sketch` (of the base snapshot, `alone`: no search holds it) can take `change` of
  // `shard`; when so, it has. mu_ held.
  bool Follow(ShardSketch& sketch, bool alone, std::size_t shard, const ShardChange& change);
  // The file at `path` when it is of `snap` (or, while the cache has no sketch of the key, of
  // any snapshot of that shard and data file), fits the budget and is new to this cache; null
  // otherwise. Takes and releases mu_.
  std::shared_ptr<ShardSketch> TryFile(const Key& key, const SketchSnapshot& snap);
  // A complete sketch mapped from `mapped`, installed for `key` (replacing `expected`, or
  // whatever sketch of another snapshot is there when `expected` is null) when the budget has
  // room. mu_ held.
  // `checked`: every chunk of the mapping was found intact by the caller.
  std::shared_ptr<ShardSketch> InstallFile(const Key& key, const SketchSnapshot& snap,
                                           MappedSketch&& mapped,
                                           const std::shared_ptr<ShardSketch>& expected,
                                           bool checked);
  // A sketch to publish for snapshot `txn_id`, holding a reference counted in its
  // publisher_refs, and the sketch it replaced, to let go of off the search's path.
  struct PublishJob {
    Key key;
    std::shared_ptr<ShardSketch> sketch;
    std::shared_ptr<const ShardSketch> retired;
    std::uint64_t txn_id;
    std::size_t records;
  };
  // Queues a job for the publishing thread (started when none runs), moving `retired` into it,
  // or defers the key (see Publish). mu_ held.
  void PublishLocked(std::size_t shard, const std::shared_ptr<ShardSketch>& sketch,
                     std::shared_ptr<const ShardSketch>* retired = nullptr);
  // The publishing thread's loop: jobs in turn, then deferred keys as they fall due; it ends
  // when there are neither. Started by StartPublisher (mu_ held), which undoes every job and
  // deferral when no thread can be had.
  void RunPublisher();
  void StartPublisher();
  // On the publishing thread, no lock held.
  void PublishOne(PublishJob job);
  // Waits while a search runs, until `deadline`.
  void LetSearchesGo(std::chrono::steady_clock::time_point deadline) const;
  // Has the file of file-backed `sketch`, which followed a kNoVectors commit from `base`, name
  // the sketch's snapshot (RenameSketchSnapshot). mu_ held.
  bool Rename(const Key& key, ShardSketch& sketch, std::uint64_t base);
  // Moves a private sketch's covered records into arrays with room past `records`. mu_ held,
  // no search holding the sketch.
  bool Grow(ShardSketch& sketch, std::size_t records);
  // Makes a file-backed sketch's arrays private, with room to grow. mu_ held.
  bool Privatize(ShardSketch& sketch);
  bool Snapshot(std::size_t shard, std::size_t dim, std::uint64_t txn_id, std::size_t records,
                SketchSnapshot* snap) const;

  mutable std::mutex mu_;
  std::map<Key, std::shared_ptr<ShardSketch>> entries_;
  std::atomic<std::uint64_t> budget_;  // written under mu_
  std::uint64_t held_ = 0;
  std::atomic<std::uint64_t> bounded_{0};
  std::atomic<std::uint64_t> rescored_{0};
  std::atomic<std::uint64_t> sketched_{0};
  std::atomic<int> searches_{0};  // SearchMark

  std::string base_path_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> data_files_;  // (dev, identity) per shard
  // Per key, the file last mapped or turned down: not looked at again while the path holds it.
  std::map<Key, FileIdentity> seen_;
  std::set<Key> publishing_;
  std::size_t publishers_ = 0;  // jobs queued or under way
  std::deque<PublishJob> jobs_;
  // Per key, when its next file may be written (set when one was), and the keys deferred
  // until then with the sketch that asked: the thread runs while any is deferred.
  std::map<Key, std::chrono::steady_clock::time_point> next_publish_;
  struct Deferred {
    std::chrono::steady_clock::time_point due;
    std::weak_ptr<ShardSketch> asked;
  };
  std::map<Key, Deferred> deferred_;
  std::vector<std::shared_ptr<const ShardSketch>> retired_;  // let go by the thread
  mutable bool hurry_ = false;  // deferred keys are due now (memory(), the destructor)
  bool worker_ = false;  // the publishing thread runs
  struct Signals {
    std::condition_variable wake;       // a deferral or a hurry for the waiting thread
    std::condition_variable published;  // jobs finished, or the thread ended
  };
  // On the heap: a forked child's destructor leaves them undestroyed.
  std::unique_ptr<Signals> signals_ = std::make_unique<Signals>();
  std::int64_t retry_after_ = 0;  // steady seconds
  pid_t owner_pid_;
};

}  // namespace zanth
