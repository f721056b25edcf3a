// The sketch bounds must hold against the computed float32 score (ScoreOne), never merely the
// real inner product; every sketch kernel and builder must agree with the scalar ones.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core_test.h"
#include "vectors/kernels/bound_kernels.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/kernels/sketch.h"
#include "vectors/kernels/sketch_kernels.h"
#include "vectors/kernels/sketch_tile.h"

namespace zanth {

namespace {

enum class Family { kGauss, kFineBits, kScaledCodes, kMagnitudes, kSpecial, kTiny, kHugeNorm, kExact };

// Values of one family. kFineBits: positive values that use all 24 significand bits, so the
// codes leave small residuals while the float sum rounds at every step; the bound then rests on
// its rounding slack rather than on the quantisation terms. kScaledCodes: a full-significand
// scale times positive codes, so the residuals are a rounding apart from zero and the rounding
// of the long positive sum is all that separates the score from the codes' estimate.
// kHugeNorm: finite values whose norm exceeds the float range, so the bound's float terms
// overflow. kExact: values the codes hold exactly (0 and +-2^-20), so
// the residual is zero and a zero times an overflowed term is NaN; about one record in eight
// is all zeros.
std::vector<float> Draw(Family family, std::size_t dim, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 38), pick(0, 63), positive_code(1, 127);
  const float code_scale = 1.0f + unit(gen);
  std::vector<float> v(dim);
  const float row_scale = std::pow(10.0f, static_cast<float>(exponent(gen)));
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(), -0.0f};
  for (std::size_t i = 0; i < dim; ++i) {
    switch (family) {
      case Family::kGauss:
        v[i] = normal(gen);
        break;
      case Family::kFineBits:
        v[i] = 100.0f + unit(gen) * 27.0f;
        break;
      case Family::kScaledCodes:
        v[i] = code_scale * static_cast<float>(i == 0 ? 127 : positive_code(gen));
        break;
      case Family::kMagnitudes:
        v[i] = normal(gen) * row_scale;
        break;
      case Family::kSpecial:
        v[i] = pick(gen) == 0 ? specials[pick(gen) % 6] : normal(gen);
        break;
      case Family::kTiny:
        v[i] = normal(gen) * 1e-40f;
        break;
      case Family::kHugeNorm:
        v[i] = i < 4 ? 3e38f : normal(gen);
        break;
      case Family::kExact:
        v[i] = row_scale < 1e-30f ? 0.0f : static_cast<float>(pick(gen) % 3 - 1) * 0x1p-20f;
        break;
    }
  }
  return v;
}

// `bytes` bytes that end where an unreadable page begins: a kernel reading past them faults.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    span_ = (bytes + page - 1) / page * page + page;
    region_ = static_cast<char*>(
        mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (region_ == MAP_FAILED) std::abort();
    mprotect(region_ + span_ - page, page, PROT_NONE);
    data_ = region_ + span_ - page - bytes;
  }
  ~GuardedBytes() { munmap(region_, span_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  char* data() const { return data_; }

 private:
  char* region_;
  char* data_;
  std::size_t span_;
};

}  // namespace

