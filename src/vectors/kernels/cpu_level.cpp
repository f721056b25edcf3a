#include "vectors/kernels/cpu_level.h"

#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace zanth {

namespace {

struct Detected {
  bool runs[kCpuLevelCount];
};

// AMX tiles need the CPU's AMX-TILE and AMX-INT8 (CPUID leaf 7, EDX bits 24 and 25), the OS
// saving their state (XCR0 bits 17 and 18), and on Linux the process's permission to use the
// tile data, which arch_prctl grants on request. Asked once; a refusal leaves the level unused.
bool AmxUsable() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kAmxTile = 1u << 24, kAmxInt8 = 1u << 25;
  if ((edx & (kAmxTile | kAmxInt8)) != (kAmxTile | kAmxInt8)) return false;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & (1u << 27)) == 0) return false;  // OSXSAVE
  std::uint32_t xcr0_low, xcr0_high;
  asm volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr std::uint32_t kTileState = (1u << 17) | (1u << 18);
  if ((xcr0_low & kTileState) != kTileState) return false;
#ifdef __linux__
  constexpr int kArchReqXcompPerm = 0x1023;
  constexpr unsigned long kXfeatureXtiledata = 18;
  if (syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) != 0) return false;
#endif
  return true;
}

const Detected& Detect() {
  static const Detected detected = [] {
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    const bool vnni = avx512 && __builtin_cpu_supports("avx512vnni");
    return Detected{{true, static_cast<bool>(__builtin_cpu_supports("avx2")), avx512, vnni,
                     vnni && AmxUsable()}};
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
  constexpr const char* kNames[] = {"scalar", "avx2", "avx512", "avx512vnni", "amx"};
  static_assert(EveryLevelHas(kNames));
  return kNames[IndexOf(level)];
}

}  // namespace zanth
