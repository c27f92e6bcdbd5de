// Building blocks of the snapshot format: variable-length integers, UTF-8
// characters, 16-byte ids, booleans and counted sequences.
//
// Integers (every count and 32-bit value) take their shortest form:
//   0 ..= 250           one byte holding the value
//   ..= 0xFFFF          0xFB, then 2 bytes little-endian
//   ..= 0xFFFFFFFF      0xFC, then 4 bytes little-endian
//   ..= 2^64-1          0xFD, then 8 bytes little-endian (64-bit values only)
// 0xFE and 0xFF are never written nor accepted; a longer form than needed is
// accepted. A character is its UTF-8 encoding, an id its 16 bytes, a boolean
// one byte 0 or 1, a sequence its 64-bit count followed by its elements.
//
// Writers are templates over a sink, so the size pass (SizeCounter) and the
// writing pass (ByteWriter) walk one and the same description of the layout.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"
#include "interrupt.h"
#include "utf8.h"

namespace corvalind::snapshot {

// ---- Errors -----------------------------------------------------------------

enum class IntegerType { U32, U64, U128, Reserved };

struct Range {
  uint32_t min;
  uint32_t max;
};

// The input ends `additional` bytes before the current read is complete.
struct UnexpectedEnd {
  uint64_t additional;
};
// A marker byte not allowed for the width being read (`expected`).
struct InvalidIntegerType {
  IntegerType expected;
  IntegerType found;
};
// An enumeration index or option tag outside `allowed`.
struct UnexpectedVariant {
  std::string_view type_name;  // a string literal
  Range allowed;
  uint32_t found;
};
// The bytes of an invalid UTF-8 sequence as read, zero-filled to four.
struct InvalidCharEncoding {
  std::array<uint8_t, 4> bytes;
};
struct InvalidBooleanValue {
  uint8_t value;
};

using DecodeError =
    std::variant<UnexpectedEnd, InvalidIntegerType, UnexpectedVariant, InvalidCharEncoding, InvalidBooleanValue>;

template <class T>
using Decoded = std::expected<T, DecodeError>;

// The error as text, e.g. "UnexpectedEnd { additional: 1 }" or
// "InvalidCharEncoding([237, 160, 128, 0])".
std::string render(const DecodeError& error);

// ---- Writing ----------------------------------------------------------------

// Counts the bytes a walk would write.
struct SizeCounter {
  std::size_t size = 0;
  template <std::size_t N>
  void put(const std::array<uint8_t, N>&) {
    size += N;
  }
};

// Fills `out`, sized by a SizeCounter walk over the same data. Writing past
// its end is an internal failure, never a silent overflow.
struct ByteWriter {
  std::span<uint8_t> out;
  std::size_t pos = 0;
  template <std::size_t N>
  void put(const std::array<uint8_t, N>& bytes) {
    if (N > out.size() - pos) fail_index(out.size(), pos + N - 1);
    std::memcpy(out.data() + pos, bytes.data(), N);
    pos += N;
  }
};

template <class Sink>
void put_byte(Sink& sink, uint8_t b) {
  sink.put(std::array<uint8_t, 1>{b});
}

// The marker, then the N low bytes of v, little-endian.
template <std::size_t N>
std::array<uint8_t, 1 + N> marked_le(uint8_t marker, uint64_t v) {
  std::array<uint8_t, 1 + N> bytes;
  bytes[0] = marker;
  for (std::size_t k = 0; k < N; ++k) bytes[1 + k] = static_cast<uint8_t>(v >> (8 * k));
  return bytes;
}

template <class Sink>
void put_integer(Sink& sink, uint64_t v) {
  if (v <= 250) {
    put_byte(sink, static_cast<uint8_t>(v));
  } else if (v <= 0xFFFF) {
    sink.put(marked_le<2>(0xFB, v));
  } else if (v <= 0xFFFFFFFF) {
    sink.put(marked_le<4>(0xFC, v));
  } else {
    sink.put(marked_le<8>(0xFD, v));
  }
}

// REQUIRES: c is a Unicode scalar value.
template <class Sink>
void put_char(Sink& sink, char32_t c) {
  encode_utf8(c, [&sink](const auto& bytes) { sink.put(bytes); });
}

template <class Sink>
void put_id16(Sink& sink, const std::array<uint8_t, 16>& id) {
  sink.put(id);
}

// Writes the count of `elements`, then each element with `put_element(sink, e)`.
template <class Sink, class Elements, class PutElement>
void put_sequence(Sink& sink, const Elements& elements, PutElement put_element) {
  put_integer(sink, elements.size());
  for (const auto& e : elements) put_element(sink, e);
}

// ---- Reading ----------------------------------------------------------------

// A cursor over the input, moving forward only. Every read returns the value
// and moves past its encoding, or returns the DecodeError of that element;
// after a failure the cursor is not used again. No read looks past the end.
// The input must outlive the reader.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> input) : pos_(input.data()), end_(input.data() + input.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

