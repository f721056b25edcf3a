// Every kernel this CPU runs must give the scalar kernel's scores bit for bit, and the scalar
// kernel must add in the defined order.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core_test.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/records/vector_block.h"

namespace zanth {

namespace {

std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Same bits, or both NaN (NaN payloads may legitimately differ between instruction sets).
bool SameScore(float a, float b) {
  return Bits(a) == Bits(b) || (std::isnan(a) && std::isnan(b));
}

// Records of `dim` values each, back to back like a block value.
std::vector<char> MakeRecords(std::size_t count, std::size_t dim, std::mt19937& gen,
                              bool special_values) {
  std::size_t record_size = kRecordIdSize + dim * sizeof(float);
  std::vector<char> bytes(count * record_size);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 15);
  const float specials[] = {0.0f,
                            -0.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(),
                            1e-30f};
  for (std::size_t j = 0; j < count; ++j) {
    std::int64_t id = static_cast<std::int64_t>(j);
    std::memcpy(bytes.data() + j * record_size, &id, sizeof id);
    for (std::size_t i = 0; i < dim; ++i) {
      float v = normal(gen) * 100.0f;
      if (special_values && pick(gen) == 0) v = specials[pick(gen) % 8];
      std::memcpy(bytes.data() + j * record_size + kRecordIdSize + i * sizeof(float), &v,
                  sizeof v);
    }
  }
  return bytes;
}

std::vector<const char*> Pointers(const std::vector<char>& bytes, std::size_t count,
                                  std::size_t dim) {
  std::vector<const char*> ptrs(count);
  for (std::size_t j = 0; j < count; ++j) ptrs[j] = bytes.data() + j * (kRecordIdSize + dim * 4);
  return ptrs;
}

}  // namespace

TEST_CASE(scalar_kernel_adds_in_dimension_order) {
  // 1e8 + 1 - 1e8 in float32 is 0 when added left to right (1e8 + 1 rounds to 1e8); any
  // reordering that adds 1 last would give 1.
  float q[3] = {1.0f, 1.0f, 1.0f};
  char record[8 + 12] = {};
  float v[3] = {1e8f, 1.0f, -1e8f};
  std::memcpy(record + 8, v, sizeof v);
  CHECK(Bits(ScoreOne(q, 3, record + 8)) == Bits(0.0f));
  // No fused multiply-add: fl32(fl32(a*b) + c) differs from fma(a, b, c) for these values.
  float a = 1.0f + 0x1p-12f, c = -(1.0f + 0x1p-11f);
  float q2[2] = {1.0f, a};
  float v2[2] = {c, a};
  std::memcpy(record + 8, v2, sizeof v2);
  float expected = c + static_cast<float>(a * a);
  CHECK(Bits(ScoreOne(q2, 2, record + 8)) == Bits(expected));
  CHECK(Bits(expected) != Bits(std::fma(a, a, c)));
  // d = 0: the score is the starting value, -0.0.
  CHECK(Bits(ScoreOne(q, 0, record + 8)) == Bits(-0.0f));
}

TEST_CASE(every_kernel_matches_scalar_bit_for_bit) {
  std::mt19937 gen(20240611);
  const std::size_t dims[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 128, 129, 768};
  const std::size_t counts[] = {0, 1, 5, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 256};
  std::vector<CpuLevel> levels = AvailableCpuLevels();
  CHECK(!levels.empty() && levels.front() == CpuLevel::kScalar);
  CHECK(KernelFor(BestCpuLevel()) == BestKernel());
  for (bool special : {false, true}) {
    for (std::size_t dim : dims) {
      std::vector<char> bytes = MakeRecords(256, dim, gen, special);
      std::vector<float> query(dim);
      std::normal_distribution<float> normal(0.0f, 1.0f);
      for (float& x : query) x = normal(gen);
      if (special && dim > 2) query[dim / 2] = -0.0f;
      for (std::size_t count : counts) {
        std::vector<const char*> ptrs = Pointers(bytes, count, dim);
        // A shuffled, repeating pointer list, as a filtered scan hands over.
        std::vector<const char*> scattered(count);
        for (std::size_t j = 0; j < count; ++j) scattered[j] = ptrs[(j * 7 + 3) % count];
        for (const auto* list : {&ptrs, &scattered}) {
          std::vector<float> want(count), got(count);
          ScoreRecordsScalar(query.data(), dim, list->data(), count, want.data());
          for (std::size_t j = 0; j < count; ++j) {
            CHECK(SameScore(want[j], ScoreOne(query.data(), dim, (*list)[j] + 8)));
          }
          for (CpuLevel level : levels) {
            std::fill(got.begin(), got.end(), 12345.0f);
            KernelFor(level)(query.data(), dim, list->data(), count, got.data());
            for (std::size_t j = 0; j < count; ++j) {
              if (!SameScore(want[j], got[j])) {
                std::printf("  %s dim=%zu count=%zu j=%zu: %a vs %a\n", CpuLevelName(level),
                            dim, count, j, static_cast<double>(want[j]),
                            static_cast<double>(got[j]));
                CHECK(SameScore(want[j], got[j]));
                break;
              }
            }
          }
        }
      }
    }
  }
}

TEST_CASE(every_tile_kernel_matches_scalar_bit_for_bit) {
  // Scores against ScoreOne for every (query, record) pair, and the passing bits against the
  // rule "not at or below the threshold", with NaN and infinite thresholds among them.
  std::mt19937 gen(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (CpuLevel level : AvailableCpuLevels()) {
    TileKernel kernel = TileKernelFor(level);
    CHECK(kernel.score != nullptr && kernel.queries <= 32 && kernel.records <= 32);
    for (std::size_t dim : {0, 1, 7, 8, 17, 128, 131}) {
      std::vector<char> bytes = MakeRecords(kernel.records, dim, gen, dim % 2 == 1);
      std::vector<const char*> ptrs = Pointers(bytes, kernel.records, dim);
      std::reverse(ptrs.begin(), ptrs.end());
      std::vector<float> queries(kernel.queries * dim), tile(kernel.queries * dim);
      for (float& x : queries) x = normal(gen);
      if (dim > 2) queries[dim / 2] = nan;  // query 0 scores NaN everywhere
      for (std::size_t q = 0; q < kernel.queries; ++q) {
        for (std::size_t i = 0; i < dim; ++i) tile[i * kernel.queries + q] = queries[q * dim + i];
      }
      std::vector<float> thresholds(kernel.queries);
      for (std::size_t q = 0; q < kernel.queries; ++q) {
        thresholds[q] = q % 4 == 0 ? nan : q % 4 == 1 ? -INFINITY : normal(gen) * 100.0f;
      }
      std::vector<float> scores(kernel.records * kernel.queries);
      std::vector<std::uint32_t> passing(kernel.records);
      kernel.score(tile.data(), dim, ptrs.data(), thresholds.data(), scores.data(),
                   passing.data());
      for (std::size_t r = 0; r < kernel.records; ++r) {
        for (std::size_t q = 0; q < kernel.queries; ++q) {
          float want = ScoreOne(queries.data() + q * dim, dim, ptrs[r] + kRecordIdSize);
          float got = scores[r * kernel.queries + q];
          bool passes = (passing[r] >> q) & 1;
          if (!SameScore(want, got) || passes != !(want < thresholds[q])) {
            std::printf("  tile %s dim=%zu r=%zu q=%zu: %a vs %a\n", CpuLevelName(level), dim,
                        r, q, static_cast<double>(want), static_cast<double>(got));
            CHECK(false);
          }
        }
      }
    }
  }
}

}  // namespace zanth
