// Shared by the image fuzz targets: the input after its control bytes is a
// list of records (2-byte offset, length byte whose low 6 bits count, then
// the bytes) copied onto a valid image, so the fuzzer starts from images the
// library accepts and damages them where it likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

inline void apply_overlay(std::vector<uint8_t>& image, const uint8_t* data, size_t size, size_t at) {
  while (at + 3 <= size) {
    const uint32_t off = (data[at] | data[at + 1] << 8) % image.size();
    size_t n = data[at + 2] & 0x3F;
    at += 3;
    if (n > size - at) n = size - at;
    if (n > image.size() - off) n = image.size() - off;
    std::memcpy(image.data() + off, data + at, n);
    at += n;
  }
}
