#include "snapshot/codec.h"

#include "messages.h"

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
  std::string operator()(const UnexpectedEnd& e) const { return messages::unexpected_end(e.additional); }
  std::string operator()(const InvalidIntegerType& e) const {
    return messages::invalid_integer_type(name(e.expected), name(e.found));
  }
  std::string operator()(const UnexpectedVariant& e) const {
    return messages::unexpected_variant(e.type_name, e.allowed.min, e.allowed.max, e.found);
  }
  std::string operator()(const InvalidCharEncoding& e) const { return messages::invalid_char_encoding(e.bytes); }
  std::string operator()(const InvalidBooleanValue& e) const { return messages::invalid_boolean_value(e.value); }
};

}  // namespace

std::string render(const DecodeError& error) { return std::visit(Renderer{}, error); }

DecodeError Reader::invalid_marker(IntegerType width, uint8_t marker) {
  IntegerType found = marker == 0xFD ? IntegerType::U64 : marker == 0xFE ? IntegerType::U128 : IntegerType::Reserved;
  return InvalidIntegerType{width, found};
}

Decoded<std::array<uint8_t, 16>> Reader::id16() {
  std::array<uint8_t, 16> id;
  if (remaining() < id.size()) return std::unexpected(UnexpectedEnd{id.size() - remaining()});
  std::copy(pos_, pos_ + id.size(), id.begin());
  pos_ += id.size();
  return id;
}

}  // namespace corvalind::snapshot
