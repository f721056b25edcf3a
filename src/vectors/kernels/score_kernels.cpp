#include "vectors/kernels/score_kernels.h"

#include <cstring>

#include "vectors/records/vector_block.h"

namespace zanth {

float ScoreOne(const float* query, std::size_t dim, const char* values) {
  float s = -0.0f;
  for (std::size_t i = 0; i < dim; ++i) {
    float v;
    std::memcpy(&v, values + i * sizeof(float), sizeof v);
    float product = query[i] * v;
    s = s + product;
  }
  return s;
}

void ScoreRecordsScalar(const float* query, std::size_t dim, const char* const* records,
                        std::size_t count, float* scores) {
  for (std::size_t j = 0; j < count; ++j) scores[j] = ScoreOne(query, dim, records[j] + kRecordIdSize);
}

namespace {

constexpr std::size_t kScalarTileQueries = 16;
constexpr std::size_t kScalarTileRecords = 4;

void ScoreTileScalar(const float* tile, std::size_t dim, const char* const* records,
                     const float* thresholds, float* scores, std::uint32_t* passing) {
  for (std::size_t r = 0; r < kScalarTileRecords; ++r) {
    const char* values = records[r] + kRecordIdSize;
    std::uint32_t mask = 0;
    for (std::size_t q = 0; q < kScalarTileQueries; ++q) {
      float s = -0.0f;
      for (std::size_t i = 0; i < dim; ++i) {
        float v;
        std::memcpy(&v, values + i * sizeof(float), sizeof v);
        float product = tile[i * kScalarTileQueries + q] * v;
        s = s + product;
      }
      scores[r * kScalarTileQueries + q] = s;
      if (!(s < thresholds[q])) mask |= std::uint32_t{1} << q;
    }
    passing[r] = mask;
  }
}

}  // namespace

const TileKernel kTileKernelScalar{&ScoreTileScalar, kScalarTileQueries, kScalarTileRecords};

namespace {

// Indexed by CpuLevel; VNNI and AMX add nothing to float kernels.
constexpr ScoreKernel kScoreKernels[] = {
    &ScoreRecordsScalar, &ScoreRecordsAvx2, &ScoreRecordsAvx512, &ScoreRecordsAvx512,
    &ScoreRecordsAvx512};
constexpr const TileKernel* kTileKernels[] = {
    &kTileKernelScalar, &kTileKernelAvx2, &kTileKernelAvx512, &kTileKernelAvx512,
    &kTileKernelAvx512};
static_assert(EveryLevelHas(kScoreKernels) && EveryLevelHas(kTileKernels));

}  // namespace

ScoreKernel KernelFor(CpuLevel level) {
  return CpuRuns(level) ? kScoreKernels[IndexOf(level)] : nullptr;
}

TileKernel TileKernelFor(CpuLevel level) {
  return CpuRuns(level) ? *kTileKernels[IndexOf(level)] : TileKernel{};
}

ScoreKernel BestKernel() { return KernelFor(BestCpuLevel()); }

TileKernel BestTileKernel() { return TileKernelFor(BestCpuLevel()); }

}  // namespace zanth
