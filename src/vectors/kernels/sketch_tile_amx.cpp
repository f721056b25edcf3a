// AMX-INT8 dots of a tile: 16 records (tile A: a record a row, 64 codes a row) by 16 lanes
// (tile B: 16 rows of one group of 4 dimensions, each lane's 4 codes, as SketchTile::codes
// holds them), signed by signed bytes (tdpbssd), into 16 x 16 exact int32 sums (tile C). Two C
// tiles cover the 32 lanes. Rows of tile A are evenly spaced: 16 records back to back are read
// in place, other calls (and a short last step of 64 dimensions) copy the codes into a zeroed
// scratch, so nothing past a record is read; SketchTile pads its query codes to whole steps
// with zeros. The tile configuration is loaded once per run of calls (TileBounder::Session).
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "vectors/kernels/sketch_tile.h"

namespace zanth {

namespace {

constexpr std::size_t kStepBytes = 64;  // codes of one record per step: a row of tile A
// Tiles (GCC's tile intrinsics take their numbers as literals): 0 and 1 the dots of lanes 0-15
// and 16-31, 2 the records, 3 and 4 the codes of lanes 0-15 and 16-31.
constexpr int kTilesUsed = 5;

// The 64-byte tile configuration (palette 1): every tile used has 16 rows of 64 bytes.
struct alignas(64) TileConfig {
  std::uint8_t palette = 1;
  std::uint8_t start_row = 0;
  std::uint8_t reserved[14] = {};
  std::uint16_t colsb[16] = {};
  std::uint8_t rows[16] = {};
};
static_assert(sizeof(TileConfig) == 64);

const TileConfig& Config() {
  static const TileConfig config = [] {
    TileConfig c;
    for (int t = 0; t < kTilesUsed; ++t) {
      c.colsb[t] = kStepBytes;
      c.rows[t] = 16;
    }
    return c;
  }();
  return config;
}

}  // namespace

void AmxLoadTileConfig() { _tile_loadconfig(&Config()); }

void AmxReleaseTiles() { _tile_release(); }

void TileDotsAmx(const SketchTile& tile, const TileRecords& records, std::int32_t* dots) {
  static_assert(kTileRecords == 16 && kTileLanes == 32 && kTileGroupPad == 16);
  _tile_zero(0);
  _tile_zero(1);
  alignas(64) std::int8_t rows[kTileRecords][kStepBytes];
  std::memset(rows, 0, sizeof rows);
  const std::int8_t* query_codes = tile.codes.data();
  const bool contiguous = records.n == kTileRecords &&
                          records.positions[kTileRecords - 1] - records.positions[0] ==
                              kTileRecords - 1;
  constexpr std::size_t kQueryStride = kTileLanes * 4;  // bytes of one group of 4 dimensions
  for (std::size_t at = 0; at < tile.dim; at += kStepBytes) {
    const std::size_t bytes = std::min(kStepBytes, tile.dim - at);
    if (contiguous && bytes == kStepBytes) {
      // 16 records back to back: their codes are read in place, `dim` bytes apart.
      _tile_loadd(2, records.codes + records.positions[0] * tile.dim + at, tile.dim);
    } else {
      const __mmask64 mask = bytes == kStepBytes ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
      for (std::size_t r = 0; r < records.n; ++r) {
        const std::int8_t* codes = records.codes + records.positions[r] * tile.dim + at;
        _mm512_store_si512(rows[r], _mm512_maskz_loadu_epi8(mask, codes));
      }
      _tile_loadd(2, rows, kStepBytes);
    }
    const std::int8_t* step = query_codes + (at / 4) * kQueryStride;
    _tile_loadd(3, step, kQueryStride);
    _tile_loadd(4, step + kStepBytes, kQueryStride);
    _tile_dpbssd(0, 2, 3);
    _tile_dpbssd(1, 2, 4);
  }
  _tile_stored(0, dots, kTileLanes * sizeof(std::int32_t));
  _tile_stored(1, dots + 16, kTileLanes * sizeof(std::int32_t));
}

}  // namespace zanth
