#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "payloads.h"
#include "prefix/trie/trie.h"
#include "snapshot/codec.h"

namespace corvalind {
namespace {

namespace snap = snapshot;
using Bytes = std::vector<uint8_t>;

// "02 00 61" -> {0x02, 0x00, 0x61}
Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs `put` through both sinks; the writer must fill exactly the counted size.
template <class Put>
Bytes written(Put put) {
  snap::SizeCounter counter;
  put(counter);
  Bytes out(counter.size);
  snap::ByteWriter writer{out};
  put(writer);
  EXPECT_EQ(writer.pos, out.size());
  return out;
}

void expect_same_trie(const Trie& a, const Trie& b) {
  EXPECT_EQ(a.node_shifts, b.node_shifts);
  EXPECT_EQ(a.child_labels, b.child_labels);
  EXPECT_EQ(a.child_transitions, b.child_transitions);
  EXPECT_EQ(a.payloads.present, b.payloads.present);
  EXPECT_EQ(a.payloads.totals, b.payloads.totals);
  EXPECT_EQ(a.payloads.entry_offsets, b.payloads.entry_offsets);
  EXPECT_EQ(a.payloads.video_ids, b.payloads.video_ids);
  EXPECT_EQ(a.payloads.video_counts, b.payloads.video_counts);
  EXPECT_EQ(a.video_uuids, b.video_uuids);
  EXPECT_EQ(a.video_int_ids, b.video_int_ids);
  EXPECT_EQ(a.id_mode, b.id_mode);
  EXPECT_EQ(a.is_terminal, b.is_terminal);
}

Trie decoded(const Bytes& bytes) {
  Result<Trie> trie = Trie::decode(bytes);
  EXPECT_TRUE(trie.has_value()) << trie.error().message;
  return trie ? std::move(*trie) : Trie{};
}

std::string decode_error(const Bytes& bytes) {
  Result<Trie> trie = Trie::decode(bytes);
  if (trie) return "(decoded)";
  EXPECT_EQ(trie.error().type, ErrorType::ValueError);
  return trie.error().message;
}

// Two nodes, root -> a, both payloads {3, [0], [3]}, one integer id 500.
Trie worked_example() {
  Trie t;
  t.node_shifts = {0, 1};
  t.child_labels = {U'\0', U'a'};
  t.child_transitions = {1};
  const uint32_t ids[] = {0};
  const uint32_t counts[] = {3};
  push_payload(t.payloads, PayloadView{3, ids, counts});
  push_payload(t.payloads, PayloadView{3, ids, counts});
  t.video_int_ids = {500};
  t.id_mode = IdMode::Int32;
  t.is_terminal = {0, 1};
  return t;
}

// Its 30 bytes, field by field.
const Bytes kWorkedExample = hex(
    "02 00 01  02 00 61  01 01  02 01 03 01 00 01 03 01 03 01 00 01 03  "
    "00  01 FB F4 01  01  02 00 01");

// Multi-byte labels, every integer form, an absent and an empty payload,
// 16-byte ids.
Trie rich_trie() {
  Trie t;
  t.node_shifts = {0, 2, 3, 3};
  t.child_labels = {U'\0', U'\u00E9', U'\u20AC', U'\U0001F600'};
  t.child_transitions = {1, 2, 3};
  const uint32_t ids0[] = {0, 1};
  const uint32_t counts0[] = {70000, 300};
  const uint32_t ids2[] = {1};
  const uint32_t counts2[] = {251};
  push_payload(t.payloads, PayloadView{0xFFFFFFFF, ids0, counts0});
  push_payload(t.payloads, std::nullopt);
  push_payload(t.payloads, PayloadView{251, ids2, counts2});
  push_payload(t.payloads, PayloadView{});
  Uuid a{};
  Uuid b{};
  for (uint8_t k = 0; k < 16; ++k) {
    a[k] = k;
    b[k] = static_cast<uint8_t>(0xF0 + k);
  }
  t.video_uuids = {a, b};
  t.is_terminal = {0, 0, 1, 1};
  return t;
}

TEST(Integer, ShortestFormsAtEveryBoundary) {
  struct Case {
    uint64_t value;
    std::string_view bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {250, "FA"},
      {251, "FB FB 00"},
      {300, "FB 2C 01"},
      {65535, "FB FF FF"},
      {65536, "FC 00 00 01 00"},
      {70000, "FC 70 11 01 00"},
      {4294967295u, "FC FF FF FF FF"},
      {4294967296u, "FD 00 00 00 00 01 00 00 00"},
      {UINT64_MAX, "FD FF FF FF FF FF FF FF FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Bytes bytes = hex(c.bytes);
    EXPECT_EQ(written([&](auto& sink) { snap::put_integer(sink, c.value); }), bytes);

    snap::Reader as_u64(bytes);
    EXPECT_EQ(as_u64.u64(), c.value);
    EXPECT_EQ(as_u64.remaining(), 0u);
    if (c.value <= 0xFFFFFFFF) {
      snap::Reader as_u32(bytes);
      EXPECT_EQ(as_u32.u32(), c.value);
      EXPECT_EQ(as_u32.remaining(), 0u);
    }
  }
}

TEST(Integer, LongerFormsAreAccepted) {
  struct Case {
    std::string_view bytes;
    uint64_t value;
    bool fits_u32;
  };
  const Case cases[] = {
      {"FB 05 00", 5, true},
      {"FC 05 00 00 00", 5, true},
      {"FC FF FF 00 00", 65535, true},
      {"FD 02 00 00 00 00 00 00 00", 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    Bytes bytes = hex(c.bytes);
    snap::Reader as_u64(bytes);
    EXPECT_EQ(as_u64.u64(), c.value);
    if (c.fits_u32) {
      snap::Reader as_u32(bytes);
      EXPECT_EQ(as_u32.u32(), c.value);
    }
  }
  Bytes fd = hex("FD 02 00 00 00 00 00 00 00");
  snap::Reader fd_as_u32(fd);
  EXPECT_EQ(snap::render(fd_as_u32.u32().error()), "InvalidIntegerType { expected: U32, found: U64 }");
}

TEST(Character, Utf8FormsAtEveryBoundary) {
  struct Case {
    char32_t c;
    std::string_view bytes;
  };
  const Case cases[] = {
      {U'\0', "00"},          {0x7F, "7F"},          {0x80, "C2 80"},          {0xE9, "C3 A9"},
      {0x7FF, "DF BF"},       {0x800, "E0 A0 80"},   {0xD7FF, "ED 9F BF"},     {0xE000, "EE 80 80"},
      {0xFFFF, "EF BF BF"},   {0x10000, "F0 90 80 80"}, {0x1F600, "F0 9F 98 80"}, {0x10FFFF, "F4 8F BF BF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    Bytes bytes = hex(c.bytes);
    EXPECT_EQ(written([&](auto& sink) { snap::put_char(sink, c.c); }), bytes);
    snap::Reader reader(bytes);
    EXPECT_EQ(reader.character(), c.c);
    EXPECT_EQ(reader.remaining(), 0u);
  }
}

TEST(Snapshot, WorkedExampleBothWays) {
  Bytes bytes = worked_example().encode();
  EXPECT_EQ(bytes, kWorkedExample);
  EXPECT_EQ(bytes.size(), 30u);

  Trie back = decoded(kWorkedExample);
  expect_same_trie(back, worked_example());
  EXPECT_EQ(back.encode(), kWorkedExample);
}

TEST(Snapshot, EmptyTrieIsEightZeroBytes) {
  const Bytes zeros(8, 0);
  EXPECT_EQ(Trie{}.encode(), zeros);
  Trie back = decoded(zeros);
  expect_same_trie(back, Trie{});
  EXPECT_EQ(back.encode(), zeros);
}

TEST(Snapshot, RichTrieRoundTrips) {
  Trie trie = rich_trie();
  Bytes bytes = trie.encode();
  Trie back = decoded(bytes);
  expect_same_trie(back, trie);
  EXPECT_EQ(back.encode(), bytes);
}

TEST(Snapshot, TrailingBytesAreIgnored) {
  Trie back = decoded(concat(kWorkedExample, hex("FF 00 07")));
  expect_same_trie(back, worked_example());
}

TEST(Snapshot, LongerFormsReadAndAreRewrittenShortest) {
  // The worked example with a count, shifts, a total and the IdMode in
  // longer forms than needed.
  Bytes longer = hex(
      "FD 02 00 00 00 00 00 00 00  FB 00 00 FC 01 00 00 00  02 00 61  01 01  "
      "02 01 FB 03 00 01 00 01 03 01 03 01 00 01 03  00  01 FB F4 01  FB 01 00  02 00 01");
  Trie back = decoded(longer);
  expect_same_trie(back, worked_example());
  EXPECT_EQ(back.encode(), kWorkedExample);
}

TEST(Snapshot, EveryProperPrefixEndsUnexpectedly) {
  for (const Bytes& full : {kWorkedExample, rich_trie().encode()}) {
    for (std::size_t len = 0; len < full.size(); ++len) {
      SCOPED_TRACE(len);
      std::string message = decode_error(Bytes(full.begin(), full.begin() + len));
      EXPECT_TRUE(message.starts_with("decode error: UnexpectedEnd { additional: ")) << message;
    }
  }
}

TEST(Snapshot, RefusedInputs) {
  struct Case {
    const char* name;
    std::string_view bytes;
    std::string_view message;
  };
  const Case cases[] = {
      {"empty input", "", "decode error: UnexpectedEnd { additional: 1 }"},
      {"FD for a 32-bit value", "01 FD", "decode error: InvalidIntegerType { expected: U32, found: U64 }"},
      {"FE for a 32-bit value", "01 FE", "decode error: InvalidIntegerType { expected: U32, found: U128 }"},
      {"FE for a count", "FE", "decode error: InvalidIntegerType { expected: U64, found: U128 }"},
      {"FF for a count", "FF", "decode error: InvalidIntegerType { expected: U64, found: Reserved }"},
      {"FB with one byte left", "FB 01", "decode error: UnexpectedEnd { additional: 1 }"},
      {"FC with one byte left", "01 FC 01", "decode error: UnexpectedEnd { additional: 3 }"},
      {"FD with nothing left", "FD", "decode error: UnexpectedEnd { additional: 8 }"},
      {"payload tag 2", "00 00 00 01 02",
       "decode error: UnexpectedVariant { type_name: \"core::option::Option<corvalind::payload::Payload>\", "
       "allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {"IdMode 2", "00 00 00 00 00 00 02",
       "decode error: UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {"IdMode 300 in a long form", "00 00 00 00 00 00 FB 2C 01",
       "decode error: UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 300 }"},
      {"is_terminal 2", "00 00 00 00 00 00 00 01 02", "decode error: InvalidBooleanValue(2)"},
      {"short 16-byte id", "00 00 00 00 01 AA AA", "decode error: UnexpectedEnd { additional: 14 }"},
      // Labels.
      {"surrogate", "00 01 ED A0 80", "decode error: InvalidCharEncoding([237, 160, 128, 0])"},
      {"lead C0", "00 01 C0 80", "decode error: InvalidCharEncoding([192, 0, 0, 0])"},
      {"lead C1", "00 01 C1 BF", "decode error: InvalidCharEncoding([193, 0, 0, 0])"},
      {"continuation as lead", "00 01 80", "decode error: InvalidCharEncoding([128, 0, 0, 0])"},
      {"lead F5", "00 01 F5 80 80 80", "decode error: InvalidCharEncoding([245, 0, 0, 0])"},
      {"overlong 3 bytes", "00 01 E0 80 80", "decode error: InvalidCharEncoding([224, 128, 128, 0])"},
      {"overlong 4 bytes", "00 01 F0 8F BF BF", "decode error: InvalidCharEncoding([240, 143, 191, 191])"},
      {"above U+10FFFF", "00 01 F4 90 80 80", "decode error: InvalidCharEncoding([244, 144, 128, 128])"},
      {"bad second byte", "00 01 C3 28", "decode error: InvalidCharEncoding([195, 40, 0, 0])"},
      {"bad last byte", "00 01 F0 9F 98 28", "decode error: InvalidCharEncoding([240, 159, 152, 40])"},
      {"F0 9F at the end", "00 01 F0 9F", "decode error: UnexpectedEnd { additional: 2 }"},
      {"end wins over a bad continuation", "00 01 E2 28", "decode error: UnexpectedEnd { additional: 1 }"},
      // Counts far beyond the input: storage stays bounded by the input.
      {"2^64-1 node shifts", "FD FF FF FF FF FF FF FF FF", "decode error: UnexpectedEnd { additional: 1 }"},
      {"2^64-1 labels", "00 FD FF FF FF FF FF FF FF FF 61 62", "decode error: UnexpectedEnd { additional: 1 }"},
      {"2^64-1 payloads", "00 00 00 FD FF FF FF FF FF FF FF FF 00 00",
       "decode error: UnexpectedEnd { additional: 1 }"},
      {"2^64-1 video_ids", "00 00 00 01 01 05 FD FF FF FF FF FF FF FF FF 01 02",
       "decode error: UnexpectedEnd { additional: 1 }"},
      {"2^64-1 ids of 16 bytes", "00 00 00 00 FD FF FF FF FF FF FF FF FF 00 01 02 03",
       "decode error: UnexpectedEnd { additional: 12 }"},
      // Readable, but not a trie.
      {"video_counts shorter than video_ids",
       "02 00 01  02 00 61  01 01  02 00 01 07 02 05 06 01 01  00  00  00  02 00 01",
       "malformed trie: payloads[1] has 2 video_ids but 1 video_counts"},
      {"decode error wins over unequal payload lists",
       "02 00 01  02 00 61  01 01  02 00 01 07 02 05 06 01 01  00  00  02",
       "decode error: UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {"node_shifts shorter than child_labels", "01 00  02 00 61  01 01  02 00 00  00  00  00  02 00 01",
       "malformed trie: node_shifts has 1 entries but child_labels has 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_error(hex(c.bytes)), c.message);
  }
}

}  // namespace
}  // namespace corvalind
