// Every kernel this CPU runs must give the scalar kernel's scores bit for bit, and the scalar
// kernel must add in dimension order without fused multiply-adds. The records end exactly where
// their buffer does, so the sanitizer run catches a kernel reading past the last one.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core_test.h"
#include "vectors/score_kernels.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Same bits, or both NaN (payloads may differ between instruction sets).
bool SameScore(float a, float b) { return Bits(a) == Bits(b) || (std::isnan(a) && std::isnan(b)); }

}  // namespace

TEST_CASE(scalar_kernel_adds_in_dimension_order) {
  float q[3] = {1.0f, 1.0f, 1.0f}, v[3] = {1e8f, 1.0f, -1e8f};
  // Left to right, 1e8 + 1 rounds to 1e8 and the sum is 0; adding the 1 last would give 1.
  CHECK(Bits(ScoreOne(q, 3, reinterpret_cast<const char*>(v))) == Bits(0.0f));
  float a = 1.0f + 0x1p-12f, c = -(1.0f + 0x1p-11f);
  float q2[2] = {1.0f, a}, v2[2] = {c, a};
  float unfused = c + static_cast<float>(a * a);
  CHECK(Bits(ScoreOne(q2, 2, reinterpret_cast<const char*>(v2))) == Bits(unfused));
  CHECK(Bits(unfused) != Bits(std::fma(a, a, c)));
  CHECK(Bits(ScoreOne(q, 0, reinterpret_cast<const char*>(v))) == Bits(-0.0f));
}

TEST_CASE(every_kernel_matches_scalar_bit_for_bit) {
  std::mt19937 gen(20240611);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN,
                            std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(), 1e-30f};
  std::vector<KernelLevel> levels = AvailableKernelLevels();
  CHECK(!levels.empty() && levels.front() == KernelLevel::kScalar);
  CHECK(KernelFor(BestKernelLevel()) == BestKernel());
  for (bool special : {false, true}) {
    for (std::size_t dim : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 128, 129, 768}) {
      std::size_t size = kRecordIdSize + dim * sizeof(float);
      std::vector<char> bytes(256 * size);
      for (std::size_t j = 0; j < 256; ++j) {
        for (std::size_t i = 0; i < dim; ++i) {
          float v = gen() % 16 == 0 && special ? specials[gen() % 8] : normal(gen) * 100.0f;
          std::memcpy(&bytes[j * size + kRecordIdSize + i * 4], &v, 4);
        }
      }
      std::vector<float> query(dim);
      for (float& x : query) x = normal(gen);
      if (special && dim > 2) query[dim / 2] = -0.0f;
      for (std::size_t count : {0, 1, 5, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 256}) {
        // In order, and shuffled with repeats as a filtered scan hands them over.
        std::vector<const char*> ordered(count), scattered(count);
        for (std::size_t j = 0; j < count; ++j) {
          ordered[j] = &bytes[j * size];
          scattered[j] = &bytes[((j * 7 + 3) % count) * size];
        }
        for (const auto* list : {&ordered, &scattered}) {
          std::vector<float> want(count), got(count);
          ScoreRecordsScalar(query.data(), dim, list->data(), count, want.data());
          for (std::size_t j = 0; j < count; ++j) {
            CHECK(SameScore(want[j], ScoreOne(query.data(), dim, (*list)[j] + kRecordIdSize)));
          }
          for (KernelLevel level : levels) {
            std::fill(got.begin(), got.end(), 12345.0f);
            KernelFor(level)(query.data(), dim, list->data(), count, got.data());
            for (std::size_t j = 0; j < count; ++j) {
              if (!SameScore(want[j], got[j])) {
                std::printf("  %s dim=%zu count=%zu j=%zu: %a vs %a\n", KernelLevelName(level), dim,
                            count, j, static_cast<double>(want[j]), static_cast<double>(got[j]));
                CHECK(SameScore(want[j], got[j]));
                break;
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace zanth
