// The query codes, made unsigned (SketchTile::ucodes), against a record's signed codes, 4 bytes
// at a time broadcast (vpdpbusd): each accumulator lane is one query's dot plus 128 times the
// record's code sum, which one subtraction per record takes off, so 8 records by 32 queries take
// 16 accumulators, no reduction and no other vector work per multiply. Integer dots are exact,
// so they are those of SketchDot. With AMX the dots of 16 records come from tile multiplies
// instead (sketch_tile_amx.cpp). The bounds follow: a float test of all lanes, then, for the few
// records some lane may keep, the double bounds, 8 lanes a vector; they may round differently
// from ScoreBounds, within the same slack.
// GCC 12's own AVX-512 reduction and extraction intrinsics start from _mm512_undefined_*() and
// trip these warnings.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "vectors/kernels/sketch_tile.h"

namespace zanth {

namespace {

constexpr std::size_t kGroup = 8;  // records sharing each load of the query codes

// Broadcasts the 4 codes of `record` from dimension `at` (fewer past the dimension; the query
// codes there are zeros).
inline __m512i Quad(const std::int8_t* record, std::size_t at, std::size_t bytes) {
  std::int32_t word = 0;
  if (bytes == 4) {
    std::memcpy(&word, record + at, 4);
  } else {
    for (std::size_t i = 0; i < bytes; ++i) {
      word |= static_cast<std::int32_t>(static_cast<std::uint8_t>(record[at + i])) << (8 * i);
    }
  }
  return _mm512_set1_epi32(word);
}

// acc += a (unsigned bytes) . b (signed bytes), 4 bytes a lane. Written out because GCC 12 copies
// the accumulator of the intrinsic after every multiply.
inline void DotAccumulate(__m512i& acc, __m512i a, __m512i b) {
  asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
}

// dots[r * kTileLanes + lane] for records[r], r < kGroup, lanes < 16 H, given 128 * each
// record's code sum in bias[r]. The accumulators are named one by one, so they live in
// registers.
template <int H>
inline void GroupDots(const SketchTile& tile, const std::int8_t* const* records,
                      const std::int32_t* bias, std::int32_t* dots) {
#define ZANTH_ACCUMULATORS(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7)
#define ZANTH_DECLARE(r) __m512i lo##r = _mm512_setzero_si512(), hi##r = _mm512_setzero_si512();
#define ZANTH_MULTIPLY(r)                                \
  {                                                      \
    const __m512i c = Quad(records[r], 4 * g, bytes);    \
    DotAccumulate(lo##r, q0, c);                         \
    if constexpr (H == 2) DotAccumulate(hi##r, q1, c);   \
  }
#define ZANTH_STORE(r)                                                                      \
  {                                                                                         \
    const __m512i b = _mm512_set1_epi32(bias[r]);                                           \
    _mm512_storeu_si512(dots + r * kTileLanes, _mm512_sub_epi32(lo##r, b));                 \
    if constexpr (H == 2) {                                                                 \
      _mm512_storeu_si512(dots + r * kTileLanes + 16, _mm512_sub_epi32(hi##r, b));          \
    }                                                                                       \
  }
  ZANTH_ACCUMULATORS(ZANTH_DECLARE)
  const std::uint8_t* codes = tile.ucodes.data();
  const std::size_t full = tile.dim / 4;
  std::size_t g = 0;
  std::size_t bytes = 4;
  for (; g < full; ++g) {
    const __m512i q0 = _mm512_loadu_si512(codes + g * kTileLanes * 4);
    const __m512i q1 = H == 2 ? _mm512_loadu_si512(codes + g * kTileLanes * 4 + 64) : q0;
    ZANTH_ACCUMULATORS(ZANTH_MULTIPLY)
  }
  // A short last group: the record's bytes past the dimension are read as zeros (its query
  // codes there are zeros too).
  if (bytes = tile.dim % 4; bytes != 0) {
    const __m512i q0 = _mm512_loadu_si512(codes + g * kTileLanes * 4);
    const __m512i q1 = H == 2 ? _mm512_loadu_si512(codes + g * kTileLanes * 4 + 64) : q0;
    ZANTH_ACCUMULATORS(ZANTH_MULTIPLY)
  }
  ZANTH_ACCUMULATORS(ZANTH_STORE)
#undef ZANTH_STORE
#undef ZANTH_MULTIPLY
#undef ZANTH_DECLARE
#undef ZANTH_ACCUMULATORS
}

// The sum of a record's `dim` codes.
inline std::int32_t CodeSum(const std::int8_t* codes, std::size_t dim) {
  const __m512i ones = _mm512_set1_epi8(1);
  __m512i acc = _mm512_setzero_si512();
  for (std::size_t i = 0; i < dim; i += 64) {
    const __mmask64 m = dim - i >= 64 ? ~__mmask64{0} : (__mmask64{1} << (dim - i)) - 1;
    acc = _mm512_dpbusd_epi32(acc, ones, _mm512_maskz_loadu_epi8(m, codes + i));
  }
  return _mm512_reduce_add_epi32(acc);
}

// The call's record pointers in whole groups, padded with the first record, and 128 times each
// one's code sum.
inline std::size_t Pointers(const SketchTile& tile, const TileRecords& records,
                            const std::int8_t** out, std::int32_t* bias) {
  const std::size_t padded = (records.n + kGroup - 1) / kGroup * kGroup;
  for (std::size_t r = 0; r < padded; ++r) {
    const std::size_t at = records.positions[r < records.n ? r : 0];
    out[r] = records.codes + at * tile.dim;
    bias[r] = 128 * (records.code_sums != nullptr ? records.code_sums[at]
                                                  : CodeSum(out[r], tile.dim));
  }
  return padded;
}

// The call's dots, dots[r * kTileLanes + lane] for r < records.n rounded up to a whole group.
template <int H>
void VnniDots(const SketchTile& tile, const TileRecords& records, std::int32_t* dots) {
  const std::int8_t* pointers[kTileRecords + kGroup];
  std::int32_t bias[kTileRecords + kGroup];
  const std::size_t padded = Pointers(tile, records, pointers, bias);
  for (std::size_t first = 0; first < padded; first += kGroup) {
    GroupDots<H>(tile, pointers + first, bias + first, dots + first * kTileLanes);
  }
}

template <int H, bool kAmx>
void Bounds(const SketchTile& tile, const TileRecords& records, const double* floors,
            const double* low_floors, TileOutcome* out) {
  alignas(64) std::int32_t dots[(kTileRecords + kGroup) * kTileLanes];
  if constexpr (kAmx) {
    TileDotsAmx(tile, records, dots);
  } else {
    VnniDots<H>(tile, records, dots);
  }
  const std::uint32_t lanes =
      tile.lanes >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << tile.lanes) - 1;
  // A lane passes only when its upper bound reaches its floor, and raises only when its lower
  // bound exceeds its low floor, so an upper bound below both decides the lane at once. That
  // first test runs in float, 16 lanes a vector, against the lower of the two floors rounded
  // down, with the slack that SketchTile's gate terms fold in. A NaN never decides: every
  // comparison that drops a record is false for it.
  __m512 gate[H];
  for (int h = 0; h < H; ++h) {
    __m256 halves[2];
    for (int i = 0; i < 2; ++i) {
      const std::size_t at = 16 * static_cast<std::size_t>(h) + 8 * static_cast<std::size_t>(i);
      halves[i] = _mm512_cvt_roundpd_ps(
          _mm512_min_pd(_mm512_loadu_pd(floors + at), _mm512_loadu_pd(low_floors + at)),
          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    gate[h] = _mm512_insertf32x8(_mm512_castps256_ps512(halves[0]), halves[1], 1);
  }
  // The float test of every record first: independent of one another, they overlap.
  std::uint32_t open[kTileRecords];
  for (std::size_t r = 0; r < records.n; ++r) {
    const RecordSketchMeta& meta = records.meta[records.positions[r]];
    const __m512 scale = _mm512_set1_ps(meta.scale), vb = _mm512_set1_ps(meta.code_norm),
                 vr = _mm512_set1_ps(meta.resid_norm);
    std::uint32_t lanes_open = 0;
    for (int h = 0; h < H; ++h) {
      const std::size_t at = 16 * static_cast<std::size_t>(h);
      const __m512 center =
          _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_load_si512(dots + r * kTileLanes + at)),
                        _mm512_mul_ps(scale, _mm512_load_ps(tile.scale_f + at)));
      const __m512 spread =
          _mm512_fmadd_ps(vb, _mm512_load_ps(tile.gate_code + at),
                          _mm512_fmadd_ps(vr, _mm512_load_ps(tile.gate_resid + at),
                                          _mm512_load_ps(tile.gate_abs + at)));
      // Not-less-than, unordered true: a NaN high (0 x inf where a term overflowed the float
      // range) keeps the lane open for the double bounds.
      lanes_open |= static_cast<std::uint32_t>(_mm512_cmp_ps_mask(
                        _mm512_add_ps(center, spread), gate[h], _CMP_NLT_UQ))
                    << at;
    }
    open[r] = lanes_open & lanes;
  }
  for (std::size_t r = 0; r < records.n; ++r) {
    const RecordSketchMeta& meta = records.meta[records.positions[r]];
    const double b = meta.code_norm, resid = meta.resid_norm;
    // Also false for a non-finite record (b + 2 resid = +inf).
    const bool covered_everywhere = b + 2 * resid <= tile.min_cover_limit;
    if (covered_everywhere && open[r] == 0) {
      out->pass[r] = out->raise[r] = 0;
      continue;
    }
    const __m512d scale = _mm512_set1_pd(meta.scale), vb = _mm512_set1_pd(b),
                  vr = _mm512_set1_pd(resid), reach = _mm512_set1_pd(b + 2 * resid);
    std::uint32_t pass = 0, raise = 0;
    for (int c = 0; c < 2 * H; ++c) {
      const std::size_t at = 8 * static_cast<std::size_t>(c);
      const __m256i half = _mm256_load_si256(
          reinterpret_cast<const __m256i*>(dots + r * kTileLanes + at));
      const __m512d center = _mm512_mul_pd(
          _mm512_cvtepi32_pd(half), _mm512_mul_pd(scale, _mm512_load_pd(tile.scale + at)));
      const __m512d spread = _mm512_fmadd_pd(
          vb, _mm512_load_pd(tile.per_code_norm + at),
          _mm512_fmadd_pd(vr, _mm512_load_pd(tile.per_resid_norm + at),
                          _mm512_load_pd(tile.abs_slack + at)));
      const __mmask8 covered =
          _mm512_cmp_pd_mask(reach, _mm512_load_pd(tile.cover_limit + at), _CMP_LE_OQ);
      const __m512d high = _mm512_add_pd(center, spread);
      const __m512d low = _mm512_sub_pd(center, spread);
      const __mmask8 reaches =
          _mm512_cmp_pd_mask(high, _mm512_loadu_pd(floors + at), _CMP_NLT_UQ);
      const __mmask8 raises =
          covered & _mm512_cmp_pd_mask(low, _mm512_loadu_pd(low_floors + at), _CMP_GT_OQ);
      if (raises != 0) _mm512_storeu_pd(out->lows + r * kTileLanes + at, low);
      pass |= static_cast<std::uint32_t>(static_cast<__mmask8>(~covered | reaches)) << at;
      raise |= static_cast<std::uint32_t>(raises) << at;
    }
    out->pass[r] = pass & lanes;
    out->raise[r] = raise & lanes;
  }
}

}  // namespace

void TileBoundsAvx512Vnni(const SketchTile& tile, const TileRecords& records, const double* floors,
                          const double* low_floors, TileOutcome* out) {
  if (tile.lanes <= 16) return Bounds<1, false>(tile, records, floors, low_floors, out);
  Bounds<2, false>(tile, records, floors, low_floors, out);
}

// AMX CPUs have AVX-512 VNNI: only the dots differ.
void TileBoundsAmx(const SketchTile& tile, const TileRecords& records, const double* floors,
                   const double* low_floors, TileOutcome* out) {
  Bounds<2, true>(tile, records, floors, low_floors, out);
}

void TileDotsAvx512Vnni(const SketchTile& tile, const TileRecords& records, std::int32_t* dots) {
  alignas(64) std::int32_t all[(kTileRecords + kGroup) * kTileLanes];
  VnniDots<2>(tile, records, all);
  std::memcpy(dots, all, records.n * kTileLanes * sizeof(std::int32_t));
}

void SketchCodeSums(const std::int8_t* codes, std::size_t dim, const std::size_t* positions,
                    std::size_t n, std::int32_t* sums) {
  for (std::size_t i = 0; i < n; ++i) sums[positions[i]] = CodeSum(codes + positions[i] * dim, dim);
}

}  // namespace zanth
