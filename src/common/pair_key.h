#pragma once

#include <cstdint>

// Two adjacent tokens named by one 32-bit key: the left (earlier) id in the high half.
constexpr uint32_t pair_key(uint16_t left, uint16_t right) {
  return (static_cast<uint32_t>(left) << 16) | right;
}
constexpr uint16_t pair_left(uint32_t key) {
  return static_cast<uint16_t>(key >> 16);
}
constexpr uint16_t pair_right(uint32_t key) {
  return static_cast<uint16_t>(key & 0xFFFF);
}
