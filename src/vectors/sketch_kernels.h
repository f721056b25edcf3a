// Int8 dot products of a query's codes with many records' codes, one file per instruction set,
// chosen at run time. Integer arithmetic is exact, so every kernel returns the very values of
// SketchDot (sketch.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zanth {

enum class SketchKernelLevel { kScalar, kAvx2, kAvx512, kAvx512Vnni };

// dots[j] = sum_i query[i] * codes[j * dim + i] for j < count. `wide` holds the query's codes
// widened to 16 bits (the same values).
using SketchKernel = void (*)(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                              const std::int8_t* codes, std::size_t count, std::int32_t* dots);

// Builds one record's sketch (see SketchRecordScalar in sketch.h).
struct RecordSketchMeta;
using SketchBuilder = void (*)(const char* values, std::size_t dim, std::int8_t* codes,
                               RecordSketchMeta* meta);

// nullptr when this CPU cannot run `level`.
SketchKernel SketchKernelFor(SketchKernelLevel level);
SketchKernel BestSketchKernel();
// The builder of `level` (levels without their own builder use the scalar one).
SketchBuilder SketchBuilderFor(SketchKernelLevel level);
SketchBuilder BestSketchBuilder();
// Every level this CPU runs, scalar first.
std::vector<SketchKernelLevel> AvailableSketchKernelLevels();
const char* SketchKernelLevelName(SketchKernelLevel level);

void SketchDotsScalar(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx2(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                    const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx512(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots);
void SketchDotsAvx512Vnni(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                          const std::int8_t* codes, std::size_t count, std::int32_t* dots);

void SketchRecordAvx512(const char* values, std::size_t dim, std::int8_t* codes,
                        RecordSketchMeta* meta);

}  // namespace zanth
