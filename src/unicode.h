// UTF-8 of text known to be valid (query terms and labels come from Python
// str objects, stored labels were validated when read), to and from
// Unicode scalar values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvalind {

// The scalar whose encoding starts at utf8[i]; advances i past it. A
// sequence cut short by the end of the text is read as far as it goes.
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

inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace corvalind
