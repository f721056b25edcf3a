// Sketch files: what is written is read back byte for byte, and a file with any one byte
// changed, cut anywhere, grown, or of another snapshot is never usable: refused when mapped,
// or a chunk of it fails its check. Every chunk hash kernel gives the scalar one's values.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core_test.h"
#include "vectors/kernels/chunk_hash.h"
#include "vectors/search/sketch_file.h"

namespace zanth {
namespace {

std::string TempDir() {
  char pattern[] = "/tmp/zanth_sketch_file_XXXXXX";
  return mkdtemp(pattern);
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Arrays {
  std::vector<std::int8_t> codes;
  std::vector<RecordSketchMeta> meta;
  std::vector<std::int64_t> ids;
};

Arrays RandomArrays(std::size_t records, std::size_t dim, std::mt19937_64& rng) {
  Arrays a;
  for (std::size_t i = 0; i < records * dim; ++i) a.codes.push_back(static_cast<std::int8_t>(rng()));
  for (std::size_t i = 0; i < records; ++i) {
    a.meta.push_back({static_cast<float>(rng() % 1000), 1.5f, 0.25f});
    a.ids.push_back(static_cast<std::int64_t>(rng()));
  }
  return a;
}

}  // namespace

TEST_CASE(sketch_file_round_trip_and_every_damage_is_refused) {
  std::mt19937_64 rng(7);
  const std::string dir = TempDir();
  const std::string path = dir + "/sketches/shard_3.100";
  // Two chunks, the last one short.
  const SketchSnapshot snap{3, 100, 41, kSketchChunkRecords + 44, 9, 12345};
  const Arrays a = RandomArrays(snap.records, snap.dim, rng);
  MappedSketch written;
  const std::vector<std::uint64_t> sources = {rng(), rng()};
  CHECK(WriteSketchFile(path, snap, a.codes.data(), a.meta.data(), a.ids.data(), sources.data(),
                        &written));
  CHECK(written.mapping && written.mapping->bytes() == SketchFileBytes(snap.records, snap.dim));
  MappedSketch loaded;
  CHECK(LoadSketchFile(path, snap, &loaded) == SketchFileState::kUsable);
  CHECK(loaded.identity == written.identity && loaded.identity == IdentityOf(path));
  CHECK(std::memcmp(loaded.codes, a.codes.data(), a.codes.size()) == 0);
  CHECK(std::memcmp(loaded.meta, a.meta.data(), a.meta.size() * sizeof(RecordSketchMeta)) == 0);
  CHECK(std::memcmp(loaded.ids, a.ids.data(), a.ids.size() * sizeof(std::int64_t)) == 0);
  CHECK(loaded.sources[0] == sources[0] && loaded.sources[1] == sources[1]);

  // Each field of the snapshot names another one.
  for (std::uint64_t SketchSnapshot::*field :
       {&SketchSnapshot::shard, &SketchSnapshot::dim, &SketchSnapshot::txn_id,
        &SketchSnapshot::records, &SketchSnapshot::data_dev, &SketchSnapshot::data_ino}) {
    SketchSnapshot other = snap;
    other.*field += 1;
    MappedSketch out;
    CHECK(LoadSketchFile(path, other, &out) == SketchFileState::kOtherSnapshot && !out.mapping);
  }

  const std::vector<char> good = ReadAll(path);
  auto refused = [&](const std::vector<char>& bytes) {
    WriteAll(path, bytes);
    MappedSketch out;
    if (LoadSketchFile(path, snap, &out) != SketchFileState::kUsable) return !out.mapping;
    for (std::size_t c = 0; c * kSketchChunkRecords < snap.records; ++c) {
      if (SketchChunkHash(out.codes, out.meta, out.ids, snap.records, snap.dim, c) !=
          out.chunk_hashes[c]) {
        return true;
      }
    }
    return false;
  };
  // Every byte of the file, flipped in one bit.
  int accepted = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    std::vector<char> bad = good;
    bad[at] = static_cast<char>(bad[at] ^ (1 << (at % 8)));
    accepted += !refused(bad);
  }
  CHECK(accepted == 0);
  for (std::size_t keep = 0; keep < good.size(); keep += 509) {
    CHECK(refused(std::vector<char>(good.begin(), good.begin() + static_cast<long>(keep))));
  }
  CHECK(refused(std::vector<char>(good.begin(), good.end() - 1)));
  std::vector<char> longer = good;
  longer.push_back(0);
  CHECK(refused(longer));
  CHECK(!refused(good));
  unlink(path.c_str());
  MappedSketch none;
  CHECK(LoadSketchFile(path, snap, &none) == SketchFileState::kMissing);
  CHECK(IdentityOf(path).size == -1);
  std::system(("rm -rf " + dir).c_str());
}

TEST_CASE(chunk_hash_kernels_agree_and_see_every_flipped_bit) {
  std::mt19937_64 rng(11);
  std::vector<unsigned char> bytes(4 * 64 * chunk_hash::kScrambleEvery + 77);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  for (CpuLevel level : AvailableCpuLevels()) {
    const ChunkHasher hash = ChunkHasherFor(level);
    for (std::size_t n : {0, 1, 63, 64, 65, 200, 2048, 2049, 4095, 4096, 8266}) {
      for (std::uint64_t seed : {0ULL, 1ULL, ~0ULL}) {
        CHECK(hash(bytes.data() + 3, n, seed) == ChunkHashScalar(bytes.data() + 3, n, seed));
      }
    }
  }
  const ChunkHasher hash = BestChunkHasher();
  const std::uint64_t good = hash(bytes.data(), bytes.size(), 5);
  int unchanged = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (int bit = 0; bit < 8; bit += 3) {
      bytes[at] ^= static_cast<unsigned char>(1 << bit);
      unchanged += hash(bytes.data(), bytes.size(), 5) == good;
      bytes[at] ^= static_cast<unsigned char>(1 << bit);
    }
  }
  CHECK(unchanged == 0);
  // Two stripes traded, the length and the seed each change it.
  std::vector<unsigned char> traded = bytes;
  std::swap_ranges(traded.begin(), traded.begin() + 64, traded.begin() + 640);
  CHECK(hash(traded.data(), traded.size(), 5) != good);
  CHECK(hash(bytes.data(), bytes.size() - 1, 5) != good && hash(bytes.data(), bytes.size(), 6) != good);
}

TEST_CASE(sketch_file_temporaries_of_gone_processes_are_removed) {
  const std::string dir = TempDir();
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const std::string gone = dir + "/.shard_0.128.tmp." + std::to_string(child) + ".0";
  const std::string live = dir + "/.shard_1.128.tmp." + std::to_string(getpid()) + ".3";
  const std::string other = dir + "/shard_1.128";
  for (const std::string& p : {gone, live, other}) WriteAll(p, {'x'});
  CHECK(RemoveStrayTemporaries(dir) == 1);
  CHECK(access(gone.c_str(), F_OK) != 0);
  CHECK(access(live.c_str(), F_OK) == 0 && access(other.c_str(), F_OK) == 0);
  // A folder that cannot be made (a file is in the way): nothing written, nothing left.
  WriteAll(dir + "/sketches", {'x'});
  const SketchSnapshot snap{0, 100, 1, 1, 0, 0};
  const std::vector<std::int8_t> codes(100);
  const RecordSketchMeta meta{1, 1, 1};
  const std::int64_t id = 5;
  MappedSketch out;
  CHECK(!WriteSketchFile(dir + "/sketches/shard_0.100", snap, codes.data(), &meta, &id, nullptr,
                         &out));
  CHECK(!out.mapping);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace zanth
