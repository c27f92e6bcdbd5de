// Snapshot of a Trie: its eight fields in declared order, nothing before,
// between or after them.
//
//   1 node_shifts        sequence of 32-bit integers
//   2 child_labels       sequence of characters
//   3 child_transitions  sequence of 32-bit integers
//   4 payloads           sequence of optional payloads: tag byte 0 (absent) or
//                        1 followed by total, video_ids, video_counts
//   5 video_uuids        sequence of 16-byte ids
//   6 video_int_ids      sequence of 32-bit integers
//   7 id_mode            32-bit integer, 0 Uuid or 1 Int32
//   8 is_terminal        sequence of booleans
#include <optional>
#include <string>

#include "interrupt.h"
#include "messages.h"
#include "prefix/trie/malformed.h"
#include "prefix/trie/trie.h"
#include "snapshot/codec.h"

namespace corvalind {

namespace {

namespace snap = snapshot;

constexpr snap::Range kVariantRange{0, 1};

// ---- Writing ----------------------------------------------------------------

// The one walk of the layout, run once to count and once to write.
template <class Sink>
void put_trie(Sink& sink, const Trie& trie) {
  auto put_u32 = [](Sink& s, uint32_t v) { snap::put_integer(s, v); };
  snap::put_sequence(sink, trie.node_shifts, put_u32);
  snap::put_sequence(sink, trie.child_labels, [](Sink& s, char32_t c) { snap::put_char(s, c); });
  snap::put_sequence(sink, trie.child_transitions, put_u32);

  const PayloadTable& payloads = trie.payloads;
  snap::put_integer(sink, payloads.size());
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.has(i)) {
      snap::put_byte(sink, 0);
      continue;
    }
    PayloadView payload = payloads.view(i);
    snap::put_byte(sink, 1);
    snap::put_integer(sink, payload.total);
    snap::put_sequence(sink, payload.video_ids, put_u32);
    snap::put_sequence(sink, payload.video_counts, put_u32);
  }

  snap::put_sequence(sink, trie.video_uuids, [](Sink& s, const Uuid& id) { snap::put_id16(s, id); });
  snap::put_sequence(sink, trie.video_int_ids, put_u32);
  snap::put_integer(sink, static_cast<uint32_t>(trie.id_mode));
  snap::put_sequence(sink, trie.is_terminal, [](Sink& s, uint8_t terminal) { snap::put_byte(s, terminal != 0); });
}

// ---- Reading ----------------------------------------------------------------

// A payload whose two lists differ in length: the flat table cannot hold
// it, so decoding goes on and the trie is refused at the end.
struct PayloadMismatch {
  uint64_t node;
  uint64_t video_ids;
  uint64_t video_counts;
};

constexpr auto read_u32 = [](snap::Reader& r) { return r.u32(); };
constexpr auto read_char = [](snap::Reader& r) { return r.character(); };
constexpr auto read_id16 = [](snap::Reader& r) { return r.id16(); };
constexpr auto read_bool = [](snap::Reader& r) { return r.boolean(); };

// Field 4, straight into the flat table.
snap::Decoded<void> read_payloads(snap::Reader& reader, PayloadTable& table, std::optional<PayloadMismatch>& mismatch) {
  snap::Decoded<uint64_t> count = reader.u64();
  if (!count) return std::unexpected(count.error());
  // Every payload takes at least its tag byte.
  table.reserve(static_cast<std::size_t>(std::min<uint64_t>(*count, reader.remaining())), 0);

  InterruptPoll poll;
  for (uint64_t i = 0; i < *count; ++i) {
    poll.tick();
    snap::Decoded<uint8_t> tag = reader.byte();
    if (!tag) return std::unexpected(tag.error());
    if (*tag > 1) return std::unexpected(snap::UnexpectedVariant{messages::kPayloadTypeName, kVariantRange, *tag});
    uint32_t total = 0;
    if (*tag == 1) {
      snap::Decoded<uint32_t> read_total = reader.u32();
      if (!read_total) return std::unexpected(read_total.error());
      total = *read_total;
      snap::Decoded<uint64_t> ids = snap::read_sequence(reader, table.video_ids, 1, read_u32);
      if (!ids) return std::unexpected(ids.error());
      snap::Decoded<uint64_t> counts = snap::read_sequence(reader, table.video_counts, 1, read_u32);
      if (!counts) return std::unexpected(counts.error());
      if (*ids != *counts && !mismatch) mismatch = PayloadMismatch{i, *ids, *counts};
    }
    table.end_node(*tag == 1, total);
  }
  return {};
}

snap::Decoded<void> read_trie(snap::Reader& reader, Trie& trie, std::optional<PayloadMismatch>& mismatch) {
  using snap::read_sequence;
  if (auto read = read_sequence(reader, trie.node_shifts, 1, read_u32); !read) return std::unexpected(read.error());
  if (auto read = read_sequence(reader, trie.child_labels, 1, read_char); !read) return std::unexpected(read.error());
  if (auto read = read_sequence(reader, trie.child_transitions, 1, read_u32); !read) {
    return std::unexpected(read.error());
  }
  if (auto read = read_payloads(reader, trie.payloads, mismatch); !read) return read;
  if (auto read = read_sequence(reader, trie.video_uuids, 16, read_id16); !read) return std::unexpected(read.error());
  if (auto read = read_sequence(reader, trie.video_int_ids, 1, read_u32); !read) return std::unexpected(read.error());

  snap::Decoded<uint32_t> mode = reader.u32();
  if (!mode) return std::unexpected(mode.error());
  if (*mode > 1) return std::unexpected(snap::UnexpectedVariant{messages::kIdModeTypeName, kVariantRange, *mode});
  trie.id_mode = static_cast<IdMode>(*mode);

  if (auto read = read_sequence(reader, trie.is_terminal, 1, read_bool); !read) return std::unexpected(read.error());
  return {};
}

}  // namespace

std::vector<uint8_t> Trie::encode() const {
  snap::SizeCounter counter;
  put_trie(counter, *this);
  std::vector<uint8_t> out(counter.size);
  snap::ByteWriter writer{out};
  put_trie(writer, *this);
  return out;
}

std::size_t Trie::encoded_size() const {
  snap::SizeCounter counter;
  put_trie(counter, *this);
  return counter.size;
}

Result<Trie> Trie::decode(std::span<const uint8_t> bytes) {
  snap::Reader reader(bytes);
  Trie trie;
  std::optional<PayloadMismatch> mismatch;
  if (auto read = read_trie(reader, trie, mismatch); !read) {
    return fail(ErrorType::ValueError, std::string(messages::kDecodeError) + snap::render(read.error()));
  }
  if (mismatch) {
    return malformed(messages::field_at("payloads", mismatch->node) + " has " +
                     std::to_string(mismatch->video_ids) + " video_ids but " + std::to_string(mismatch->video_counts) +
                     " video_counts");
  }
  return finish_trie(std::move(trie));
}

}  // namespace corvalind
