#include "vectors/kernels/sketch_tile.h"

#include <algorithm>
#include <limits>

namespace zanth {

namespace {

// A whole tile costs as much for one query as for sixteen: up to this many queries are cheaper
// one by one with the single-query kernels.
constexpr std::size_t kFewLanes = 4;

}  // namespace

void MakeSketchTile(const QuerySketch* const* queries, std::size_t count, std::size_t dim,
                    SketchTile* tile) {
  const std::size_t groups = (dim + 3) / 4;
  tile->dim = dim;
  tile->lanes = count;
  tile->codes.assign(groups * kTileLanes * 4, 0);
  tile->min_cover_limit = std::numeric_limits<double>::infinity();
  for (std::size_t l = 0; l < count; ++l) {
    const QuerySketch& q = *queries[l];
    tile->queries[l] = &q;
    for (std::size_t i = 0; i < dim; ++i) {
      tile->codes[(i / 4) * kTileLanes * 4 + l * 4 + i % 4] = q.codes[i];
    }
    std::int32_t sum = 0;
    for (std::int8_t c : q.codes) sum += c;
    tile->bias[l] = 128 * sum;
    tile->scale[l] = q.scale;
    tile->per_code_norm[l] = q.per_code_norm;
    tile->per_resid_norm[l] = q.per_resid_norm;
    tile->abs_slack[l] = q.abs_slack;
    tile->cover_limit[l] = q.cover_limit;
    tile->min_cover_limit = std::min(tile->min_cover_limit, q.cover_limit);
    tile->scale_f[l] = static_cast<float>(q.scale);
    tile->per_code_norm_f[l] = RoundUpToFloat(q.per_code_norm);
    tile->per_resid_norm_f[l] = RoundUpToFloat(q.per_resid_norm);
    tile->abs_slack_f[l] = RoundUpToFloat(q.abs_slack);
  }
}

TileBounder::TileBounder(CpuLevel level)
    : tiled_(level == CpuLevel::kAvx512Vnni && SketchKernelFor(level) != nullptr),
      kernel_(SketchKernelFor(level)) {
  if (kernel_ == nullptr) kernel_ = &SketchDotsScalar;
}

TileBounder::TileBounder() : TileBounder(BestCpuLevel()) {}

void TileBounder::Run(const SketchTile& tile, const TileRecords& records, const double* floors,
                      const double* low_floors, TileOutcome* out) const {
  if (tiled_ && tile.lanes > kFewLanes) {
    return TileBoundsAvx512Vnni(tile, records, floors, low_floors, out);
  }
  const std::size_t n = records.n;
  const std::size_t dim = tile.dim;
  std::fill_n(out->pass, n, 0u);
  std::fill_n(out->raise, n, 0u);
  const bool contiguous = n != 0 && records.positions[n - 1] - records.positions[0] + 1 == n;
  std::int32_t dots[kTileRecords];
  for (std::size_t l = 0; l < tile.lanes; ++l) {
    const QuerySketch& q = *tile.queries[l];
    if (contiguous) {
      kernel_(q.codes.data(), q.wide.data(), dim, records.codes + records.positions[0] * dim, n,
              dots);
    } else {
      for (std::size_t r = 0; r < n; ++r) {
        kernel_(q.codes.data(), q.wide.data(), dim, records.codes + records.positions[r] * dim, 1,
                dots + r);
      }
    }
    const std::uint32_t bit = std::uint32_t{1} << l;
    for (std::size_t r = 0; r < n; ++r) {
      double low, high;
      if (!ScoreBounds(q, records.meta[records.positions[r]], dots[r], &low, &high)) {
        out->pass[r] |= bit;
        continue;
      }
      if (!(high < floors[l])) out->pass[r] |= bit;
      if (low > low_floors[l]) {
        out->raise[r] |= bit;
        out->lows[r * kTileLanes + l] = low;
      }
    }
  }
}

}  // namespace zanth
