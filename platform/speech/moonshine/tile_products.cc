#include "platform/speech/moonshine/tile_products.h"

#include <cpuid.h>
#include <immintrin.h>
#include <oneapi/dnnl/dnnl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace speech::moonshine {
namespace {

constexpr int kTileRows = 16;    // rows of a and of the sums per tile
constexpr int kChunk = 64;       // input bytes per tile row
constexpr int kBlockBytes = 16;  // bytes per input in a block of 16 outputs (16 outputs x 1)

// The layout ldtilecfg reads.
struct TileConfig {
  std::uint8_t palette = 1;
  std::uint8_t start_row = 0;
  std::uint8_t reserved[14] = {};
  std::uint16_t bytes_per_row[16] = {};
  std::uint8_t rows[16] = {};
};

// Tiles 0 and 1 hold the sums of two blocks, 2 the inputs, 3 and 4 the two blocks' weights; 5 to
// 7 the same for the inputs past the last whole chunk of 64.
TileConfig configFor(int in) {
  TileConfig c;
  auto set = [&](int tile, int rows, int bytes) {
    c.rows[tile] = static_cast<std::uint8_t>(rows);
    c.bytes_per_row[tile] = static_cast<std::uint16_t>(bytes);
  };
  for (int tile = 0; tile < 5; ++tile) set(tile, kTileRows, kChunk);
  if (int tail = in % kChunk; tail > 0) {
    set(5, kTileRows, tail);
    set(6, tail / 4, kChunk);
    set(7, tail / 4, kChunk);
  }
  return c;
}

bool cpuHasTiles() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kAmxTile = 1u << 24, kAmxInt8 = 1u << 25;
  return (edx & kAmxTile) && (edx & kAmxInt8);
}

// Linux hands out the tiles' 8 KB of state only to a process that asks (ARCH_REQ_XCOMP_PERM for
// XFEATURE_XTILEDATA).
bool kernelGrantsTiles() {
  constexpr long kRequestPermission = 0x1023, kTileData = 18;
  return syscall(SYS_arch_prctl, kRequestPermission, kTileData) == 0;
}

bool libraryAllowsTiles() {
  auto allowed = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
  auto amx = static_cast<unsigned>(dnnl_cpu_isa_avx512_core_amx);
  return (allowed & amx) == amx;
}

}  // namespace

bool tilesUsable() {
  static const bool usable = cpuHasTiles() && libraryAllowsTiles() && kernelGrantsTiles();
  return usable;
}

__attribute__((target("amx-tile,amx-int8"))) void tileProducts(const std::uint8_t* a, int rows,
                                                               int in, const std::int8_t* packed,
                                                               int blocks, std::int32_t* d,
                                                               std::size_t d_stride) {
  TileConfig config = configFor(in);
  _tile_loadconfig(&config);
  int chunks = in / kChunk;
  bool tail = in % kChunk != 0;
  std::size_t block_bytes = static_cast<std::size_t>(in) * kBlockBytes;
  std::size_t chunk_bytes = static_cast<std::size_t>(kChunk) * kBlockBytes;
  for (int r = 0; r < rows; r += kTileRows) {
    const std::uint8_t* x = a + static_cast<std::size_t>(r) * in;
    for (int b = 0; b < blocks; b += 2) {
      bool pair = b + 1 < blocks;
      const std::int8_t* w0 = packed + b * block_bytes;
      const std::int8_t* w1 = w0 + block_bytes;
      _tile_zero(0);
      _tile_zero(1);
      for (int k = 0; k < chunks; ++k) {
        _tile_loadd(2, x + k * kChunk, in);
        _tile_loadd(3, w0 + k * chunk_bytes, kChunk);
        _tile_dpbusd(0, 2, 3);
        if (pair) {
          _tile_loadd(4, w1 + k * chunk_bytes, kChunk);
          _tile_dpbusd(1, 2, 4);
        }
      }
      if (tail) {
        _tile_loadd(5, x + chunks * kChunk, in);
        _tile_loadd(6, w0 + chunks * chunk_bytes, kChunk);
        _tile_dpbusd(0, 5, 6);
        if (pair) {
          _tile_loadd(7, w1 + chunks * chunk_bytes, kChunk);
          _tile_dpbusd(1, 5, 7);
        }
      }
      std::int32_t* out = d + r * d_stride + b * 16;
      _tile_stored(0, out, d_stride * sizeof(std::int32_t));
      if (pair) _tile_stored(1, out + 16, d_stride * sizeof(std::int32_t));
    }
  }
  _tile_release();
}

}  // namespace speech::moonshine
