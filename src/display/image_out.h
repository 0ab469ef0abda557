// image_out.h — pictures to files: PNG for people, raw words for tools, and the picture's hash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zd {

// Writes a 480 x 360 window (bottom row first, pixel words) as an 8-bit RGB PNG, top row first.
// The file appears whole or not at all; on failure err says why.
bool write_png(const std::string& path, const std::uint32_t* window, std::string& err);
// Writes n words little-endian, in order. Whole or not at all, as write_png.
bool write_words(const std::string& path, const std::uint32_t* words, std::size_t n,
                 std::string& err);
// FNV-1a, 64 bits, over the words' little-endian bytes.
std::uint64_t fnv1a_words(const std::uint32_t* words, std::size_t n);

}  // namespace zd
