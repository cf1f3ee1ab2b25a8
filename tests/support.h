// Test helpers: little-endian fields of WAV bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

inline std::string le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}

inline std::string le32(uint32_t v) {
  return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16));
}
