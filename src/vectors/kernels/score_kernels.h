// Inner-product kernels. Every kernel returns, for each record, exactly the float32 value of
//   s = -0.0f; for i in 0..dim-1: s = fl32(s + fl32(q[i] * v[i]))
// (no fused multiply-add, no reassociation), so the kernels agree bit for bit and the scalar one
// is the reference. The SIMD kernels get their parallelism across records: 8 (AVX2) or 16
// (AVX-512) records share a register set, their values transposed in registers, and each lane
// adds its own record's products in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vectors/kernels/cpu_level.h"

namespace zanth {

// Scores `count` records: scores[j] for the record at records[j], whose `dim` float32 values
// start 8 bytes in (after the id). The pointers need no alignment and may repeat; a kernel
// reads no byte past the end of any record.
using ScoreKernel = void (*)(const float* query, std::size_t dim, const char* const* records,
                             std::size_t count, float* scores);

// The kernel of `level`, or nullptr when this CPU cannot run it; the best one this CPU runs.
ScoreKernel KernelFor(CpuLevel level);
ScoreKernel BestKernel();

// The reference: one record's score, in the order defined above.
float ScoreOne(const float* query, std::size_t dim, const char* values);

// Tile kernels score a group of `records` records against `queries` queries at once, so a
// record is read once for many queries. `tile` holds the queries transposed: dim rows of
// `queries` floats (row i holds dimension i of every query; unused queries are zeros). Each
// (query, record) score is the same float32 value ScoreOne gives. Outputs:
// scores[r * queries + q]; passing[r] has bit q set unless that score is below thresholds[q]
// (a NaN score or threshold always passes; an equal score passes, as its id may still enter),
// so a caller keeping the best hits per query only looks at records some query may want.
using TileScoreFn = void (*)(const float* tile, std::size_t dim, const char* const* records,
                             const float* thresholds, float* scores, std::uint32_t* passing);
struct TileKernel {
  TileScoreFn score = nullptr;  // nullptr: this CPU cannot run the level
  std::size_t queries = 0;      // at most 32
  std::size_t records = 0;
};
TileKernel TileKernelFor(CpuLevel level);  // queries == 0 when this CPU cannot run it
TileKernel BestTileKernel();

// Kernels of the instruction-set files; callers go through KernelFor and TileKernelFor.
void ScoreRecordsScalar(const float* query, std::size_t dim, const char* const* records,
                        std::size_t count, float* scores);
void ScoreRecordsAvx2(const float* query, std::size_t dim, const char* const* records,
                      std::size_t count, float* scores);
void ScoreRecordsAvx512(const float* query, std::size_t dim, const char* const* records,
                        std::size_t count, float* scores);
extern const TileKernel kTileKernelScalar;
extern const TileKernel kTileKernelAvx2;
extern const TileKernel kTileKernelAvx512;

}  // namespace zanth
