// The bound pass of many queries at once: up to 32 queries' int8 codes held as a tile, each
// record's codes multiplied against the whole tile, so a record is read once for all of them
// and no dot needs a horizontal reduction. With AVX-512 VNNI (or AMX tiles) this makes the
// sketch pass of a large batch several times cheaper than the float tile scan; elsewhere the
// queries take the single-query sketch kernels one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vectors/kernels/sketch.h"
#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

inline constexpr std::size_t kTileLanes = 32;
// Records per call of the bound pass: the caller raises its floors between calls.
inline constexpr std::size_t kTileRecords = 16;

// Lanes of up to kTileLanes query sketches. `codes` holds them for whole-tile kernels: for each
// group of 4 dimensions, each lane's 4 codes, zeros past the dimension and in empty lanes, the
// groups padded with zeros to a multiple of kTileGroupPad. `ucodes` holds the same codes plus
// 128 (unsigned) where `codes` holds a real one, 0 elsewhere: a kernel multiplying unsigned by
// signed bytes (VNNI) reads them against a record's signed codes c and takes off 128 * sum(c),
// the record's code sum. The other per-lane terms are those of QuerySketch.
struct SketchTile {
  std::size_t dim = 0;
  std::size_t lanes = 0;
  const QuerySketch* queries[kTileLanes] = {};
  std::vector<std::int8_t> codes;
  std::vector<std::uint8_t> ucodes;
  alignas(64) double scale[kTileLanes] = {};
  alignas(64) double per_code_norm[kTileLanes] = {};
  alignas(64) double per_resid_norm[kTileLanes] = {};
  alignas(64) double abs_slack[kTileLanes] = {};
  alignas(64) double cover_limit[kTileLanes] = {};
  double min_cover_limit = 0;  // over the lanes in use
  // A first, float test with a wide slack discards most (record, lane) pairs before any double
  // arithmetic: an upper bound of center + spread + that slack is
  //   fl(dot) * (record scale * scale_f) + code_norm * gate_code + resid_norm * gate_resid
  //     + gate_abs,
  // where the three gate terms fold the slack into the spread (sketch_tile.cpp says why this
  // bounds it); all rounded up.
  alignas(64) float scale_f[kTileLanes] = {};
  alignas(64) float gate_code[kTileLanes] = {};
  alignas(64) float gate_resid[kTileLanes] = {};
  alignas(64) float gate_abs[kTileLanes] = {};
};

// Whole-tile kernels read the query codes 16 groups of 4 dimensions at a time.
inline constexpr std::size_t kTileGroupPad = 16;

// `count` <= kTileLanes sketches of `dim` (the pointers must outlive the tile).
void MakeSketchTile(const QuerySketch* const* queries, std::size_t count, std::size_t dim,
                    SketchTile* tile);

// The records of one call: positions[0, n) within a chunk whose first record's codes and meta
// are at `codes` and `meta` (records of tile.dim codes each).
struct TileRecords {
  const std::int8_t* codes;
  const RecordSketchMeta* meta;
  const std::size_t* positions;
  std::size_t n;  // <= kTileRecords
  // Each record's code sum by position, as `meta` (SketchCodeSums), or nullptr: a kernel that
  // needs them sums the codes itself. A caller that bounds one chunk against many tiles sums
  // it once.
  const std::int32_t* code_sums = nullptr;
};

// sums[positions[i]] = the sum of the `dim` codes of the record at codes + positions[i] * dim.
void SketchCodeSums(const std::int8_t* codes, std::size_t dim, const std::size_t* positions,
                    std::size_t n, std::int32_t* sums);

// The outcome of one call, per record r < n, as lane masks: `pass` lanes whose upper bound
// reaches floors[lane] or that the bound cannot cover (they must be scored exactly); `raise`
// lanes whose lower bound exceeds low_floors[lane], that bound in lows[r * kTileLanes + lane]
// (other entries undefined). Lanes past tile.lanes are set in neither.
struct TileOutcome {
  std::uint32_t pass[kTileRecords];
  std::uint32_t raise[kTileRecords];
  double lows[kTileRecords * kTileLanes];
};

// The bound pass over one call's records, by the best means this CPU has.
class TileBounder {
 public:
  // `level`: the sketch kernel level to use (tests pick each); the best one by default. AMX
  // tiles are used only when a check made once per process finds their dots equal to the
  // portable ones; otherwise kAmx multiplies with VNNI.
  explicit TileBounder(CpuLevel level);
  TileBounder();
  // True when whole tiles are multiplied at once (VNNI or AMX), so large batches pay to prune.
  bool tiled() const { return tiled_; }
  // True when Run reads TileRecords::code_sums for tiles of `lanes` lanes (SketchCodeSums may
  // only be called then).
  bool sums_codes(std::size_t lanes) const;

  // A run of calls on the thread that makes it. With AMX it loads the tile configuration the
  // calls rely on, so nothing else may use AMX tiles on the thread while it lasts (loading it
  // per call would cost about as much as the call's multiplies), and releases the tiles at its
  // end, so the thread's saved state shrinks back.
  class Session {
   public:
    explicit Session(const TileBounder& bounder);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

   private:
    bool amx_;
  };
  void Run(const Session& session, const SketchTile& tile, const TileRecords& records,
           const double* floors, const double* low_floors, TileOutcome* out) const;

 private:
  bool tiled_;
  bool amx_;
  SketchKernel kernel_;
};

// The exact int8 dots of the tile's lanes with the records: dots[r * kTileLanes + lane] for
// r < kTileRecords (rows past records.n are padding). The AMX kernel multiplies tiles of 16
// records by 16 lanes, 64 dimensions at a time, signed by signed bytes; it and TileBoundsAmx
// need the configuration AmxLoadTileConfig loads on the calling thread.
void AmxLoadTileConfig();
void AmxReleaseTiles();
void TileDotsAvx512Vnni(const SketchTile& tile, const TileRecords& records, std::int32_t* dots);
void TileDotsAmx(const SketchTile& tile, const TileRecords& records, std::int32_t* dots);
void TileBoundsAvx512Vnni(const SketchTile& tile, const TileRecords& records, const double* floors,
                          const double* low_floors, TileOutcome* out);
void TileBoundsAmx(const SketchTile& tile, const TileRecords& records, const double* floors,
                   const double* low_floors, TileOutcome* out);

}  // namespace zanth
