// Compact int8 sketches of vector records and the bounds they give on a record's exact score.
//
// A record v is kept as v = s * c + r with int8 codes c in [-127, 127], a float scale s and the
// residual r known only through its norm; the query q likewise as q = s_q * a + t. Then
//   q.v = s * s_q * (a.c) + s * (t.c) + (q.r)
//       <= s * s_q * (a.c) + s*|c| * |t| + |q| * |r|        (Cauchy-Schwarz)
// and symmetrically from below. The computed float32 score (sequential sum of rounded
// products, see score_kernels.h) differs from q.v by at most (gamma_{d-1} (1 + u) + u) * sum|q_i v_i| + 2 d eta (1 + gamma),
// u = 2^-24, eta = 2^-150 (the underflow of one product), as long as nothing overflows. Both
// |q| * |v| and the products' sum stay below kMaxCoveredMagnitude for covered pairs, so no
// partial sum can overflow; any other pair is scored exactly. Every stored norm is rounded up,
// and the bound is evaluated in double with a relative slack that dwarfs double rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace zanth {

// Sketches pay for themselves only when the codes are much smaller than the floats: below this
// dimension the codes and the 20 bytes a record of id and bound terms would exceed 30% of the
// vector data.
inline constexpr std::size_t kMinSketchDim = 100;
// gamma_{d-1} <= 1.1 (d - 1) u needs (d - 1) u <= 1/16; integer dots stay inside int32 too.
inline constexpr std::size_t kMaxSketchDim = std::size_t{1} << 16;
// Pairs whose |q| * |v| (with quantisation slack) exceeds this are always scored exactly: below
// it no product or partial sum of the float32 score can overflow.
inline constexpr double kMaxCoveredMagnitude = 1e36;

// Per-record bound terms, rounded up except `scale`, which is the exact value used to make the
// codes. |v| <= code_norm + resid_norm. A record the bound cannot cover (a non-finite value)
// has resid_norm = +inf.
struct RecordSketchMeta {
  float scale;       // s
  float code_norm;   // s * |c|
  float resid_norm;  // |r| = |v - s c|
};

// Quantises one record's `dim` float32 values (unaligned, little-endian) into `codes`: code
// c_i is the nearest integer (ties to even) of fl32(v_i * fl32(1 / s)) clamped to +-127, and
// the residual is measured as fl32(v_i - s c_i), one rounding of the exact difference, with
// the norm widened for that rounding (FinishRecordSketchRounded). A scale whose float inverse
// overflows takes SketchRecordInDouble instead. The scalar builder is the reference; SIMD
// builders (sketch_kernels.h) give the same codes and scale, and norms that may differ in the
// last bits (their sums run in lanes) but are rounded up just the same.
void SketchRecordScalar(const char* values, std::size_t dim, std::int8_t* codes,
                        RecordSketchMeta* meta);
// The record's codes by double arithmetic, with the exact residual (for tiny scales).
void SketchRecordInDouble(const char* values, std::size_t dim, float scale, std::int8_t* codes,
                          RecordSketchMeta* meta);
// fl32(1 / scale), 0 for a zero scale (every value is 0 then).
float RecordInverseOf(float scale);

// Shared by the builders. The float scale whose codes reach +-127 at the largest magnitude:
// any float would do for the bound (residuals are measured, not assumed); this one keeps them
// small.
inline float SketchScaleFor(float max_abs) { return max_abs / 127.0f; }
// Fills the norms from exact sums of squares (codes, residuals), rounding up.
void FinishRecordSketch(float scale, double code_sq, double resid_sq, RecordSketchMeta* meta);
// The same from the squares of the float-rounded residuals of `dim` values.
void FinishRecordSketchRounded(float scale, double code_sq, double rounded_resid_sq,
                               std::size_t dim, RecordSketchMeta* meta);
// A record with a non-finite value: always scored exactly.
void MarkUncovered(std::size_t dim, std::int8_t* codes, RecordSketchMeta* meta);
// The smallest float >= x (x >= 0), and sqrt of a sum of squares inflated past its rounding.
float RoundUpToFloat(double x);
double RootUp(double sum_of_squares);

// The query's side of the bound, made once per search.
struct QuerySketch {
  std::vector<std::int8_t> codes;  // a
  std::vector<std::int16_t> wide;  // a widened, for kernels that multiply in 16 bits
  double scale = 0;                // s_q
  double resid_norm = 0;           // |t|, rounded up
  double norm = 0;                 // |q|, rounded up
  double rel_slack = 0;            // multiplies the magnitude term
  double abs_slack = 0;            // covers products that underflow
  // The spread of a record's bounds, code_norm * per_code_norm + resid_norm * per_resid_norm +
  // abs_slack, is the sum of the terms above with the magnitude (|q| + |t|) * (|s c| + 2 |r|)
  // (which bounds (|q| + |t|) * (|v| + |r|)) multiplied out; a record is covered while
  // |s c| + 2 |r| <= cover_limit.
  double per_code_norm = 0;
  double per_resid_norm = 0;
  double cover_limit = 0;
};

// False when the query holds a non-finite value or its dimension is outside the sketched
// range: the bound cannot be used and the search must score every record exactly.
bool MakeQuerySketch(const float* query, std::size_t dim, QuerySketch* out);

// Bounds on the computed float32 score of a record whose int8 dot with the query's codes is
// `dot`: *low <= score <= *high. False (and no bounds) when the pair is not covered.
inline bool ScoreBounds(const QuerySketch& q, const RecordSketchMeta& m, std::int32_t dot,
                        double* low, double* high) {
  const double b = static_cast<double>(m.code_norm);
  const double r = static_cast<double>(m.resid_norm);
  // Also false for a non-finite record (r = +inf).
  if (!(b + 2 * r <= q.cover_limit)) return false;
  const double center = static_cast<double>(m.scale) * q.scale * static_cast<double>(dot);
  const double spread = b * q.per_code_norm + r * q.per_resid_norm + q.abs_slack;
  *low = center - spread;
  *high = center + spread;
  return true;
}

// The reference int8 dot; the kernels in sketch_kernels.h must agree with it exactly.
std::int32_t SketchDot(const std::int8_t* a, const std::int8_t* c, std::size_t dim);

}  // namespace zanth
