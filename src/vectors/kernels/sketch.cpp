#include "vectors/kernels/sketch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zanth {

namespace {

constexpr double kUnitRoundoff = 0x1p-24;
// Sums of squares in double carry a relative error below d * 2^-53; inflating by 2^-30 covers
// it for every sketched dimension.
constexpr double kSumInflation = 1.0 + 0x1p-30;
constexpr int kCodeMax = 127;

// The smallest float >= x (x >= 0).
}  // namespace

float RoundUpToFloat(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

double RootUp(double sum_of_squares) {
  return std::sqrt(sum_of_squares * kSumInflation) * kSumInflation;
}

namespace {

// Nearest code of value * inverse (inverse = 1 / scale, or 0 for a zero scale), ties to even
// as the SIMD conversions round. The codes need not be the best possible: the residual they
// leave is measured exactly.
int CodeOf(double value, double inverse) {
  constexpr double kRoundingShift = 0x1.8p52;  // adding it drops every fraction bit
  double y = std::clamp(value * inverse, -double{kCodeMax}, double{kCodeMax});
  return static_cast<int>((y + kRoundingShift) - kRoundingShift);
}

double InverseOf(double scale) { return scale == 0 ? 0 : 1 / scale; }

}  // namespace

void SketchRecordScalar(const char* values, std::size_t dim, std::int8_t* codes,
                        RecordSketchMeta* meta) {
  float max_abs = 0.0f;
  bool finite = true;
  for (std::size_t i = 0; i < dim; ++i) {
    float v;
    std::memcpy(&v, values + i * sizeof(float), sizeof v);
    float a = std::fabs(v);
    finite &= a <= std::numeric_limits<float>::max();
    max_abs = a > max_abs ? a : max_abs;
  }
  if (!finite) return MarkUncovered(dim, codes, meta);
  const float scale = SketchScaleFor(max_abs);
  const float inverse = RecordInverseOf(scale);
  if (!std::isfinite(inverse)) return SketchRecordInDouble(values, dim, scale, codes, meta);
  double resid_sq = 0;
  std::int64_t code_sq = 0;
  for (std::size_t i = 0; i < dim; ++i) {
    float v;
    std::memcpy(&v, values + i * sizeof(float), sizeof v);
    const int c = static_cast<int>(
        std::nearbyint(std::min(std::max(v * inverse, -float{kCodeMax}), float{kCodeMax})));
    codes[i] = static_cast<std::int8_t>(c);
    // v - s c is exact in double (see SketchRecordInDouble); one rounding to float, as a fused
    // multiply-add gives it.
    const float r = static_cast<float>(static_cast<double>(v) - static_cast<double>(scale) * c);
    resid_sq += static_cast<double>(r) * r;
    code_sq += c * c;
  }
  FinishRecordSketchRounded(scale, static_cast<double>(code_sq), resid_sq, dim, meta);
}

void SketchRecordInDouble(const char* values, std::size_t dim, float scale, std::int8_t* codes,
                          RecordSketchMeta* meta) {
  const double s = scale;
  const double inverse = InverseOf(s);
  // In double, s * c (24 + 7 significant bits) and v - s * c are exact, so the residual norm is
  // that of the true residual up to the rounding of the sums.
  double resid_sq = 0;
  std::int64_t code_sq = 0;
  for (std::size_t i = 0; i < dim; ++i) {
    float v;
    std::memcpy(&v, values + i * sizeof(float), sizeof v);
    const double x = v;
    const int c = CodeOf(x, inverse);
    codes[i] = static_cast<std::int8_t>(c);
    const double r = x - s * c;
    resid_sq += r * r;
    code_sq += c * c;
  }
  FinishRecordSketch(scale, static_cast<double>(code_sq), resid_sq, meta);
}

float RecordInverseOf(float scale) { return scale == 0 ? 0.0f : 1.0f / scale; }

void FinishRecordSketch(float scale, double code_sq, double resid_sq, RecordSketchMeta* meta) {
  meta->scale = scale;
  meta->code_norm = RoundUpToFloat(static_cast<double>(scale) * RootUp(code_sq));
  meta->resid_norm = RoundUpToFloat(RootUp(resid_sq));
}

void FinishRecordSketchRounded(float scale, double code_sq, double rounded_resid_sq,
                               std::size_t dim, RecordSketchMeta* meta) {
  FinishRecordSketch(scale, code_sq, rounded_resid_sq, meta);
  // Each rounded residual is within 2^-24 of the true one relatively, or 2^-150 absolutely
  // where it is subnormal: |r| <= |r~| (1 + 2^-24) + sqrt(dim) 2^-150, taken twice over.
  meta->resid_norm = RoundUpToFloat(static_cast<double>(meta->resid_norm) * (1 + 0x1p-23) +
                                    std::sqrt(static_cast<double>(dim)) * 0x1p-149);
}

void MarkUncovered(std::size_t dim, std::int8_t* codes, RecordSketchMeta* meta) {
  std::memset(codes, 0, dim);
  *meta = {0.0f, 0.0f, std::numeric_limits<float>::infinity()};
}

bool MakeQuerySketch(const float* query, std::size_t dim, QuerySketch* out) {
  if (dim < kMinSketchDim || dim > kMaxSketchDim) return false;
  float max_abs = 0.0f;
  for (std::size_t i = 0; i < dim; ++i) {
    float a = std::fabs(query[i]);
    if (!(a <= std::numeric_limits<float>::max())) return false;
    max_abs = std::max(max_abs, a);
  }
  const double s = SketchScaleFor(max_abs);
  const double inverse = InverseOf(s);
  out->codes.resize(dim);
  out->wide.resize(dim);
  double resid_sq = 0, norm_sq = 0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double x = query[i];
    const int c = CodeOf(x, inverse);
    out->codes[i] = static_cast<std::int8_t>(c);
    out->wide[i] = static_cast<std::int16_t>(c);
    const double t = x - s * c;
    resid_sq += t * t;
    norm_sq += x * x;
  }
  out->scale = s;
  out->resid_norm = RootUp(resid_sq);
  out->norm = RootUp(norm_sq);
  const double d = static_cast<double>(dim);
  // gamma_{d-1} (1 + u) + u <= 1.1 (d + 1) u for the dimensions sketched; 2^-40 absorbs the
  // rounding of the bound's own double arithmetic (terms never exceed the magnitude).
  out->rel_slack = 1.1 * (d + 1) * kUnitRoundoff + 0x1p-40;
  out->abs_slack = (d + 1) * 0x1p-148;
  const double q_side = out->norm + out->resid_norm;
  out->per_code_norm = out->resid_norm + out->rel_slack * q_side;
  out->per_resid_norm = out->norm + 2 * out->rel_slack * q_side;
  out->cover_limit = q_side > 0 ? kMaxCoveredMagnitude / q_side
                                : std::numeric_limits<double>::max();
  return true;
}

std::int32_t SketchDot(const std::int8_t* a, const std::int8_t* c, std::size_t dim) {
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < dim; ++i) sum += static_cast<std::int32_t>(a[i]) * c[i];
  return sum;
}

}  // namespace zanth
