#include "store/data_file_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace zanth {

namespace {

// LMDB's file layout (format version 1, 64-bit page numbers). Every page starts with a 16-byte
// header: page number, pad, flags (at 10), then either the lower and upper bounds of its free
// space (at 12 and 14) or, for an overflow page, its page count (at 12). Pages 0 and 1 are meta
// pages; their MDB_meta follows the header.
constexpr std::size_t kPageHeader = 16;
constexpr std::size_t kFlagsAt = 10;
constexpr std::size_t kLowerAt = 12;
constexpr std::size_t kOverflowCountAt = 12;
constexpr std::uint16_t kBranchPage = 0x01;
constexpr std::uint16_t kLeafPage = 0x02;
constexpr std::uint16_t kOverflowPage = 0x04;
constexpr std::size_t kMetaMagicAt = 16;
constexpr std::size_t kFreeRootAt = 80;  // mm_dbs[FREE_DBI].md_root
constexpr std::size_t kLastPageAt = 136;
constexpr std::size_t kTxnIdAt = 144;
constexpr std::size_t kMetaBytes = 152;
constexpr std::uint32_t kMetaMagic = 0xBEEFC0DE;
constexpr std::uint64_t kNoPage = ~std::uint64_t{0};  // the root of an empty tree
// A node: data size (low and high 16 bits), flags, key size, then key and data. In a branch
// node the size and flag fields hold the child's page number instead.
constexpr std::size_t kNodeHeader = 8;
constexpr std::uint16_t kBigData = 0x01;  // the data lives on overflow pages

constexpr int kEmptyLooks = 50;
constexpr std::chrono::milliseconds kEmptyWait{20};
// Each attempt lasts until the next commit but one of another process overwrites the meta page
// of the snapshot being checked.
constexpr int kSnapshotAttempts = 20;

template <typename T>
T Load(const std::string& bytes, std::size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

bool ReadAt(int fd, std::uint64_t offset, std::size_t n, std::string* out) {
  out->resize(n);
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = pread(fd, out->data() + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

std::string DataFile(const std::string& dir) { return dir + "/data.mdb"; }

// The page numbers held by the free list, the tree rooted at `root`, read page by page with
// pread. Fails on any page outside the file, of the wrong kind or with bounds outside the page,
// and after reading as many pages as the file has (a tree whose pointers loop).
class FreeListReader {
 public:
  FreeListReader(int fd, std::size_t page_size, std::uint64_t file_pages)
      : fd_(fd), page_size_(page_size), file_pages_(file_pages) {}

  bool Read(std::uint64_t root, std::vector<std::uint64_t>* free) {
    if (root == kNoPage) return true;
    std::vector<std::uint64_t> pending{root};
    std::string page;
    while (!pending.empty()) {
      std::uint64_t number = pending.back();
      pending.pop_back();
      if (!ReadPages(number, 1, &page)) return false;
      const auto flags = Load<std::uint16_t>(page, kFlagsAt);
      const auto lower = Load<std::uint16_t>(page, kLowerAt);
      if (lower < kPageHeader || lower > page_size_ || (flags & (kBranchPage | kLeafPage)) == 0) {
        return false;
      }
      for (std::size_t i = 0; i < (lower - kPageHeader) / 2; ++i) {
        const auto node = Load<std::uint16_t>(page, kPageHeader + 2 * i);
        if (node < kPageHeader || node + kNodeHeader > page_size_) return false;
        const auto lo = Load<std::uint16_t>(page, node);
        const auto hi = Load<std::uint16_t>(page, node + 2);
        const auto node_flags = Load<std::uint16_t>(page, node + 4);
        const auto key_size = Load<std::uint16_t>(page, node + 6);
        if (flags & kBranchPage) {
          pending.push_back(lo | (std::uint64_t{hi} << 16) | (std::uint64_t{node_flags} << 32));
          continue;
        }
        const std::size_t data_size = lo | (std::size_t{hi} << 16);
        const std::size_t data_at = node + kNodeHeader + key_size;
        std::string list;
        if (node_flags & kBigData) {
          if (data_at + sizeof(std::uint64_t) > page_size_) return false;
          if (!ReadOverflow(Load<std::uint64_t>(page, data_at), data_size, &list)) return false;
        } else {
          if (data_at + data_size > page_size_) return false;
          list = page.substr(data_at, data_size);
        }
        if (!AppendIdList(list, free)) return false;
      }
    }
    return true;
  }

 private:
  bool ReadPages(std::uint64_t first, std::uint64_t count, std::string* out) {
    if (first >= file_pages_ || count > file_pages_ - first) return false;
    pages_read_ += count;
    if (pages_read_ > file_pages_) return false;
    return ReadAt(fd_, first * page_size_, static_cast<std::size_t>(count * page_size_), out);
  }

  bool ReadOverflow(std::uint64_t first, std::size_t size, std::string* out) {
    if (!ReadPages(first, 1, out)) return false;
    const auto count = Load<std::uint32_t>(*out, kOverflowCountAt);
    if (!(Load<std::uint16_t>(*out, kFlagsAt) & kOverflowPage) ||
        kPageHeader + size > std::uint64_t{count} * page_size_ || !ReadPages(first, count, out)) {
      return false;
    }
    *out = out->substr(kPageHeader, size);
    return true;
  }

  // One free-list record: a count n, then n page numbers.
  static bool AppendIdList(const std::string& list, std::vector<std::uint64_t>* free) {
    if (list.size() < sizeof(std::uint64_t)) return false;
    const auto n = Load<std::uint64_t>(list, 0);
    if (n > list.size() / sizeof(std::uint64_t) - 1) return false;
    for (std::uint64_t i = 1; i <= n; ++i) {
      free->push_back(Load<std::uint64_t>(list, static_cast<std::size_t>(i) * sizeof(std::uint64_t)));
    }
    return true;
  }

  int fd_;
  std::size_t page_size_;
  std::uint64_t file_pages_;
  std::uint64_t pages_read_ = 0;
};

struct Meta {
  std::uint64_t txn_id = 0;
  std::uint64_t last_page = 0;
  std::uint64_t free_root = kNoPage;
};

bool ReadMeta(int fd, std::uint64_t offset, Meta* meta) {
  std::string bytes;
  if (!ReadAt(fd, offset, kMetaBytes, &bytes)) return false;
  if (Load<std::uint32_t>(bytes, kMetaMagicAt) != kMetaMagic) return false;
  meta->txn_id = Load<std::uint64_t>(bytes, kTxnIdAt);
  meta->last_page = Load<std::uint64_t>(bytes, kLastPageAt);
  meta->free_root = Load<std::uint64_t>(bytes, kFreeRootAt);
  return true;
}

class ReadOnlyTxn {
 public:
  ~ReadOnlyTxn() {
    if (txn_) mdb_txn_abort(txn_);
  }
  int Begin(MDB_env* env) { return mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn_); }
  MDB_txn* get() const { return txn_; }

 private:
  MDB_txn* txn_ = nullptr;
};

enum class Coverage { kCovered, kTruncated, kSnapshotGone };

// Whether the file holds every page of the snapshot `snapshot` that is not free.
Coverage CheckSnapshot(int fd, std::size_t page_size, std::uint64_t snapshot,
                       std::uint64_t* file_bytes, std::uint64_t* needed_bytes) {
  Meta metas[2];
  Meta* meta = nullptr;
  for (int i = 0; i < 2; ++i) {
    if (ReadMeta(fd, i * page_size, &metas[i]) && metas[i].txn_id == snapshot) meta = &metas[i];
  }
  if (!meta) return Coverage::kSnapshotGone;
  struct stat st;
  if (fstat(fd, &st) != 0) return Coverage::kTruncated;
  // The file only grows, and a commit writes its pages before its meta page: a size taken after
  // the meta page was read covers every page that meta page's transaction wrote.
  const auto file_pages = static_cast<std::uint64_t>(st.st_size) / page_size;
  *file_bytes = static_cast<std::uint64_t>(st.st_size);
  *needed_bytes = (meta->last_page + 1) * page_size;
  if (meta->last_page < file_pages) return Coverage::kCovered;
  std::vector<std::uint64_t> free;
  if (!FreeListReader(fd, page_size, file_pages).Read(meta->free_root, &free)) {
    return Coverage::kTruncated;
  }
  std::erase_if(free, [&](std::uint64_t p) { return p < file_pages || p > meta->last_page; });
  std::sort(free.begin(), free.end());
  free.erase(std::unique(free.begin(), free.end()), free.end());
  return free.size() == meta->last_page + 1 - file_pages ? Coverage::kCovered
                                                         : Coverage::kTruncated;
}

}  // namespace

Status CheckDataFileNotEmpty(const std::string& dir) {
  const std::string file = DataFile(dir);
  for (int look = 0; look < kEmptyLooks; ++look) {
    struct stat st;
    // A missing file is a shard not made yet; a file that cannot be looked at is left for LMDB
    // to report when it opens it.
    if (stat(file.c_str(), &st) != 0 || st.st_size != 0) return Status::Ok();
    std::this_thread::sleep_for(kEmptyWait);
  }
  return Status::Io(0, file + " is empty (0 bytes): the shard's records are gone, and opening "
                           "it would make it a new, empty shard. Restore the file, or, to go on "
                           "without its records, empty the shard's directory");
}

Status CheckDataFileCoversPages(MDB_env* env, const std::string& dir) {
  int fd = -1;
  if (int rc = mdb_env_get_fd(env, &fd); rc != 0) return Status::Lmdb(rc, "mdb_env_get_fd " + dir);
  MDB_stat stat;
  if (int rc = mdb_env_stat(env, &stat); rc != 0) return Status::Lmdb(rc, "mdb_env_stat " + dir);
  const std::size_t page_size = stat.ms_psize;
  std::uint64_t file_bytes = 0;
  std::uint64_t needed_bytes = 0;
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    // The read-only transaction keeps the snapshot's free list from being reused meanwhile.
    ReadOnlyTxn txn;
    if (int rc = txn.Begin(env); rc != 0) return Status::Lmdb(rc, "data file check " + dir);
    switch (CheckSnapshot(fd, page_size, mdb_txn_id(txn.get()), &file_bytes, &needed_bytes)) {
      case Coverage::kCovered:
        return Status::Ok();
      case Coverage::kTruncated:
        return Status::Io(0, DataFile(dir) + " is truncated: " + std::to_string(file_bytes) +
                                 " bytes, its pages reach " + std::to_string(needed_bytes));
      case Coverage::kSnapshotGone:
        break;
    }
  }
  return Status::Io(0, DataFile(dir) + " could not be checked: other processes kept committing "
                                       "to it; open the store again");
}

}  // namespace zanth
