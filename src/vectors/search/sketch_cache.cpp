#include "vectors/search/sketch_cache.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>

#include "base/id_key.h"

namespace zanth {

namespace {

std::uint64_t DefaultBudget() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 30;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 4;
}

std::uint64_t BytesOf(const ShardSketch& s) { return s.held_bytes; }

// Private arrays of `room` positions that start as file-backed sketch `from`'s, copied a page
// at a time only as they are written. False when a mapping fails.
bool CopyOnWriteArrays(const ShardSketch& from, std::size_t room, PageArray<std::int8_t>* codes,
                       PageArray<RecordSketchMeta>* meta, PageArray<std::int64_t>* ids) {
  const SketchSections at = SketchFileSections(from.records, from.dim);
  const int fd = from.file->fd();
  *codes = PageArray<std::int8_t>::CopyOnWrite(room * from.dim, fd, at.codes,
                                                from.records * from.dim);
  *meta = PageArray<RecordSketchMeta>::CopyOnWrite(room, fd, at.meta, from.records);
  *ids = PageArray<std::int64_t>::CopyOnWrite(room, fd, at.ids, from.records);
  return *codes && *meta && *ids;
}

// A transaction id no snapshot has (LMDB counts up from 0): a sketch left behind by a commit.
constexpr std::uint64_t kNoSnapshot = UINT64_MAX;
constexpr std::size_t kLargePage = std::size_t{2} << 20;
// A new sketch's arrays hold 1/kGrowthRoom more records than asked (address space only: pages
// past the records sketched are never touched).
constexpr std::size_t kGrowthRoom = 16;

std::size_t RoundUp(std::size_t bytes, std::size_t to) { return (bytes + to - 1) / to * to; }

std::size_t ChunksOf(std::size_t records) {
  return (records + kSketchChunkRecords - 1) / kSketchChunkRecords;
}

std::size_t MappedBytes(std::size_t bytes) {
  return bytes < kLargePage ? bytes : RoundUp(bytes, kLargePage);
}

}  // namespace

// Arrays of a large page or more: the mapping is aligned to large pages, and the whole large
// pages the array fills are advised for them (the part past the last one keeps small pages, so
// the memory held stays what BytesFor counts). Smaller arrays are plain mappings.
void* MapPages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  constexpr int kProt = PROT_READ | PROT_WRITE;
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  if (bytes < kLargePage) {
    void* data = mmap(nullptr, bytes, kProt, kFlags, -1, 0);
    return data == MAP_FAILED ? nullptr : data;
  }
  const std::size_t size = MappedBytes(bytes);
  // Mapped one large page over, then trimmed to a large-page boundary at both ends.
  void* raw = mmap(nullptr, size + kLargePage, kProt, kFlags, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = RoundUp(start, kLargePage);
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = start + kLargePage - aligned;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* data = reinterpret_cast<void*>(aligned);
  madvise(data, bytes / kLargePage * kLargePage, MADV_HUGEPAGE);  // advice: works without
  return data;
}

bool MapFileOver(void* pages, int fd, std::uint64_t offset, std::size_t file_bytes) {
  const std::size_t length = RoundUp(file_bytes, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  return mmap(pages, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd,
              static_cast<off_t>(offset)) != MAP_FAILED;
}

void UnmapPages(void* data, std::size_t bytes) {
  if (data != nullptr) munmap(data, MappedBytes(bytes));
}

bool ShardSketch::Intact(std::size_t first, std::size_t count) const {
  if (!chunk_state || count == 0) return true;
  const std::size_t last = (first + count - 1) / kSketchChunkRecords;
  for (std::size_t c = first / kSketchChunkRecords; c <= last; ++c) {
    std::uint8_t state = chunk_state[c].load(std::memory_order_acquire);
    if (state == 0) {
      const bool intact = SketchChunkHash(codes.get(), meta.get(), ids.get(), records, dim, c) ==
                          chunk_hashes[c];
      state = intact ? 1 : 2;
      if (!intact) damaged.store(true, std::memory_order_relaxed);
      chunk_state[c].store(state, std::memory_order_release);
    }
    if (state != 1) return false;
  }
  return true;
}

SketchCache::SketchCache(std::string base_path,
                         std::vector<std::pair<std::uint64_t, std::uint64_t>> data_files)
    : budget_(DefaultBudget()),
      base_path_(std::move(base_path)),
      data_files_(std::move(data_files)),
      owner_pid_(getpid()) {}

SketchCache::~SketchCache() {
  if (getpid() == owner_pid_) {
    WaitForPublishing();
    return;
  }
  // A forked child has none of its parent's threads to wait for, and its copy of a condition
  // variable may still count the parent's waiting publisher: destroying it would wait for
  // that thread forever. The child leaves the signals undestroyed.
  (void)signals_.release();
}

void SketchCache::WaitForPublishing() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!worker_) return;
  hurry_ = true;
  signals_->wake.notify_all();
  signals_->published.wait(lock, [&] { return publishers_ == 0 && !worker_; });
}

