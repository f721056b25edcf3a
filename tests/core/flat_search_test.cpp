// Block keys, finding the last block among other keys, and filtered search against a brute-force
// model, on real stores in a temporary directory.
#include <lmdb.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core_test.h"
#include "index/id_set.h"
#include "store/lmdb_handles.h"
#include "base/id_key.h"
#include "vectors/batch_search.h"
#include "vectors/flat_search.h"
#include "vectors/score_kernels.h"
#include "vectors/vector_append.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

struct TempStore {
  std::string dir;
  std::shared_ptr<const StoreHandle> store;

  explicit TempStore(std::size_t shards) {
    char pattern[] = "/tmp/zanth_vec_test_XXXXXX";
    dir = mkdtemp(pattern);
    auto opened = StoreHandle::Open(dir + "/store", shards, std::uint64_t{1} << 30);
    CHECK(opened.ok());
    store = opened.take();
  }
  ~TempStore() {
    store.reset();
    std::filesystem::remove_all(dir);
  }
};

void Append(const StoreHandle& store, const std::vector<float>& values, std::size_t dim,
            const std::vector<std::int64_t>& ids) {
  FloatRows rows{reinterpret_cast<const char*>(values.data()), ids.size(), dim,
                 static_cast<std::ptrdiff_t>(dim * sizeof(float)), sizeof(float)};
  auto batches = BuildVectorBatches(rows, ids, store.num_shards());
  CHECK(batches.ok());
  CHECK(AppendVectorBatches(store, batches.value()).ok());
}

Status PutRaw(const StoreHandle& store, std::size_t shard, std::string_view key,
              std::string_view value) {
  Txn txn;
  if (int rc = txn.BeginWrite(store.environment(shard)); rc != 0) return Status::Lmdb(rc, "begin");
  MDB_val k = ToVal(key), v = ToVal(value);
  if (int rc = mdb_put(txn.get(), store.dbi(shard), &k, &v, 0); rc != 0) {
    return Status::Lmdb(rc, "put");
  }
  if (int rc = txn.Commit(); rc != 0) return Status::Lmdb(rc, "commit");
  return Status::Ok();
}

Result<LastBlock> LastOf(const StoreHandle& store, std::size_t shard, std::uint32_t* number) {
  Txn txn;
  CHECK(txn.BeginRead(store.environment(shard)) == 0);
  auto last = FindLastBlock(txn.get(), store.dbi(shard));
  if (last.ok() && last.value().found) *number = last.value().number;
  return last;
}

}  // namespace

TEST_CASE(block_keys_are_big_endian_after_p) {
  BlockKey key = EncodeBlockKey(258);
  const unsigned char want[5] = {0x70, 0x00, 0x00, 0x01, 0x02};
  CHECK(std::memcmp(key.data(), want, 5) == 0);
  CHECK(DecodeBlockNumber({key.data(), key.size()}) == 258);
  CHECK(DecodeBlockNumber({EncodeBlockKey(UINT32_MAX).data(), 5}) == UINT32_MAX);
  CHECK(IsBlockKey({key.data(), 5}));
  IdKey object_112 = EncodeId(112);  // begins with 0x70 but is 8 bytes long
  CHECK(!IsBlockKey(KeyView(object_112)) && InVectorKeyRange(KeyView(object_112)));
  CHECK(RecordSize(3) == 20 && RecordSize(0) == 8 && RecordSize(UINT64_MAX / 2) == UINT64_MAX);
}

TEST_CASE(last_block_is_found_among_other_p_keys) {
  TempStore t(1);
  const StoreHandle& store = *t.store;
  std::uint32_t number = 99;
  auto none = LastOf(store, 0, &number);
  CHECK(none.ok() && !none.value().found);
  // Only non-block keys in the range: still no block.
  CHECK(PutRaw(store, 0, KeyView(EncodeId(112)), "object").ok());
  CHECK(PutRaw(store, 0, "price:10|12345678", "index").ok());
  none = LastOf(store, 0, &number);
  CHECK(none.ok() && !none.value().found);
  // Blocks 0 and 7, the object between them, index keys beginning with 'p' after them, and
  // keys of both neighbouring ranges.
  std::vector<char> record(kRecordIdSize, 0);
  CHECK(PutRaw(store, 0, {EncodeBlockKey(0).data(), 5}, {record.data(), 8}).ok());
  CHECK(PutRaw(store, 0, {EncodeBlockKey(7).data(), 5}, {record.data(), 8}).ok());
  for (int i = 0; i < 50; ++i) {
    std::string key = "p";
    key += static_cast<char>(i);
    key += "xxxx|12345678";
    CHECK(PutRaw(store, 0, key, "index").ok());
  }
  CHECK(PutRaw(store, 0, std::string("\x70\x00\x00\x00\x07\x00", 6), "six bytes").ok());
  CHECK(PutRaw(store, 0, "q", "after").ok());
  CHECK(PutRaw(store, 0, "o", "before").ok());
  number = 99;
  auto last = LastOf(store, 0, &number);
  CHECK(last.ok() && last.value().found && number == 7);
  // Appending continues block 7, whatever sorts around it.
  Append(store, std::vector<float>{}, 0, {5, 6});
  last = LastOf(store, 0, &number);
  CHECK(last.ok() && number == 7 && last.value().value.size() == 24);
}