TEST_CASE(sketch_bounds_hold_for_the_computed_score) {
  std::mt19937 gen(7);
  const Family families[] = {Family::kGauss,   Family::kFineBits, Family::kScaledCodes,
                             Family::kMagnitudes, Family::kSpecial, Family::kTiny,
                             Family::kHugeNorm,   Family::kExact};
  std::vector<SketchBuilder> builders;
  for (CpuLevel level : AvailableCpuLevels()) {
    builders.push_back(SketchBuilderFor(level));
  }
  CHECK(builders.front() == &SketchRecordScalar);
  std::size_t covered = 0;
  for (std::size_t dim : {100, 101, 128, 1000, 4097}) {
    for (Family qf : families) {
      std::vector<float> query = Draw(qf, dim, gen);
      QuerySketch qs;
      const bool usable = MakeQuerySketch(query.data(), dim, &qs);
      if (!usable) continue;
      for (Family vf : families) {
        for (int rep = 0; rep < 20; ++rep) {
          std::vector<float> v = Draw(vf, dim, gen);
          const char* values = reinterpret_cast<const char*>(v.data());
          const float score = ScoreOne(query.data(), dim, values);
          std::vector<std::int8_t> want(dim), got(dim);
          RecordSketchMeta want_meta, got_meta;
          SketchRecordScalar(values, dim, want.data(), &want_meta);
          for (SketchBuilder build : builders) {
            build(values, dim, got.data(), &got_meta);
            // The residual's sum of squares may round in another order, nothing more.
            CHECK(got == want && got_meta.scale == want_meta.scale &&
                  got_meta.code_norm == want_meta.code_norm &&
                  (got_meta.resid_norm == want_meta.resid_norm ||
                   std::fabs(got_meta.resid_norm - want_meta.resid_norm) <=
                       0x1p-20 * want_meta.resid_norm));
            double low, high;
            if (!ScoreBounds(qs, got_meta, SketchDot(qs.codes.data(), got.data(), dim), &low,
                             &high)) {
              continue;
            }
            ++covered;
            if (!(std::isfinite(score) && low <= score && score <= high)) {
              std::printf("  dim=%zu families=%d/%d: %a not in [%a, %a]\n", dim,
                          static_cast<int>(qf), static_cast<int>(vf),
                          static_cast<double>(score), low, high);
              CHECK(false);
            }
            // A bound too loose to prune anything would pass the check above.
            if (qf == Family::kGauss && vf == Family::kGauss) {
              CHECK(high - low < 0.1 * qs.norm * (got_meta.code_norm + got_meta.resid_norm));
            }
          }
        }
      }
    }
  }
  CHECK(covered > 1000);
  // Non-finite queries cannot be bounded.
  std::vector<float> nan_query(100, 1.0f);
  nan_query[3] = std::numeric_limits<float>::quiet_NaN();
  QuerySketch qs;
  CHECK(!MakeQuerySketch(nan_query.data(), 100, &qs));
}

TEST_CASE(every_sketch_kernel_matches_scalar) {
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> code(-127, 127);
  for (std::size_t dim : {1, 31, 32, 33, 80, 95, 96, 97, 128, 300, 1000, 4097}) {
    for (std::size_t count : {0, 1, 3, 17, 256}) {
      const std::size_t bytes = dim * count;
      GuardedBytes region(bytes);
      auto* codes = reinterpret_cast<std::int8_t*>(region.data());
      for (std::size_t i = 0; i < bytes; ++i) codes[i] = static_cast<std::int8_t>(code(gen));
      std::vector<std::int8_t> query(dim);
      std::vector<std::int16_t> wide(dim);
      for (std::size_t i = 0; i < dim; ++i) {
        query[i] = static_cast<std::int8_t>(i % 5 == 0 ? -127 : code(gen));
        wide[i] = query[i];
      }
      std::vector<std::int32_t> want(count), got(count);
      SketchDotsScalar(query.data(), wide.data(), dim, codes, count, want.data());
      for (CpuLevel level : AvailableCpuLevels()) {
        std::fill(got.begin(), got.end(), 12345);
        SketchKernelFor(level)(query.data(), wide.data(), dim, codes, count, got.data());
        if (got != want) std::printf("  %s dim=%zu count=%zu\n", CpuLevelName(level), dim, count);
        CHECK(got == want);
      }
    }
  }
}

// Every bound kernel keeps the records, with the bounds, of the scalar one, for floors that
// keep every record, about half, none, and NaN bounds and uncovered records among them.
TEST_CASE(every_bound_kernel_matches_scalar) {
  std::mt19937 gen(31);
  const Family families[] = {Family::kGauss, Family::kMagnitudes, Family::kSpecial,
                             Family::kHugeNorm, Family::kExact};
  const std::size_t dim = 100;
  for (Family family : families) {
    std::vector<float> query = Draw(Family::kGauss, dim, gen);
    QuerySketch qs;
    CHECK(MakeQuerySketch(query.data(), dim, &qs));
    for (std::size_t count : {0, 1, 7, 8, 9, 31, 256}) {
      std::vector<RecordSketchMeta> meta(count);
      std::vector<std::int32_t> dots(count);
      std::vector<std::int8_t> codes(dim);
      for (std::size_t i = 0; i < count; ++i) {
        std::vector<float> v = Draw(family, dim, gen);
        SketchRecordScalar(reinterpret_cast<const char*>(v.data()), dim, codes.data(), &meta[i]);
        dots[i] = SketchDot(qs.codes.data(), codes.data(), dim);
      }
      std::vector<std::size_t> want_kept(count), got_kept(count);
      std::vector<double> want_lows(count), want_highs(count), got_lows(count), got_highs(count);
      const double middle =
          count ? static_cast<double>(meta[count / 2].scale) * qs.scale * dots[count / 2] : 0;
      for (double floor : {-std::numeric_limits<double>::infinity(), middle,
                           std::numeric_limits<double>::infinity()}) {
        const std::size_t want = BoundRecordsScalar(qs, meta.data(), dots.data(), count, floor,
                                                    want_kept.data(), want_lows.data(),
                                                    want_highs.data());
        for (CpuLevel level : AvailableCpuLevels()) {
          const std::size_t got = BoundKernelFor(level)(qs, meta.data(), dots.data(), count, floor,
                                                        got_kept.data(), got_lows.data(),
                                                        got_highs.data());
          const std::size_t bytes = want * sizeof(double);
          const bool same =
              got == want && std::equal(want_kept.begin(), want_kept.begin() + want,
                                        got_kept.begin()) &&
              (bytes == 0 || (std::memcmp(want_lows.data(), got_lows.data(), bytes) == 0 &&
                              std::memcmp(want_highs.data(), got_highs.data(), bytes) == 0));
          if (!same) std::printf("  %s count=%zu floor=%g\n", CpuLevelName(level), count, floor);
          CHECK(same);
        }
      }
    }
  }
}