bool SketchCache::Snapshot(std::size_t shard, std::size_t dim, std::uint64_t txn_id,
                           std::size_t records, SketchSnapshot* snap) const {
  snap->shard = shard;
  snap->dim = dim;
  snap->txn_id = txn_id;
  snap->records = records;
  if (shard < data_files_.size()) {
    std::tie(snap->data_dev, snap->data_ino) = data_files_[shard];
    return true;
  }
  return data_files_.empty() && ShardDataIdentity(base_path_, shard, &snap->data_dev,
                                                  &snap->data_ino);
}

std::shared_ptr<ShardSketch> SketchCache::InstallFile(
    const Key& key, const SketchSnapshot& snap, MappedSketch&& mapped,
    const std::shared_ptr<ShardSketch>& expected, bool checked) {
  auto it = entries_.find(key);
  if (expected != nullptr && (it == entries_.end() || it->second != expected)) return nullptr;
  const std::uint64_t bytes = ShardSketch::BytesFor(snap.records, snap.dim);
  const std::uint64_t others = HeldExcept(key);
  const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
  if (budget == 0 || bytes > budget || others > budget - bytes) return nullptr;
  auto sketch = std::make_shared<ShardSketch>();
  sketch->txn_id = snap.txn_id;
  sketch->dim = snap.dim;
  sketch->records = snap.records;
  sketch->codes = PageArray<std::int8_t>::View(mapped.codes, snap.records * snap.dim);
  sketch->meta = PageArray<RecordSketchMeta>::View(mapped.meta, snap.records);
  sketch->ids = PageArray<std::int64_t>::View(mapped.ids, snap.records);
  sketch->covered.store(snap.records, std::memory_order_release);
  sketch->held_bytes = bytes;
  sketch->file = std::move(mapped.mapping);
  sketch->chunk_hashes = mapped.chunk_hashes;
  const std::size_t chunks = (snap.records + kSketchChunkRecords - 1) / kSketchChunkRecords;
  sketch->chunk_state = std::make_unique<std::atomic<std::uint8_t>[]>(chunks);
  if (checked) {
    for (std::size_t c = 0; c < chunks; ++c) {
      sketch->chunk_state[c].store(1, std::memory_order_relaxed);
    }
  }
  sketch->sources.assign(mapped.sources, mapped.sources + chunks);
  // The replaced sketch is freed when the last search holding it ends.
  entries_[key] = sketch;
  held_ = others + bytes;
  return sketch;
}

std::shared_ptr<ShardSketch> SketchCache::TryFile(const Key& key, const SketchSnapshot& snap) {
  const std::string path = SketchFilePath(base_path_, key.first, key.second);
  bool any = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto seen = seen_.find(key);
    const FileIdentity now = IdentityOf(path);
    if (now.size < 0 || (seen != seen_.end() && seen->second == now)) return nullptr;
    const std::uint64_t bytes = ShardSketch::BytesFor(snap.records, snap.dim);
    const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
    if (bytes > budget || HeldExcept(key) > budget - bytes) return nullptr;
    // With no sketch of the key yet, a file of another snapshot of this shard is mapped too:
    // the search then takes over its chunks whose records are unchanged (Acquire), as it
    // would from a sketch this handle made before a commit, and sketches only the rest.
    any = entries_.find(key) == entries_.end();
  }
  // Checked outside the lock: other shards' searches go on meanwhile.
  MappedSketch mapped;
  SketchSnapshot found;
  const SketchFileState state = LoadSketchFile(path, snap, &mapped, any ? &found : nullptr);
  std::lock_guard<std::mutex> lock(mu_);
  if (state != SketchFileState::kMissing) seen_[key] = mapped.identity;
  if (state != SketchFileState::kUsable) return nullptr;
  if (any && entries_.find(key) != entries_.end() && !(found == snap)) return nullptr;
  return InstallFile(key, any ? found : snap, std::move(mapped), nullptr, false);
}

