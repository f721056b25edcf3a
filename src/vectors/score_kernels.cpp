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
