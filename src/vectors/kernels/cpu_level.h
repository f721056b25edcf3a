// The instruction-set levels the kernels are built for, detected once per process. Every
// kernel family has one table indexed by level (a level without a kernel of its own in a family
// uses the next lower one's), and tests run every level this CPU has against the scalar one.
#pragma once

#include <cstddef>
#include <vector>

namespace zanth {

enum class CpuLevel { kScalar, kAvx2, kAvx512, kAvx512Vnni, kAmx };
inline constexpr std::size_t kCpuLevelCount = 5;

inline constexpr std::size_t IndexOf(CpuLevel level) { return static_cast<std::size_t>(level); }

// Whether this CPU runs `level`: kAvx512 needs AVX-512 F, DQ, BW and VL; kAvx512Vnni those and
// AVX-512 VNNI; kAmx those, AMX-TILE and AMX-INT8, with the tile state enabled by the OS and
// this process allowed to use it (Linux grants that on request, made once here).
bool CpuRuns(CpuLevel level);
// The highest level this CPU runs.
CpuLevel BestCpuLevel();
// Every level this CPU runs, scalar first.
std::vector<CpuLevel> AvailableCpuLevels();
const char* CpuLevelName(CpuLevel level);

// Whether a kernel table indexed by CpuLevel, declared with its size left to its entries, names
// a kernel at every level. A table with fewer entries than levels would leave the highest null,
// which dispatch on such a CPU would call: every table is checked with this at compile time.
template <typename Kernel, std::size_t kEntries>
constexpr bool EveryLevelHas(const Kernel (&)[kEntries]) {
  return kEntries == kCpuLevelCount;
}

}  // namespace zanth
