// Test helpers: little-endian fields of WAV bytes, and files in memory.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

inline std::string le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}

inline std::string le32(uint32_t v) {
  return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16));
}

inline std::string le64(uint64_t v) {
  return le32(static_cast<uint32_t>(v)) + le32(static_cast<uint32_t>(v >> 32));
}

// The canonical 44-byte header: a 16-byte format chunk, then the data chunk;
// tag 1 for integer codes, 3 for floats.
inline std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate = 8000,
                              int tag = 1) {
  const int block = channels * bits / 8;
  return "RIFF" + le32(data_size + 36) + "WAVEfmt " + le32(16) + le16(tag) + le16(channels) +
         le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate * block)) +
         le16(block) + le16(bits) + "data" + le32(data_size);
}

// Where two byte strings part: the first byte that differs, each side's
// byte there (or its end), and their lengths, for a failure to say.
inline std::string first_difference(const std::string &got, const std::string &want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) at++;
  auto byte = [&](const std::string &s) {
    return at < s.size() ? std::to_string(static_cast<unsigned char>(s[at]))
                         : std::string("the end");
  };
  return "first difference at byte " + std::to_string(at) + ": " + byte(got) + " where " +
         byte(want) + " was wanted (lengths " + std::to_string(got.size()) + " and " +
         std::to_string(want.size()) + ")";
}

// A file in memory holding bytes, open for reading and writing at its
// start.
inline int memory_file(const std::string &bytes) {
  const int fd = memfd_create("tapsum-test", 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// All the bytes of a file from its start.
inline std::string contents(int fd) {
  std::string bytes;
  char chunk[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<size_t>(n));
  return bytes;
}
