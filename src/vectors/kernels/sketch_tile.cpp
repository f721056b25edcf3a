#include "vectors/kernels/sketch_tile.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace zanth {

namespace {

// A whole tile costs as much for one query as for sixteen: up to this many queries are cheaper
// one by one with the single-query kernels.
constexpr std::size_t kFewLanes = 4;

// Whether the AMX kernel's dots equal the portable ones on this machine, tried once per process
// on a few tiles that take every path of its loads (records back to back and scattered, a short
// last step of dimensions, fewer records than a tile). Tiles are used only where this holds: a
// fault in tile configuration or layout would otherwise cut records that reach the floor.
bool AmxDotsAgree() {
  static const bool agree = [] {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    auto next = [&state] {
      state = state * 6364136223846793005u + 1442695040888963407u;
      return static_cast<std::uint32_t>(state >> 33);
    };
    AmxLoadTileConfig();
    bool same = true;
    for (std::size_t dim : {100, 128, 200}) {
      std::vector<std::vector<float>> values(kTileLanes, std::vector<float>(dim));
      std::vector<QuerySketch> sketches(kTileLanes);
      std::vector<const QuerySketch*> pointers;
      for (std::size_t l = 0; l < kTileLanes; ++l) {
        for (float& v : values[l]) v = static_cast<float>(next() % 2001) / 1000.0f - 1.0f;
        same = same && MakeQuerySketch(values[l].data(), dim, &sketches[l]);
        pointers.push_back(&sketches[l]);
      }
      if (!same) break;
      SketchTile tile;
      MakeSketchTile(pointers.data(), kTileLanes, dim, &tile);
      std::vector<std::int8_t> codes(40 * dim);
      for (std::int8_t& c : codes) c = static_cast<std::int8_t>(static_cast<int>(next() % 255) - 127);
      std::vector<RecordSketchMeta> meta(40);
      std::size_t together[kTileRecords], apart[kTileRecords];
      for (std::size_t r = 0; r < kTileRecords; ++r) {
        together[r] = 3 + r;
        apart[r] = 2 * r + 1;
      }
      for (const TileRecords& records : {TileRecords{codes.data(), meta.data(), together, kTileRecords},
                                         TileRecords{codes.data(), meta.data(), apart, kTileRecords},
                                         TileRecords{codes.data(), meta.data(), apart, 5}}) {
        std::int32_t dots[kTileRecords * kTileLanes];
        TileDotsAmx(tile, records, dots);
        for (std::size_t r = 0; r < records.n; ++r) {
          for (std::size_t l = 0; l < kTileLanes; ++l) {
            same = same && dots[r * kTileLanes + l] ==
                               SketchDot(sketches[l].codes.data(),
                                         codes.data() + records.positions[r] * dim, dim);
          }
        }
      }
    }
    AmxReleaseTiles();
    return same;
  }();
  return agree;
}

}  // namespace

void MakeSketchTile(const QuerySketch* const* queries, std::size_t count, std::size_t dim,
                    SketchTile* tile) {
  const std::size_t groups = (dim + 3) / 4;
  const std::size_t padded = (groups + kTileGroupPad - 1) / kTileGroupPad * kTileGroupPad;
  tile->dim = dim;
  tile->lanes = count;
  tile->codes.assign(padded * kTileLanes * 4, 0);
  tile->ucodes.assign(padded * kTileLanes * 4, 0);
  tile->min_cover_limit = std::numeric_limits<double>::infinity();
  for (std::size_t l = 0; l < count; ++l) {
    const QuerySketch& q = *queries[l];
    tile->queries[l] = &q;
    for (std::size_t i = 0; i < dim; ++i) {
      const std::size_t at = (i / 4) * kTileLanes * 4 + l * 4 + i % 4;
      tile->codes[at] = q.codes[i];
      tile->ucodes[at] = static_cast<std::uint8_t>(q.codes[i] + 128);
    }
    tile->scale[l] = q.scale;
    tile->per_code_norm[l] = q.per_code_norm;
    tile->per_resid_norm[l] = q.per_resid_norm;
    tile->abs_slack[l] = q.abs_slack;
    tile->cover_limit[l] = q.cover_limit;
    tile->min_cover_limit = std::min(tile->min_cover_limit, q.cover_limit);
    // The float test bounds high + slack, slack = 2^-20 (|center| + spread) + 2^-110, the
    // allowance of the old multi-step float test, now folded into per-lane terms: the codes'
    // part of the query is s_q a = q - t, so |center| <= code_norm * (|q| + |t|) up to float
    // rounding, and
    //   spread + slack <= code_norm * (pcn (1 + 2^-20) + 2^-20 (|q| + |t|) (1 + 2^-20))
    //                     + resid_norm * prn (1 + 2^-20) + abs (1 + 2^-20) + 2^-110.
    // Doubling every relative term (2^-19 for 2^-20) also covers the float test's own
    // roundings: the converted dot and two products in the center (each within 2^-24 of
    // |center|), two fused multiply-adds and the final add (each within 2^-24 of the terms).
    const double magnitude = q.norm + q.resid_norm;
    tile->scale_f[l] = static_cast<float>(q.scale);
    tile->gate_code[l] = RoundUpToFloat(q.per_code_norm * (1 + 0x1p-19) + magnitude * 0x1p-18);
    tile->gate_resid[l] = RoundUpToFloat(q.per_resid_norm * (1 + 0x1p-19));
    tile->gate_abs[l] = RoundUpToFloat(q.abs_slack * (1 + 0x1p-19) + 0x1p-109);
  }
}

TileBounder::TileBounder(CpuLevel level)
    : tiled_((level == CpuLevel::kAvx512Vnni || level == CpuLevel::kAmx) && CpuRuns(level)),
      amx_(tiled_ && level == CpuLevel::kAmx && AmxDotsAgree()),
      kernel_(SketchKernelFor(level)) {
  if (kernel_ == nullptr) kernel_ = &SketchDotsScalar;
}

TileBounder::TileBounder() : TileBounder(BestCpuLevel()) {}

bool TileBounder::sums_codes(std::size_t lanes) const {
  return tiled_ && !amx_ && lanes > kFewLanes;
}

TileBounder::Session::Session(const TileBounder& bounder) : amx_(bounder.amx_) {
  if (amx_) AmxLoadTileConfig();
}

TileBounder::Session::~Session() {
  if (amx_) AmxReleaseTiles();
}

void TileBounder::Run(const Session&, const SketchTile& tile, const TileRecords& records,
                      const double* floors, const double* low_floors, TileOutcome* out) const {
  if (tiled_ && tile.lanes > kFewLanes) {
    if (amx_) return TileBoundsAmx(tile, records, floors, low_floors, out);
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
