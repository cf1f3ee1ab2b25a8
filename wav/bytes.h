// Little-endian fields, named by width, sign and byte order, as the WAV files of wav/ hold them.
#pragma once

#include <cstdint>

// The unsigned 16-bit value of two bytes, least significant first.
inline int u16_le(const char *at) {
  return static_cast<unsigned char>(at[0]) | static_cast<unsigned char>(at[1]) << 8;
}

// The unsigned 32-bit value of four bytes, least significant first.
inline uint32_t u32_le(const char *at) {
  return static_cast<uint32_t>(u16_le(at)) | static_cast<uint32_t>(u16_le(at + 2)) << 16;
}

// The unsigned 64-bit value of eight bytes, least significant first.
inline uint64_t u64_le(const char *at) {
  return static_cast<uint64_t>(u32_le(at)) | static_cast<uint64_t>(u32_le(at + 4)) << 32;
}

// The same four bytes as a signed 32-bit value.
inline int32_t s32_le(const char *at) {
  return static_cast<int32_t>(u32_le(at));
}

// The two bytes of the low 16 bits of value, least significant first.
inline void put_u16_le(unsigned char *at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value & 0xFF);
  at[1] = static_cast<unsigned char>(value >> 8 & 0xFF);
}

// The four bytes of value, least significant first.
inline void put_u32_le(unsigned char *at, uint32_t value) {
  put_u16_le(at, value & 0xFFFF);
  put_u16_le(at + 2, value >> 16);
}