std::uint64_t SketchCache::HeldExcept(const Key& key) const {
  auto it = entries_.find(key);
  return held_ - (it == entries_.end() ? 0 : BytesOf(*it->second));
}

void SketchCache::AdoptFile(std::size_t shard, std::size_t dim, std::uint64_t txn_id,
                            std::size_t records) {
  if (!files() || budget() == 0 || records == 0) return;
  const Key key{shard, dim};
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(key);
    // One still being sketched is used as it is; a complete one gives way to a file new to
    // this cache (one stat tells).
    if (it != entries_.end() && it->second->txn_id == txn_id && it->second->records == records &&
        it->second->covered.load(std::memory_order_acquire) != records) {
      return;
    }
  }
  SketchSnapshot snap;
  if (Snapshot(shard, dim, txn_id, records, &snap)) TryFile(key, snap);
}

std::shared_ptr<ShardSketch> SketchCache::Acquire(std::size_t shard, std::size_t dim,
                                                  std::uint64_t txn_id, std::size_t records) {
  const Key key{shard, dim};
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it != entries_.end() && it->second->txn_id == txn_id && it->second->records == records &&
      !it->second->damaged.load(std::memory_order_relaxed)) {
    return it->second;
  }
  const std::uint64_t bytes = ShardSketch::BytesFor(records, dim);
  const std::uint64_t others = HeldExcept(key);
  const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
  if (budget == 0 || bytes > budget || others > budget - bytes) return nullptr;
  auto sketch = std::make_shared<ShardSketch>();
  sketch->txn_id = txn_id;
  sketch->dim = dim;
  sketch->records = records;
  sketch->held_bytes = bytes;
  // The sketch being replaced, when no search holds it (only this cache hands them out, under
  // mu_), lends its memory: those pages are mapped and touched already, so the first search
  // after a write neither faults them in, zeroed, nor unmaps the old ones. Not when it holds
  // far more than needed (the pages it touched stay held) or more than the budget allows.
  // A file's views are read-only and never lent.
  const bool lend = it != entries_.end() && it->second.use_count() == 1 && !it->second->file &&
                    it->second->codes.size() >= records * dim &&
                    it->second->meta.size() >= records && it->second->ids.size() >= records &&
                    it->second->held_bytes <= 2 * bytes && it->second->held_bytes <= budget - others;
  // Chunks whose records the commits since left alone are taken from the old sketch (in place
  // when its arrays are lent) rather than sketched again.
  // A sketch some search still builds is not read: its sources and arrays are being written.
  if (it != entries_.end() && !it->second->damaged.load(std::memory_order_relaxed) &&
      (lend || it->second->covered.load(std::memory_order_acquire) == it->second->records)) {
    sketch->previous_sources = it->second->sources;
  }
  if (lend) {
    sketch->previous_in_place = true;
    ShardSketch& old = *it->second;
    sketch->codes = std::move(old.codes);
    sketch->meta = std::move(old.meta);
    sketch->ids = std::move(old.ids);
    sketch->held_bytes = std::max(bytes, old.held_bytes);
  } else {
    // Room for a few more records, so the writes that follow can reuse it as above.
    const std::size_t room = records + records / kGrowthRoom;
    if (!sketch->previous_sources.empty()) {
      sketch->previous = it->second;
      // A file's sketch is taken over page by page: only pages this search writes are copied.
      sketch->previous_in_place = it->second->file && it->second->records <= room &&
                                  CopyOnWriteArrays(*it->second, room, &sketch->codes,
                                                    &sketch->meta, &sketch->ids);
    }
    if (it != entries_.end()) {
      // Frees the old arrays (unless a search still holds them) before mapping new ones.
      held_ -= BytesOf(*it->second);
      entries_.erase(it);
    }
    if (!sketch->previous_in_place) {
      sketch->codes = PageArray<std::int8_t>(room * dim);
      sketch->meta = PageArray<RecordSketchMeta>(room);
      sketch->ids = PageArray<std::int64_t>(room);
    }
    if (!sketch->codes || !sketch->meta || !sketch->ids) return nullptr;
  }
  sketch->sources.assign(ChunksOf(sketch->meta.size()), 0);
  entries_[key] = sketch;
  held_ = others + sketch->held_bytes;
  return sketch;
}

