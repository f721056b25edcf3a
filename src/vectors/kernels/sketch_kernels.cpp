#include "vectors/kernels/sketch_kernels.h"

#include "vectors/kernels/sketch.h"

namespace zanth {

void SketchDotsScalar(const std::int8_t* query, const std::int16_t*, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots) {
  for (std::size_t j = 0; j < count; ++j) dots[j] = SketchDot(query, codes + j * dim, dim);
}

namespace {

// Indexed by CpuLevel; AMX tiles pay only for many queries at once (sketch_tile.h).
constexpr SketchKernel kSketchKernels[] = {
    &SketchDotsScalar, &SketchDotsAvx2, &SketchDotsAvx512, &SketchDotsAvx512Vnni,
    &SketchDotsAvx512Vnni};
constexpr SketchBuilder kSketchBuilders[] = {
    &SketchRecordScalar, &SketchRecordAvx2, &SketchRecordAvx512, &SketchRecordAvx512,
    &SketchRecordAvx512};
static_assert(EveryLevelHas(kSketchKernels) && EveryLevelHas(kSketchBuilders));

}  // namespace

SketchKernel SketchKernelFor(CpuLevel level) {
  return CpuRuns(level) ? kSketchKernels[IndexOf(level)] : nullptr;
}

SketchKernel BestSketchKernel() { return SketchKernelFor(BestCpuLevel()); }

SketchBuilder SketchBuilderFor(CpuLevel level) {
  return CpuRuns(level) ? kSketchBuilders[IndexOf(level)] : nullptr;
}

SketchBuilder BestSketchBuilder() { return SketchBuilderFor(BestCpuLevel()); }

}  // namespace zanth