TEST_CASE(filtered_search_matches_brute_force_in_every_mode) {
  std::mt19937 gen(77);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t dim = 19;
  const std::size_t n = 3000;
  std::vector<float> values(n * dim);
  for (float& v : values) v = normal(gen);
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(i * 3) - 1000;
  std::vector<float> query(dim);
  for (float& v : query) v = normal(gen);
  const std::size_t batch = 21;  // crosses a tile of queries on every level
  std::vector<float> queries(batch * dim);
  for (float& v : queries) v = normal(gen);
  // One shard (its blocks dealt out to several tasks) and five.
  for (std::size_t shards : {1, 5}) {
    TempStore t(shards);
    const StoreHandle& store = *t.store;
    Append(store, values, dim, ids);
    std::vector<IdSet> sets(5);
    std::vector<std::int64_t> tenth;
    for (std::size_t i = 0; i < n; i += 10) tenth.push_back(ids[i]);
    sets[0] = IdSet::FromIds(tenth, false);  // include 10%
    sets[1] = IdSet::FromIds(tenth, true);   // exclude the same 10%
    sets[2].negated = true;  // everything
    // sets[3]: include nothing; sets[4]: include ids that were never stored
    sets[4] = IdSet::FromIds({1, -999}, false);
    std::vector<const IdSet*> filters = {nullptr, &sets[0], &sets[1], &sets[2], &sets[3], &sets[4]};
    for (const IdSet* filter : filters) {
      std::vector<ScoredHit> want;
      for (std::size_t i = 0; i < n; ++i) {
        if (filter && !filter->Accepts(ids[i])) continue;
        const char* rec = reinterpret_cast<const char*>(values.data() + i * dim);
        want.push_back({ScoreOne(query.data(), dim, rec), ids[i]});
      }
      std::sort(want.begin(), want.end(), RanksBefore);
      for (KernelLevel level : AvailableKernelLevels()) {
        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10},
                                std::uint64_t{n + 5}, UINT64_MAX}) {
          auto got = SearchFlat(store, query.data(), dim, filter, k, KernelFor(level));
          CHECK(got.ok());
          if (!got.ok()) continue;
          std::size_t expect = std::min<std::uint64_t>(k, want.size());
          CHECK(got.value().size() == expect);
          for (std::size_t i = 0; i < std::min(expect, got.value().size()); ++i) {
            // Random normal scores do not tie, so the order is unique.
            CHECK(got.value()[i].id == want[i].id);
            CHECK(std::memcmp(&got.value()[i].score, &want[i].score, 4) == 0);
          }
        }
        // Every row of a batch on this level's tile kernel equals its single search.
        const TileKernel tile = TileKernelFor(level);
        for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{n + 5}}) {
          auto rows = SearchFlatBatch(store, queries.data(), batch, dim, filter, k, &tile);
          CHECK(rows.ok() && rows.value().size() == batch);
          for (std::size_t q = 0; rows.ok() && q < batch; ++q) {
            auto single = SearchFlat(store, queries.data() + q * dim, dim, filter, k);
            const auto& row = rows.value()[q];
            CHECK(single.ok() && single.value().size() == row.size() &&
                  std::equal(row.begin(), row.end(), single.value().begin(),
                             [](const ScoredHit& a, const ScoredHit& b) {
                               return a.id == b.id && std::memcmp(&a.score, &b.score, 4) == 0;
                             }));
          }
        }
      }
    }
  }
}

}  // namespace zanth

namespace zanth {

// A shard whose read transaction cannot begin (every reader slot taken) fails the search with
// its LMDB error after the other shards were scanned, instead of silently missing its hits.
TEST_CASE(unreadable_shard_fails_the_search) {
  TempStore t(2);
  const StoreHandle& store = *t.store;
  Append(store, {1.0f, 2.0f, 3.0f, 4.0f}, 1, {0, 1, 2, 3});
  std::vector<Txn> readers;
  for (;;) {
    Txn txn;
    int rc = txn.BeginRead(store.environment(1));
    if (rc == MDB_READERS_FULL) break;
    CHECK(rc == 0);
    if (rc != 0 || readers.size() > 100000) break;
    readers.push_back(std::move(txn));
  }
  float query = 1.0f;
  auto result = SearchFlat(store, &query, 1, nullptr, 10);
  CHECK(!result.ok());
  if (!result.ok()) {
    CHECK(result.status().code() == StatusCode::kLmdb);
    CHECK(result.status().error_number() == MDB_READERS_FULL);
    CHECK(result.status().ToString().rfind("LMDB: MDB_READERS_FULL", 0) == 0);
  }
  readers.clear();
  auto again = SearchFlat(store, &query, 1, nullptr, 10);
  CHECK(again.ok() && again.value().size() == 4 && again.value()[0].id == 3);
}

}  // namespace zanth