void SketchCache::Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                            const ShardChange& change) {
  if (outcome == CommitOutcome::kUnchanged) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.lower_bound(Key{shard, 0});
       it != entries_.end() && it->first.first == shard; ++it) {
    ShardSketch& sketch = *it->second;
    // A sketch of another snapshot is left behind already.
    if (sketch.txn_id != base) continue;
    bool alone = false;
    if (outcome == CommitOutcome::kAdvanced) {
      // A publishing thread copying the arrays is waited for (it takes no lock of the cache);
      // once it has copied them, its reference no longer counts as a reader.
      std::lock_guard<std::mutex> copied(sketch.copying);
      alone = it->second.use_count() - sketch.publisher_refs.load() == 1;
    }
    const bool followed = outcome == CommitOutcome::kAdvanced &&
                          Follow(sketch, alone, shard, change);
    // Left behind: no snapshot has this id, so the next search replaces it (lending its
    // arrays) and sketches the shard anew.
    sketch.txn_id = followed ? base + 1 : kNoSnapshot;
    // A followed file-backed sketch of a kNoVectors commit keeps its file's arrays, whose
    // header is rewritten to name the new snapshot, so other processes, whose snapshots have
    // the new id too, can map it; when that cannot be done it is published anew (a copy).
    if (followed && !(sketch.file && Rename(it->first, sketch, base))) {
      PublishLocked(shard, it->second);
    }
  }
}

bool SketchCache::Rename(const Key& key, ShardSketch& sketch, std::uint64_t base) {
  SketchSnapshot from;
  const std::string path = SketchFilePath(base_path_, key.first, key.second);
  FileIdentity identity;
  if (!Snapshot(key.first, key.second, base, sketch.records, &from) ||
      !RenameSketchSnapshot(path, *sketch.file, from, sketch.txn_id, &identity)) {
    return false;
  }
  seen_[key] = identity;
  return true;
}

