#include "vectors/sketch_kernels.h"

#include "vectors/sketch.h"

namespace zanth {

void SketchDotsScalar(const std::int8_t* query, const std::int16_t*, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots) {
  for (std::size_t j = 0; j < count; ++j) dots[j] = SketchDot(query, codes + j * dim, dim);
}

namespace {

bool CpuRuns(SketchKernelLevel level) {
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  switch (level) {
    case SketchKernelLevel::kScalar:
      return true;
    case SketchKernelLevel::kAvx2:
      return __builtin_cpu_supports("avx2");
    case SketchKernelLevel::kAvx512:
      return avx512;
    case SketchKernelLevel::kAvx512Vnni:
      return avx512 && __builtin_cpu_supports("avx512vnni");
  }
  return false;
}

constexpr SketchKernelLevel kLevels[] = {SketchKernelLevel::kScalar, SketchKernelLevel::kAvx2,
                                         SketchKernelLevel::kAvx512,
                                         SketchKernelLevel::kAvx512Vnni};

}  // namespace

SketchKernel SketchKernelFor(SketchKernelLevel level) {
  if (!CpuRuns(level)) return nullptr;
  switch (level) {
    case SketchKernelLevel::kScalar:
      return &SketchDotsScalar;
    case SketchKernelLevel::kAvx2:
      return &SketchDotsAvx2;
    case SketchKernelLevel::kAvx512:
      return &SketchDotsAvx512;
    case SketchKernelLevel::kAvx512Vnni:
      return &SketchDotsAvx512Vnni;
  }
  return nullptr;
}

SketchKernel BestSketchKernel() {
  static const SketchKernel best = [] {
    SketchKernel found = &SketchDotsScalar;
    for (SketchKernelLevel level : kLevels) {
      if (SketchKernel k = SketchKernelFor(level)) found = k;
    }
    return found;
  }();
  return best;
}

SketchBuilder SketchBuilderFor(SketchKernelLevel level) {
  if (!CpuRuns(level)) return nullptr;
  if (level == SketchKernelLevel::kAvx512 || level == SketchKernelLevel::kAvx512Vnni) {
    return &SketchRecordAvx512;
  }
  return &SketchRecordScalar;
}

SketchBuilder BestSketchBuilder() {
  static const SketchBuilder best = SketchBuilderFor(
      CpuRuns(SketchKernelLevel::kAvx512) ? SketchKernelLevel::kAvx512 : SketchKernelLevel::kScalar);
  return best;
}

std::vector<SketchKernelLevel> AvailableSketchKernelLevels() {
  std::vector<SketchKernelLevel> levels;
  for (SketchKernelLevel level : kLevels) {
    if (CpuRuns(level)) levels.push_back(level);
  }
  return levels;
}

const char* SketchKernelLevelName(SketchKernelLevel level) {
  switch (level) {
    case SketchKernelLevel::kScalar:
      return "scalar";
    case SketchKernelLevel::kAvx2:
      return "avx2";
    case SketchKernelLevel::kAvx512:
      return "avx512";
    case SketchKernelLevel::kAvx512Vnni:
      return "avx512vnni";
  }
  return "unknown";
}

}  // namespace zanth
