#include "snapshot/codec.h"

namespace corvalind::snapshot {

namespace {

std::string_view name(IntegerType type) {
  switch (type) {
    case IntegerType::U32: return "U32";
    case IntegerType::U64: return "U64";
    case IntegerType::U128: return "U128";
    case IntegerType::Reserved: return "Reserved";
  }
  return "Reserved";
}

struct Renderer {
  std::string operator()(const UnexpectedEnd& e) const {
    return "UnexpectedEnd { additional: " + std::to_string(e.additional) + " }";
  }
  std::string operator()(const InvalidIntegerType& e) const {
    return "InvalidIntegerType { expected: " + std::string(name(e.expected)) + ", found: " +
           std::string(name(e.found)) + " }";
  }
  std::string operator()(const UnexpectedVariant& e) const {
    return "UnexpectedVariant { type_name: \"" + std::string(e.type_name) + "\", allowed: Range { min: " +
           std::to_string(e.allowed.min) + ", max: " + std::to_string(e.allowed.max) +
           " }, found: " + std::to_string(e.found) + " }";
  }
  std::string operator()(const InvalidCharEncoding& e) const {
    return "InvalidCharEncoding([" + std::to_string(e.bytes[0]) + ", " + std::to_string(e.bytes[1]) + ", " +
           std::to_string(e.bytes[2]) + ", " + std::to_string(e.bytes[3]) + "])";
  }
  std::string operator()(const InvalidBooleanValue& e) const {
    return "InvalidBooleanValue(" + std::to_string(e.value) + ")";
  }
};

}  // namespace

std::string render(const DecodeError& error) { return std::visit(Renderer{}, error); }

DecodeError Reader::invalid_marker(IntegerType width, uint8_t marker) {
  IntegerType found = marker == 0xFD ? IntegerType::U64 : marker == 0xFE ? IntegerType::U128 : IntegerType::Reserved;
  return InvalidIntegerType{width, found};
}

Decoded<char32_t> Reader::character_multibyte() {
  if (pos_ == end_) return std::unexpected(UnexpectedEnd{1});
  std::array<uint8_t, 4> bytes{*pos_, 0, 0, 0};
  uint8_t lead = bytes[0];  // not ASCII: character() took that branch
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
    return std::unexpected(InvalidCharEncoding{bytes});
  }
  ++pos_;
  std::size_t rest = width - 1;
  if (remaining() < rest) return std::unexpected(UnexpectedEnd{rest - remaining()});
  for (std::size_t k = 1; k < width; ++k) bytes[k] = *pos_++;
  bool valid = bytes[1] >= second_min && bytes[1] <= second_max;
  for (std::size_t k = 2; k < width; ++k) valid = valid && bytes[k] >= 0x80 && bytes[k] <= 0xBF;
  if (!valid) return std::unexpected(InvalidCharEncoding{bytes});
  char32_t c = lead & (0x7F >> width);
  for (std::size_t k = 1; k < width; ++k) c = (c << 6) | (bytes[k] & 0x3F);
  return c;
}

Decoded<std::array<uint8_t, 16>> Reader::id16() {
  std::array<uint8_t, 16> id;
  if (remaining() < id.size()) return std::unexpected(UnexpectedEnd{id.size() - remaining()});
  std::copy(pos_, pos_ + id.size(), id.begin());
  pos_ += id.size();
  return id;
}

}  // namespace corvalind::snapshot