bool SketchCache::Follow(ShardSketch& sketch, bool alone, std::size_t shard,
                         const ShardChange& change) {
  switch (change.kind) {
    case ShardChange::Kind::kNoVectors:
      return true;
    case ShardChange::Kind::kAppend: {
      if (change.dim != sketch.dim || shard >= change.appended.size()) return false;
      // The file's arrays are read-only and exactly its size: copied first, which needs every
      // search to have let go of them.
      if (sketch.file && (!alone || !Privatize(sketch))) return false;
      // Records before the append keep their bytes and positions (the shard's last block is
      // topped up, new blocks follow it); the new ones wait past `covered`.
      const std::size_t records = sketch.records + change.appended[shard];
      const std::uint64_t held = std::max(sketch.held_bytes, ShardSketch::BytesFor(records, sketch.dim));
      const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
      if (held - sketch.held_bytes > budget - std::min(budget, held_)) return false;
      // Out of room: moved into larger arrays, keeping every record sketched, which needs
      // every search to have let go of the old ones.
      if ((sketch.codes.size() < records * sketch.dim || sketch.meta.size() < records ||
           sketch.ids.size() < records || sketch.sources.size() < ChunksOf(records)) &&
          (!alone || !Grow(sketch, records))) {
        return false;
      }
      held_ += held - sketch.held_bytes;
      sketch.held_bytes = held;
      sketch.records = records;
      return true;
    }
    case ShardChange::Kind::kTombstones: {
      // A search holding the sketch may read these ids, or be sketching records of the base
      // snapshot that are now dead: then the sketch cannot follow.
      if (change.dim != sketch.dim || !alone) return false;
      if (sketch.file && !Privatize(sketch)) return false;
      std::vector<std::int64_t> dead(change.ids.begin(), change.ids.end());
      std::sort(dead.begin(), dead.end());
      const std::size_t covered = sketch.covered.load(std::memory_order_relaxed);
      bool changed = false;
      for (std::size_t i = 0; i < covered; ++i) {
        if (std::binary_search(dead.begin(), dead.end(), sketch.ids[i])) {
          sketch.StopLending(i / kSketchChunkRecords);
          sketch.ids[i] = kTombstoneId;
          // The chunk's codes no longer match the bytes it was made from.
          sketch.sources[i / kSketchChunkRecords] = 0;
          changed = true;
        }
      }
      // The filters' bits keep the dead records (AcceptedBits): searches skip them.
      if (changed) ++sketch.tombstone_changes;
      return true;
    }
    case ShardChange::Kind::kTombstonesThenAppend: {
      // The tombstones only ever mark records of the base snapshot (the append comes after
      // them), so the two steps follow one after the other. When the second cannot follow,
      // the first has already cleared the sources of the chunks it changed, so the sketch
      // that is left behind lends only unchanged chunks.
      ShardChange step;
      step.dim = change.dim;
      step.kind = ShardChange::Kind::kTombstones;
      step.ids = change.ids;
      if (!Follow(sketch, alone, shard, step)) return false;
      step.kind = ShardChange::Kind::kAppend;
      step.appended = change.appended;
      return Follow(sketch, alone, shard, step);
    }
    case ShardChange::Kind::kRewrite:
      return false;
  }
  return false;
}

bool SketchCache::Grow(ShardSketch& sketch, std::size_t records) {
  const std::size_t room = records + records / kGrowthRoom;
  const std::size_t covered = sketch.covered.load(std::memory_order_relaxed);
  PageArray<std::int8_t> codes(room * sketch.dim);
  PageArray<RecordSketchMeta> meta(room);
  PageArray<std::int64_t> ids(room);
  if (!codes || !meta || !ids) return false;
  std::memcpy(codes.get(), sketch.codes.get(), covered * sketch.dim);
  std::memcpy(meta.get(), sketch.meta.get(), covered * sizeof(RecordSketchMeta));
  std::memcpy(ids.get(), sketch.ids.get(), covered * sizeof(std::int64_t));
  sketch.codes = std::move(codes);
  sketch.meta = std::move(meta);
  sketch.ids = std::move(ids);
  sketch.sources.resize(ChunksOf(room), 0);
  // Every position now reads from the new arrays.
  sketch.lender.reset();
  sketch.lent.clear();
  return true;
}

bool SketchCache::Privatize(ShardSketch& sketch) {
  const std::size_t records = sketch.records;
  const std::size_t room = records + records / kGrowthRoom;
  const std::uint64_t bytes = ShardSketch::BytesFor(records, sketch.dim);
  const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
  const std::uint64_t others = held_ - sketch.held_bytes;
  if (bytes > budget || others > budget - bytes) return false;
  // What is copied is trusted from then on: every chunk is checked first.
  if (!sketch.Intact(0, records)) return false;
  PageArray<std::int8_t> codes;
  PageArray<RecordSketchMeta> meta;
  PageArray<std::int64_t> ids;
  if (!CopyOnWriteArrays(sketch, room, &codes, &meta, &ids)) return false;
  sketch.codes = std::move(codes);
  sketch.meta = std::move(meta);
  sketch.ids = std::move(ids);
  sketch.file.reset();
  sketch.chunk_hashes = nullptr;
  sketch.chunk_state.reset();
  sketch.sources.resize(ChunksOf(room), 0);
  held_ = others + bytes;
  sketch.held_bytes = bytes;
  return true;
}

void SketchCache::Publish(std::size_t shard, const std::shared_ptr<ShardSketch>& sketch,
                          std::shared_ptr<const ShardSketch> retired) {
  if (!files()) return;
  std::lock_guard<std::mutex> lock(mu_);
  PublishLocked(shard, sketch, &retired);
}