  // One raw byte (an option tag).
  Decoded<uint8_t> byte() {
    if (pos_ == end_) return std::unexpected(UnexpectedEnd{1});
    return *pos_++;
  }

  // A 32-bit integer: any form up to 0xFC.
  Decoded<uint32_t> u32() { return integer<uint32_t>(IntegerType::U32); }

  // A 64-bit integer, any form: element counts.
  Decoded<uint64_t> u64() { return integer<uint64_t>(IntegerType::U64); }

  // A character, validated as UTF-8 (RFC 3629).
  Decoded<char32_t> character() {
    if (pos_ == end_) return std::unexpected(UnexpectedEnd{1});
    if (*pos_ < 0x80) return *pos_++;
    const auto checked = decode_checked({pos_, end_});
    if (!checked) {
      if (checked.error().missing > 0) return std::unexpected(UnexpectedEnd{checked.error().missing});
      return std::unexpected(InvalidCharEncoding{checked.error().bytes});
    }
    pos_ += checked->width;
    return checked->scalar;
  }

  // 16 bytes as they are.
  Decoded<std::array<uint8_t, 16>> id16();

  // One byte, 0 or 1.

  Decoded<bool> boolean() {
    if (pos_ == end_) return std::unexpected(UnexpectedEnd{1});
    uint8_t b = *pos_;
    if (b > 1) return std::unexpected(InvalidBooleanValue{b});
    ++pos_;
    return b != 0;
  }

 private:
  template <class T>
  Decoded<T> integer(IntegerType width) {
    if (pos_ == end_) return std::unexpected(UnexpectedEnd{1});
    uint8_t marker = *pos_;
    if (marker <= 250) {
      ++pos_;
      return marker;
    }
    std::size_t n = marker == 0xFB ? 2 : marker == 0xFC ? 4 : marker == 0xFD && width == IntegerType::U64 ? 8 : 0;
    if (n == 0) return std::unexpected(invalid_marker(width, marker));
    ++pos_;
    if (remaining() < n) return std::unexpected(UnexpectedEnd{n - remaining()});
    // Fixed widths, so each loop becomes one load.
    uint64_t v = n == 2 ? load_le<2>(pos_) : n == 4 ? load_le<4>(pos_) : load_le<8>(pos_);
    pos_ += n;
    return static_cast<T>(v);  // the widest form allowed for T fits T
  }

  template <std::size_t N>
  static uint64_t load_le(const uint8_t* p) {
    uint64_t v = 0;
    for (std::size_t k = 0; k < N; ++k) v |= uint64_t{p[k]} << (8 * k);
    return v;
  }

  static DecodeError invalid_marker(IntegerType width, uint8_t marker);

  const uint8_t* pos_;
  const uint8_t* end_;
};

// Makes room for `extra` more elements, growing geometrically so repeated
// appends to one vector stay linear.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

// Reads a sequence's count, then its elements with `read_element(reader)`,
// appending them to `out`; returns the count. Each element takes at least
// `min_element_bytes` of input, so storage is reserved for no more elements
// than the rest of the input could hold, whatever the count claims. Throws
// Interrupted when the interrupt check asks.
template <class T, class ReadElement>
Decoded<uint64_t> read_sequence(Reader& reader, std::vector<T>& out, std::size_t min_element_bytes,
                                ReadElement read_element) {
  Decoded<uint64_t> count = reader.u64();
  if (!count) return count;
  reserve_more(out, static_cast<std::size_t>(std::min<uint64_t>(*count, reader.remaining() / min_element_bytes)));
  InterruptPoll poll;
  for (uint64_t k = 0; k < *count; ++k) {
    poll.tick();
    auto element = read_element(reader);
    if (!element) return std::unexpected(element.error());
    out.push_back(*element);
  }
  return count;
}

}  // namespace corvalind::snapshot
