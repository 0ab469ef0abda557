// image_out.h — pictures as bytes: PNG for people, raw words for tools, and the picture's hash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zd {

// Writes a width x height window (bottom row first, pixel words) to f as an 8-bit RGB PNG, top
// row first, with a tEXt chunk (keyword, text) after its header unless text is empty; the other
// bytes are the same either way. Returns "" or what went wrong.
std::string png_to(std::FILE* f, const std::uint32_t* window, int width, int height,
                   const std::string& keyword = "", const std::string& text = "");
// Writes n words to f, little-endian, in order. Returns "" or what went wrong.
std::string words_to(std::FILE* f, const std::uint32_t* words, std::size_t n);
// FNV-1a, 64 bits, over the words' little-endian bytes.
std::uint64_t fnv1a_words(const std::uint32_t* words, std::size_t n);

}  // namespace zd