void SketchCache::PublishLocked(std::size_t shard, const std::shared_ptr<ShardSketch>& sketch,
                                std::shared_ptr<const ShardSketch>* retired) {
  if (!files() || getpid() != owner_pid_) return;
  const Key key{shard, sketch->dim};
  const std::size_t records = sketch->records;
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second != sketch || records == 0 ||
      sketch->covered.load(std::memory_order_acquire) != records) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() <
      retry_after_) {
    return;
  }
  const auto next = next_publish_.find(key);
  const bool pausing = next != next_publish_.end() && now < next->second && !hurry_;
  if (publishing_.count(key) != 0 || pausing) {
    // The job under way may describe an older snapshot: the key is looked at again after it.
    Deferred& later = deferred_[key];
    later.due = pausing ? next->second : now;
    later.asked = sketch;
    if (retired != nullptr) retired_.push_back(std::move(*retired));
    if (worker_) {
      signals_->wake.notify_all();
    } else {
      StartPublisher();
    }
    return;
  }
  publishing_.insert(key);
  ++publishers_;
  sketch->publisher_refs.fetch_add(1);
  PublishJob job{key, sketch, nullptr, sketch->txn_id, records};
  if (retired != nullptr) job.retired = std::move(*retired);
  jobs_.push_back(std::move(job));
  if (worker_) {
    signals_->wake.notify_all();
  } else {
    StartPublisher();
  }
}

void SketchCache::StartPublisher() {
  // One thread publishes the jobs one after another: it competes with searches for one core
  // at most, and nothing here waits on it (a thread made per job would wait for the address
  // space lock while the one before unmaps a replaced sketch).
  try {
    std::thread([this] { RunPublisher(); }).detach();
    worker_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: the sketches stay private, as when a file cannot be written.
    for (PublishJob& failed : jobs_) {
      publishing_.erase(failed.key);
      --publishers_;
      failed.sketch->publisher_refs.fetch_sub(1);
    }
    jobs_.clear();
    deferred_.clear();
    retired_.clear();
  }
}

void SketchCache::RunPublisher() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!jobs_.empty()) {
      PublishJob next = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      PublishOne(std::move(next));
      lock.lock();
      continue;
    }
    if (!retired_.empty()) {
      // Sketches replaced while their key was deferred: let go here, off the search's path.
      std::vector<std::shared_ptr<const ShardSketch>> retired;
      retired.swap(retired_);
      lock.unlock();
      retired.clear();
      lock.lock();
      continue;
    }
    if (deferred_.empty()) break;
    const auto now = std::chrono::steady_clock::now();
    auto due = deferred_.begin()->second.due;
    for (const auto& entry : deferred_) due = std::min(due, entry.second.due);
    if (!hurry_ && now < due) {
      signals_->wake.wait_until(lock, due);
      continue;
    }
    for (auto it = deferred_.begin(); it != deferred_.end();) {
      if (!hurry_ && now < it->second.due) {
        ++it;
        continue;
      }
      const Key key = it->first;
      const std::shared_ptr<ShardSketch> asked = it->second.asked.lock();
      it = deferred_.erase(it);
      const auto current = entries_.find(key);
      // The sketch that asked, or a newer private one (a file-backed one is its file's).
      if (current != entries_.end() && (current->second == asked || !current->second->file)) {
        next_publish_.erase(key);
        PublishLocked(key.first, current->second);
      }
    }
  }
  hurry_ = false;
  worker_ = false;
  signals_->published.notify_all();
}

