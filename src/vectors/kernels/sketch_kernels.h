// Int8 dot products of a query's codes with many records' codes, one file per instruction set,
// chosen at run time. Integer arithmetic is exact, so every kernel returns the very values of
// SketchDot (sketch.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vectors/kernels/cpu_level.h"

namespace zanth {

// dots[j] = sum_i query[i] * codes[j * dim + i] for j < count. `wide` holds the query's codes
// widened to 16 bits (the same values).
using SketchKernel = void (*)(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                              const std::int8_t* codes, std::size_t count, std::int32_t* dots);

// Builds one record's sketch (see SketchRecordScalar in sketch.h).
struct RecordSketchMeta;
using SketchBuilder = void (*)(const char* values, std::size_t dim, std::int8_t* codes,
                               RecordSketchMeta* meta);

// nullptr when this CPU cannot run `level`.
SketchKernel SketchKernelFor(CpuLevel level);
SketchKernel BestSketchKernel();
// The builder of `level` (levels without their own builder use the next lower level's).
SketchBuilder SketchBuilderFor(CpuLevel level);
SketchBuilder BestSketchBuilder();

void SketchDotsScalar(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx2(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                    const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx512(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx512Vnni(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                          const std::int8_t* codes, std::size_t count, std::int32_t* dots);

void SketchRecordAvx2(const char* values, std::size_t dim, std::int8_t* codes,
                      RecordSketchMeta* meta);
void SketchRecordAvx512(const char* values, std::size_t dim, std::int8_t* codes,
                        RecordSketchMeta* meta);

}  // namespace zanth
