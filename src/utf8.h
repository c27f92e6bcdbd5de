// UTF-8: the one place that decodes, encodes and counts it.
//
// Two ways to decode. Text the interpreter already validated (query terms,
// labels read back from a checked trie) is decoded trusting it: no check,
// for the hot paths. Bytes from outside (snapshots, labels handed to the
// builder) are decoded by decode_checked, which refuses every sequence
// RFC 3629 rules out and says why.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

namespace corvalind {

// ---- Trusted text -----------------------------------------------------------

// The scalar whose encoding starts at utf8[i]; advances i past it. A
// sequence cut short by the end of the text is read as far as it goes.
// REQUIRES: i < utf8.size().
inline char32_t next_scalar(std::string_view utf8, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(utf8[i]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t scalar = length == 1 ? lead : lead & (0x7Fu >> length);
  const std::size_t end = std::min(i + length, utf8.size());
  for (++i; i < end; ++i) scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
  return scalar;
}

inline std::u32string decode_utf8(std::string_view utf8) {
  std::u32string scalars;
  scalars.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) scalars.push_back(next_scalar(utf8, i));
  return scalars;
}

// The number of scalars: the bytes that are not continuation bytes
// (10xxxxxx), counted eight at a time.
inline std::size_t scalar_count(std::string_view utf8) {
  std::size_t continuations = 0;
  std::size_t i = 0;
  for (; i + 8 <= utf8.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, utf8.data() + i, 8);
    // Bit 7 of each byte: set, with bit 6 clear.
    continuations += static_cast<std::size_t>(std::popcount(word & ~(word << 1) & 0x8080808080808080ull));
  }
  for (; i < utf8.size(); ++i) continuations += (utf8[i] & 0xC0) == 0x80;
  return utf8.size() - continuations;
}

// ---- Untrusted bytes --------------------------------------------------------

struct CheckedScalar {
  char32_t scalar;
  std::size_t width;  // bytes of its encoding
};

// Why decode_checked refused: the input ends `missing` bytes before the
// sequence does (missing > 0), or else the sequence is invalid; `bytes` are
// the bytes read, zero-filled to four.
struct Utf8Refusal {
  std::size_t missing;
  std::array<uint8_t, 4> bytes;
};

// The scalar at the start of `input`, validated as RFC 3629 requires
// (overlong forms, surrogates and values past U+10FFFF refused). An invalid
// lead byte is refused alone; a valid lead is followed by its whole width
// before the continuation bytes are looked at, so a cut-short sequence is
// reported as missing bytes whatever they would have been.
// REQUIRES: input is not empty.
inline std::expected<CheckedScalar, Utf8Refusal> decode_checked(std::span<const uint8_t> input) {
  std::array<uint8_t, 4> bytes{input[0], 0, 0, 0};
  const uint8_t lead = bytes[0];
  if (lead < 0x80) return CheckedScalar{lead, 1};
  // Width from the lead byte, and the range allowed for the second byte,
  // which is what rules out overlong forms, surrogates and values past
  // U+10FFFF (RFC 3629, section 4).
  std::size_t width;
  uint8_t second_min = 0x80;
  uint8_t second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return std::unexpected(Utf8Refusal{0, bytes});
  }
  if (input.size() < width) return std::unexpected(Utf8Refusal{width - input.size(), bytes});
  for (std::size_t k = 1; k < width; ++k) bytes[k] = input[k];
  bool valid = bytes[1] >= second_min && bytes[1] <= second_max;
  for (std::size_t k = 2; k < width; ++k) valid = valid && bytes[k] >= 0x80 && bytes[k] <= 0xBF;
  if (!valid) return std::unexpected(Utf8Refusal{0, bytes});
  char32_t scalar = lead & (0x7F >> width);
  for (std::size_t k = 1; k < width; ++k) scalar = (scalar << 6) | (bytes[k] & 0x3F);
  return CheckedScalar{scalar, width};
}

// ---- Encoding ---------------------------------------------------------------

// Hands the encoding of `c` to `emit` as one std::array<uint8_t, W> of its
// width W (1 to 4), so a caller that counts or copies bytes knows W at
// compile time.
// REQUIRES: c is a Unicode scalar value.
template <class Emit>
inline void encode_utf8(char32_t c, Emit&& emit) {
  const auto continuation = [c](int shift) { return static_cast<uint8_t>(0x80 | ((c >> shift) & 0x3F)); };
  if (c < 0x80) {
    emit(std::array<uint8_t, 1>{static_cast<uint8_t>(c)});
  } else if (c < 0x800) {
    emit(std::array<uint8_t, 2>{static_cast<uint8_t>(0xC0 | (c >> 6)), continuation(0)});
  } else if (c < 0x10000) {
    emit(std::array<uint8_t, 3>{static_cast<uint8_t>(0xE0 | (c >> 12)), continuation(6), continuation(0)});
  } else {
    emit(std::array<uint8_t, 4>{static_cast<uint8_t>(0xF0 | (c >> 18)), continuation(12), continuation(6),
                                continuation(0)});
  }
}

inline void append_utf8(std::string& out, char32_t c) {
  encode_utf8(c, [&out](const auto& bytes) {
    for (const uint8_t byte : bytes) out.push_back(static_cast<char>(byte));
  });
}

// The UTF-8 text of a run of scalars: any range of char32_t, a reversed
// view of one too.
template <class Scalars>
std::string utf8_text(const Scalars& scalars) {
  std::string text;
  text.reserve(std::size(scalars));
  for (const char32_t c : scalars) append_utf8(text, c);
  return text;
}

}  // namespace corvalind