void SketchCache::LetSearchesGo(std::chrono::steady_clock::time_point deadline) const {
  while (searches_.load(std::memory_order_relaxed) > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void SketchCache::PublishOne(PublishJob job) {
  const Key key = job.key;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kPublishPatienceMs);
  // Time spent letting searches go is not the write's cost (see kRepublishCostFactor).
  auto paused = std::chrono::steady_clock::duration::zero();
  const auto began = std::chrono::steady_clock::now();
  const std::function<void()> pause = [this, deadline, &paused] {
    const auto from = std::chrono::steady_clock::now();
    LetSearchesGo(deadline);
    paused += std::chrono::steady_clock::now() - from;
  };
  // Everything the job holds is let go before it counts itself done, so memory() and the
  // destructor see its mappings gone.
  {
    pause();
    job.retired.reset();
    std::shared_ptr<ShardSketch> strong = std::move(job.sketch);
    SketchSnapshot snap;
    PendingSketchFile pending;
    MappedSketch mapped;
    const std::string path = SketchFilePath(base_path_, key.first, key.second);
    bool ok = Snapshot(key.first, key.second, job.txn_id, job.records, &snap);
    // Another process may have published this snapshot already: then that file is mapped
    // (unless a chunk of it is damaged: then it is written anew).
    bool found = ok && LoadSketchFile(path, snap, &mapped) == SketchFileState::kUsable &&
                 EveryChunkIntact(mapped, snap);
    if (!found) mapped = MappedSketch();
    if (ok && !found) {
      pause();
      // Records [0, records) do not change while `copying` is held (tombstones wait for it,
      // appends go past them). A commit this handle made while the job waited may have moved
      // the sketch on already (under mu_): then it no longer describes the job's snapshot.
      std::unique_lock<std::mutex> lock(mu_);
      std::lock_guard<std::mutex> copying(strong->copying);
      const bool same = strong->txn_id == job.txn_id && strong->records == job.records;
      lock.unlock();
      // A file-backed sketch (one that followed a commit) is copied only once every chunk of
      // it is found intact.
      if (same) {
        ok = strong->Intact(0, job.records) &&
             BeginSketchFile(path, snap, strong->codes.get(), strong->meta.get(),
                             strong->ids.get(), strong->sources.data(), &pending);
      } else {
        found = true;  // nothing to publish, and no failure
      }
    }
    std::weak_ptr<ShardSketch> weak = strong;
    strong->publisher_refs.fetch_sub(1);
    strong.reset();
    if (ok && !found) ok = FinishSketchFile(std::move(pending), &mapped, pause);
    // A search holding the sketch replaced below would unmap it as it ends.
    pause();
    std::lock_guard<std::mutex> lock(mu_);
    const std::shared_ptr<ShardSketch> current = weak.lock();
    if (ok && !found) {
      const auto now = std::chrono::steady_clock::now();
      next_publish_[key] = now + std::max<std::chrono::steady_clock::duration>(
                                     std::chrono::milliseconds(kRepublishGapMs),
                                     kRepublishCostFactor * (now - began - paused));
    }
    if (ok && mapped.mapping) {
      seen_[key] = mapped.identity;
      if (current && current->txn_id == snap.txn_id && current->records == snap.records) {
        // Every chunk was hashed by this thread through the very pages now mapped: written
        // and hashed here (FinishSketchFile), or found intact above. The search that first
        // uses a chunk would only hash the same page cache pages again.
        InstallFile(key, snap, std::move(mapped), current, true);
      }
    } else if (!ok) {
      retry_after_ = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count() +
                     kRetryAfterFailureSeconds;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  publishing_.erase(key);
  --publishers_;
  signals_->published.notify_all();
}

void SketchCache::SetBudget(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  budget_.store(bytes, std::memory_order_relaxed);
  // Largest keys first is as good an order as any: each sketch is rebuilt on demand.
  while (held_ > bytes && !entries_.empty()) {
    auto last = std::prev(entries_.end());
    held_ -= BytesOf(*last->second);
    entries_.erase(last);
  }
}

std::uint64_t SketchCache::memory() const {
  std::unique_lock<std::mutex> lock(mu_);
  // Publishing in progress holds a temporary file's pages and may swap a sketch for a file:
  // the figure is taken once it is over (a forked child has no such threads).
  if (getpid() == owner_pid_ && (publishers_ != 0 || !deferred_.empty())) {
    hurry_ = true;
    signals_->wake.notify_all();
    signals_->published.wait(lock, [&] { return publishers_ == 0 && deferred_.empty(); });
  }
  std::uint64_t filters = 0;
  for (const auto& entry : entries_) {
    std::lock_guard<std::mutex> hold(entry.second->filters_mu);
    for (const auto& bits : entry.second->filters) filters += bits->Bytes();
  }
  return held_ + filters;
}

}  // namespace zanth
