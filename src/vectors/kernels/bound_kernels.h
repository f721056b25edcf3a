// One query's bound pass over a chunk of sketched records, one file per instruction set, chosen
// at run time. Every kernel evaluates ScoreBounds (sketch.h) in the same double operations, in
// the same order, so every kernel keeps the very records, with the very bounds, that
// BoundRecordsScalar keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vectors/kernels/cpu_level.h"
#include "vectors/kernels/sketch.h"

namespace zanth {

// For the records i < count (meta[i], whose int8 dot with the query's codes is dots[i]): the
// bounds of ScoreBounds, -inf and +inf for a pair it does not cover. Writes i, the low and the
// high bound of every record whose high bound is not below `floor` (NaN is not below) to kept,
// lows and highs, in ascending i, and returns how many. A search's floor leaves few.
using BoundKernel = std::size_t (*)(const QuerySketch& qs, const RecordSketchMeta* meta,
                                    const std::int32_t* dots, std::size_t count, double floor,
                                    std::size_t* kept, double* lows, double* highs);

std::size_t BoundRecordsScalar(const QuerySketch& qs, const RecordSketchMeta* meta,
                               const std::int32_t* dots, std::size_t count, double floor,
                               std::size_t* kept, double* lows, double* highs);
std::size_t BoundRecordsAvx512(const QuerySketch& qs, const RecordSketchMeta* meta,
                               const std::int32_t* dots, std::size_t count, double floor,
                               std::size_t* kept, double* lows, double* highs);

// nullptr when this CPU cannot run `level`.
BoundKernel BoundKernelFor(CpuLevel level);
BoundKernel BestBoundKernel();

}  // namespace zanth
