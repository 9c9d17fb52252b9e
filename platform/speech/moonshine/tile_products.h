#pragma once

#include <cstddef>
#include <cstdint>

// Byte products on the tile unit (AMX) where the CPU has one: a tile instruction multiplies 16
// rows by 16 outputs by 64 inputs at once, 256 times the work of the vector instruction in about
// 16 times its cycles. The sums are exact integers, as every other kernel's.
namespace speech::moonshine {

// Whether the CPU has the tile unit, Linux lets this process use it, and oneDNN is allowed it
// (ONEDNN_MAX_CPU_ISA limits both alike).
bool tilesUsable();

// For `rows` rows (a multiple of 16) of a (`in` bytes each, a multiple of 4) and `blocks`
// blocks of 16 outputs laid out as PackedLinear's: d[r * d_stride + 16 * b + o] = sum over i of
// a[r][i] * (stored byte of input i, output o of block b). Only where tilesUsable().
void tileProducts(const std::uint8_t* a, int rows, int in, const std::int8_t* packed, int blocks,
                  std::int32_t* d, std::size_t d_stride);

}  // namespace speech::moonshine
