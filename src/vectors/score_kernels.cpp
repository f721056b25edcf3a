#include "vectors/score_kernels.h"

#include <cstring>

#include "vectors/vector_block.h"

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

bool CpuRuns(KernelLevel level) {
  switch (level) {
    case KernelLevel::kScalar:
      return true;
    case KernelLevel::kAvx2:
      return __builtin_cpu_supports("avx2");
    case KernelLevel::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  }
  return false;
}

}  // namespace

ScoreKernel KernelFor(KernelLevel level) {
  if (!CpuRuns(level)) return nullptr;
  switch (level) {
    case KernelLevel::kScalar:
      return &ScoreRecordsScalar;
    case KernelLevel::kAvx2:
      return &ScoreRecordsAvx2;
    case KernelLevel::kAvx512:
      return &ScoreRecordsAvx512;
  }
  return nullptr;
}

const TileKernel kTileKernelScalar{&ScoreTileScalar, kScalarTileQueries, kScalarTileRecords};

TileKernel TileKernelFor(KernelLevel level) {
  if (!CpuRuns(level)) return {};
  switch (level) {
    case KernelLevel::kScalar:
      return kTileKernelScalar;
    case KernelLevel::kAvx2:
      return kTileKernelAvx2;
    case KernelLevel::kAvx512:
      return kTileKernelAvx512;
  }
  return {};
}

TileKernel BestTileKernel() { return TileKernelFor(BestKernelLevel()); }

KernelLevel BestKernelLevel() {
  static const KernelLevel best = [] {
    if (CpuRuns(KernelLevel::kAvx512)) return KernelLevel::kAvx512;
    if (CpuRuns(KernelLevel::kAvx2)) return KernelLevel::kAvx2;
    return KernelLevel::kScalar;
  }();
  return best;
}

ScoreKernel BestKernel() { return KernelFor(BestKernelLevel()); }

std::vector<KernelLevel> AvailableKernelLevels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : {KernelLevel::kScalar, KernelLevel::kAvx2, KernelLevel::kAvx512}) {
    if (CpuRuns(level)) levels.push_back(level);
  }
  return levels;
}

const char* KernelLevelName(KernelLevel level) {
  switch (level) {
    case KernelLevel::kScalar:
      return "scalar";
    case KernelLevel::kAvx2:
      return "avx2";
    case KernelLevel::kAvx512:
      return "avx512";
  }
  return "unknown";
}

}  // namespace zanth
