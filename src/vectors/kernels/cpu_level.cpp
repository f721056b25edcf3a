#include "vectors/kernels/cpu_level.h"

namespace zanth {

namespace {

struct Detected {
  bool runs[kCpuLevelCount];
};

const Detected& Detect() {
  static const Detected detected = [] {
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    return Detected{{true, static_cast<bool>(__builtin_cpu_supports("avx2")), avx512,
                     avx512 && __builtin_cpu_supports("avx512vnni")}};
  }();
  return detected;
}

}  // namespace

bool CpuRuns(CpuLevel level) { return Detect().runs[IndexOf(level)]; }

CpuLevel BestCpuLevel() {
  static const CpuLevel best = [] {
    CpuLevel found = CpuLevel::kScalar;
    for (CpuLevel level : AvailableCpuLevels()) found = level;
    return found;
  }();
  return best;
}

std::vector<CpuLevel> AvailableCpuLevels() {
  std::vector<CpuLevel> levels;
  for (std::size_t i = 0; i < kCpuLevelCount; ++i) {
    if (Detect().runs[i]) levels.push_back(static_cast<CpuLevel>(i));
  }
  return levels;
}

const char* CpuLevelName(CpuLevel level) {
  constexpr const char* kNames[kCpuLevelCount] = {"scalar", "avx2", "avx512", "avx512vnni"};
  return kNames[IndexOf(level)];
}

}  // namespace zanth