// Every bound pass, whole tiles (VNNI) or query by query, must keep each record whose computed
// score reaches a lane's floor, and may raise a low floor only with a true lower bound.
TEST_CASE(tile_bound_pass_keeps_what_can_reach_the_floor) {
  std::mt19937 gen(23);
  const Family families[] = {Family::kGauss,       Family::kGauss,      Family::kFineBits,
                             Family::kScaledCodes, Family::kMagnitudes, Family::kSpecial,
                             Family::kTiny,        Family::kHugeNorm,   Family::kExact};
  std::uniform_int_distribution<std::size_t> family(0, std::size(families) - 1);
  std::bernoulli_distribution coin(0.5);
  std::size_t pruned = 0, checked = 0;
  for (std::size_t dim : {100, 103, 128, 257, 768}) {
    for (std::size_t lanes : {1, 16, 17, 32}) {
      std::vector<std::vector<float>> queries;
      std::vector<QuerySketch> sketches;
      while (queries.size() < lanes) {
        std::vector<float> q = Draw(families[family(gen)], dim, gen);
        QuerySketch qs;
        if (!MakeQuerySketch(q.data(), dim, &qs)) continue;
        queries.push_back(std::move(q));
        sketches.push_back(std::move(qs));
      }
      std::vector<const QuerySketch*> pointers;
      for (const QuerySketch& qs : sketches) pointers.push_back(&qs);
      SketchTile tile;
      MakeSketchTile(pointers.data(), lanes, dim, &tile);
      // Records with their codes at the end of readable memory.
      constexpr std::size_t kRecords = 40;
      GuardedBytes region(kRecords * dim);
      auto* codes = reinterpret_cast<std::int8_t*>(region.data());
      std::vector<RecordSketchMeta> meta(kRecords);
      std::vector<float> scores(kRecords * kTileLanes);
      for (std::size_t r = 0; r < kRecords; ++r) {
        std::vector<float> v = Draw(r % 3 == 0 ? families[family(gen)] : Family::kGauss, dim, gen);
        const char* values = reinterpret_cast<const char*>(v.data());
        SketchRecordScalar(values, dim, codes + r * dim, &meta[r]);
        for (std::size_t l = 0; l < lanes; ++l) {
          scores[r * kTileLanes + l] = ScoreOne(queries[l].data(), dim, values);
        }
      }
      // Calls over the last records (the guard page right after), dense and sparse.
      std::vector<std::vector<std::size_t>> calls = {{}, {}};
      for (std::size_t r = kRecords - kTileRecords; r < kRecords; ++r) calls[0].push_back(r);
      for (std::size_t r = 1; r < kRecords; r += 5) calls[1].push_back(r);
      for (std::size_t r = 0; r < kRecords - kTileRecords; ++r) calls.push_back({r});
      // Floors: a record's exact score (which it must pass, tie included), just under a
      // record's upper bound as ScoreBounds gives it (which it must pass too: a faster pass
      // may round differently, never by more), or none. Either for a random record in some
      // lanes, or for each lane's best record in all of them, where most records are below
      // every lane's floor and the cheapest test decides, or for its worst, which every record
      // reaches.
      for (const int mode : {0, 1, 2}) {
        const bool everywhere = mode != 0;
        double floors[kTileLanes], low_floors[kTileLanes];
        std::size_t edge_of[kTileLanes];
        std::uniform_int_distribution<int> choice(0, 2);
        for (std::size_t l = 0; l < kTileLanes; ++l) {
          std::size_t r = (7 * l + 3) % kRecords;
          for (std::size_t j = 0; everywhere && j < kRecords; ++j) {
            const float s = scores[j * kTileLanes + l], at = scores[r * kTileLanes + l];
            if (std::isfinite(s) && (mode == 1 ? !(at >= s) : !(at <= s))) r = j;
          }
          const double tie = scores[r * kTileLanes + l];
          double low = 0, high = 0;
          const bool bounded =
              l < lanes && ScoreBounds(sketches[l], meta[r],
                                       SketchDot(sketches[l].codes.data(), codes + r * dim, dim),
                                       &low, &high);
          floors[l] = -std::numeric_limits<double>::infinity();
          edge_of[l] = kRecords;
          const int pick = everywhere ? choice(gen) % 2 : choice(gen);
          if (pick == 0 && !std::isnan(tie)) floors[l] = tie;
          if (pick == 1 && bounded) {
            floors[l] = high - 0x1p-40 * (std::fabs(low) + std::fabs(high)) - 0x1p-140;
            edge_of[l] = r;
          }
          low_floors[l] =
              everywhere || coin(gen) ? floors[l] : -std::numeric_limits<double>::infinity();
        }
        for (CpuLevel level : AvailableCpuLevels()) {
          const TileBounder bounder(level);
          CHECK(bounder.tiled() ==
                (level == CpuLevel::kAvx512Vnni || level == CpuLevel::kAmx));
          for (std::size_t call = 0; call < 2 * calls.size(); ++call) {
            // Each call twice: the kernel summing the codes itself, and given the sums.
            const std::vector<std::size_t>& positions = calls[call / 2];
            std::int32_t sums[kRecords];
            if (call % 2 == 1 && bounder.sums_codes(lanes)) {
              SketchCodeSums(codes, dim, positions.data(), positions.size(), sums);
            }
            const TileRecords records{codes, meta.data(), positions.data(), positions.size(),
                                      call % 2 == 1 ? sums : nullptr};
            TileOutcome out;
            bounder.Run(TileBounder::Session(bounder), tile, records, floors, low_floors, &out);
            for (std::size_t i = 0; i < records.n; ++i) {
              const std::size_t r = positions[i];
              CHECK(lanes == 32 || ((out.pass[i] | out.raise[i]) >> lanes) == 0);
              for (std::size_t l = 0; l < lanes; ++l) {
                const double score = scores[r * kTileLanes + l];
                const bool passes = (out.pass[i] >> l) & 1;
                ++checked;
                pruned += passes ? 0 : 1;
                CHECK(passes || r != edge_of[l]);
                if (!passes && !(score < floors[l])) {
                  std::printf("  %s dim=%zu lane=%zu: %a reaches floor %a but was cut\n",
                              CpuLevelName(level), dim, l, score, floors[l]);
                  CHECK(false);
                }
                if ((out.raise[i] >> l) & 1) {
                  const double low = out.lows[i * kTileLanes + l];
                  CHECK(low > low_floors[l] && low <= score);
                }
              }
            }
          }
        }
      }
      // Whole-tile dots are exact.
      for (const auto& [level, tile_dots] : {std::pair{CpuLevel::kAvx512Vnni, &TileDotsAvx512Vnni},
                                             std::pair{CpuLevel::kAmx, &TileDotsAmx}}) {
        if (!CpuRuns(level)) continue;
        const TileBounder::Session session{TileBounder(level)};
        for (const std::vector<std::size_t>& positions : calls) {
          const TileRecords records{codes, meta.data(), positions.data(), positions.size()};
          std::int32_t dots[kTileRecords * kTileLanes];
          tile_dots(tile, records, dots);
          for (std::size_t i = 0; i < records.n; ++i) {
            for (std::size_t l = 0; l < lanes; ++l) {
              CHECK(dots[i * kTileLanes + l] ==
                    SketchDot(sketches[l].codes.data(), codes + positions[i] * dim, dim));
            }
          }
        }
      }
    }
  }
  // The bound must also cut: a pass that keeps everything would satisfy the checks above.
  CHECK(pruned > checked / 8);
}

}  // namespace zanth
