#include "vectors/kernels/bound_kernels.h"

#include <limits>

namespace zanth {

std::size_t BoundRecordsScalar(const QuerySketch& qs, const RecordSketchMeta* meta,
                               const std::int32_t* dots, std::size_t count, double floor,
                               std::size_t* kept, double* lows, double* highs) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    double low, high;
    if (!ScoreBounds(qs, meta[i], dots[i], &low, &high)) {
      low = -kInf;
      high = kInf;
    }
    if (!(high < floor)) {
      kept[n] = i;
      lows[n] = low;
      highs[n++] = high;
    }
  }
  return n;
}

namespace {

// Indexed by CpuLevel.
constexpr BoundKernel kBoundKernels[] = {
    &BoundRecordsScalar, &BoundRecordsScalar, &BoundRecordsAvx512, &BoundRecordsAvx512,
    &BoundRecordsAvx512};
static_assert(EveryLevelHas(kBoundKernels));

}  // namespace

BoundKernel BoundKernelFor(CpuLevel level) {
  return CpuRuns(level) ? kBoundKernels[IndexOf(level)] : nullptr;
}

BoundKernel BestBoundKernel() {
  static const BoundKernel best = BoundKernelFor(BestCpuLevel());
  return best;
}

}  // namespace zanth
