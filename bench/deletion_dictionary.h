// A compiled symmetric-delete dictionary: the rival the typo search is
// measured against in walk_baseline.cc.
//
// Every string made from a stored term by deleting at most k of its scalars
// is hashed and filed under that term. A query within k of a term shares at
// least one such string with it (each edit of an optimal alignment is a
// deletion on one side or both), so the terms filed under the query's own
// deletions are all the candidates; each is verified with a bit-parallel
// Levenshtein distance bounded by k. Results: every term within k, each
// once, in no particular order.
//
// Layout: an open-addressing table of 8-byte slots (a 32-bit tag of the
// 64-bit hash, and either one term id or the start of a posting list), the
// posting lists, and the terms' scalars. A hash shared by two different
// strings only adds candidates, which verification drops.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

class DeletionDictionary {
 public:
  struct Match {
    uint32_t term;
    uint32_t distance;
  };

  // REQUIRES: fewer than 2^24 terms, k <= 2.
  DeletionDictionary(const std::vector<std::u32string>& terms, uint32_t k) : k_(k) {
    offsets_.reserve(terms.size() + 1);
    offsets_.push_back(0);
    for (const std::u32string& t : terms) {
      scalars_.insert(scalars_.end(), t.begin(), t.end());
      offsets_.push_back(static_cast<uint32_t>(scalars_.size()));
    }
    // (top 40 bits of a deletion's hash, term id), sorted: the runs of equal
    // hashes are the posting lists.
    std::vector<uint64_t> keyed;
    for (uint32_t id = 0; id < terms.size(); ++id) {
      deletions(terms[id], [&](uint64_t h) { keyed.push_back((h & ~kIdMask) | id); });
    }
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < keyed.size(); ++i) distinct += i == 0 || (keyed[i] ^ keyed[i - 1]) > kIdMask;
    slots_.assign(std::bit_ceil(distinct + distinct / 2 + 2), Slot{0, kEmpty});
    mask_ = slots_.size() - 1;
    for (std::size_t i = 0; i < keyed.size();) {
      std::size_t j = i + 1;
      while (j < keyed.size() && (keyed[j] ^ keyed[i]) <= kIdMask) ++j;
      const uint64_t h = keyed[i] & ~kIdMask;
      std::size_t s = index(h);
      while (slots_[s].value != kEmpty) s = (s + 1) & mask_;
      slots_[s].tag = tag(h);
      if (j - i == 1) {
        slots_[s].value = static_cast<uint32_t>(keyed[i] & kIdMask) | kSingle;
      } else {
        slots_[s].value = static_cast<uint32_t>(postings_.size());
        postings_.push_back(static_cast<uint32_t>(j - i));
        for (std::size_t p = i; p < j; ++p) postings_.push_back(static_cast<uint32_t>(keyed[p] & kIdMask));
      }
      i = j;
    }
    seen_.assign(terms.size(), 0);
  }

  // Every term within k of q with its distance.
  std::vector<Match> lookup(std::u32string_view q) {
    std::vector<Match> found;
    if (++stamp_ == 0) {
      std::fill(seen_.begin(), seen_.end(), 0);
      stamp_ = 1;
    }
    // All probes first, each one's slot fetched before any is read.
    hashes_.clear();
    deletions(q, [&](uint64_t h) {
      __builtin_prefetch(&slots_[index(h)]);
      hashes_.push_back(h);
    });
    const Verifier verify(q, k_);
    const auto candidate = [&](uint32_t id) {
      if (seen_[id] == stamp_) return;
      seen_[id] = stamp_;
      const uint32_t length = offsets_[id + 1] - offsets_[id];
      if (length + k_ < q.size() || q.size() + k_ < length) return;
      const uint32_t d = verify(std::u32string_view(scalars_.data() + offsets_[id], length));
      if (d <= k_) found.push_back({id, d});
    };
    for (const uint64_t h : hashes_) {
      for (std::size_t s = index(h); slots_[s].value != kEmpty; s = (s + 1) & mask_) {
        if (slots_[s].tag != tag(h)) continue;
        const uint32_t value = slots_[s].value;
        if (value & kSingle) {
          candidate(value & ~kSingle);
        } else {
          for (uint32_t p = 0; p < postings_[value]; ++p) candidate(postings_[value + 1 + p]);
        }
      }
    }
    return found;
  }

  std::size_t bytes() const {
    return slots_.capacity() * sizeof(Slot) + postings_.capacity() * 4 + scalars_.capacity() * 4 +
           offsets_.capacity() * 4 + seen_.capacity() * 4;
  }

 private:
  static constexpr uint64_t kIdMask = (uint64_t{1} << 24) - 1;
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;
  static constexpr uint32_t kSingle = 0x80000000;
  struct Slot {
    uint32_t tag;
    uint32_t value;  // kEmpty, kSingle | term id, or a posting list's start
  };

  static uint64_t mix(uint64_t h, std::size_t length) {
    h += length * 0x9E3779B97F4A7C15ull;
    h ^= h >> 31;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    return h * 0xC4CEB9FE1A85EC53ull;
  }
  std::size_t index(uint64_t h) const { return (h >> 40) & mask_; }
  static uint32_t tag(uint64_t h) { return static_cast<uint32_t>(h >> 24) | 1; }

  // Calls emit(hash) for s and every string made from it by deleting up to
  // k_ (at most 2) scalars; a string reached in several ways may come
  // several times. The hash of a string is its polynomial hash, mixed: from
  // the prefix hashes of s, that of each deletion costs a few products.
  template <class Emit>
  void deletions(std::u32string_view s, Emit&& emit) {
    constexpr uint64_t B = 0x100000001B3ull;
    const std::size_t n = s.size();
    prefix_.resize(n + 1);
    power_.resize(n + 1);
    uint64_t* P = prefix_.data();
    uint64_t* pw = power_.data();
    P[0] = 0;
    pw[0] = 1;
    for (std::size_t i = 0; i < n; ++i) {
      P[i + 1] = P[i] * B + s[i];
      pw[i + 1] = pw[i] * B;
    }
    emit(mix(P[n], n));
    if (k_ == 0 || n == 0) return;
    // The hash of s[from..n): P[n] - P[from] B^(n - from).
    const auto suffix = [&](std::size_t from) { return P[n] - P[from] * pw[n - from]; };
    for (std::size_t i = 0; i < n; ++i) {
      // Deleting any of a run of equal scalars gives the same string: the first will do.
      if (i > 0 && s[i] == s[i - 1]) continue;
      emit(mix(P[i] * pw[n - 1 - i] + suffix(i + 1), n - 1));
      if (k_ < 2) continue;
      for (std::size_t j = i + 1; j < n; ++j) {
        if (j > i + 1 && s[j] == s[j - 1]) continue;
        const uint64_t middle = P[j] - P[i + 1] * pw[j - i - 1];
        emit(mix(P[i] * pw[n - 2 - i] + middle * pw[n - 1 - j] + suffix(j + 1), n - 2));
      }
    }
  }

  // Levenshtein distance of q and a term, exact up to k and above k beyond
  // it: Myers' bit-vector algorithm (Hyyrö's form) over the term's scalars
  // for queries of up to 64 scalars, a banded table otherwise.
  struct Verifier {
    std::u32string_view q;
    uint32_t k;
    std::array<std::pair<char32_t, uint64_t>, 64> peq{};  // distinct scalars of q
    uint32_t distinct = 0;

    Verifier(std::u32string_view query, uint32_t bound) : q(query), k(bound) {
      if (q.size() > 64) return;
      for (std::size_t i = 0; i < q.size(); ++i) {
        uint32_t at = 0;
        while (at < distinct && peq[at].first != q[i]) ++at;
        if (at == distinct) peq[distinct++] = {q[i], 0};
        peq[at].second |= uint64_t{1} << i;
      }
    }

    uint64_t eq(char32_t c) const {
      for (uint32_t i = 0; i < distinct; ++i) {
        if (peq[i].first == c) return peq[i].second;
      }
      return 0;
    }

    uint32_t operator()(std::u32string_view t) const {
      const std::size_t m = q.size();
      if (m == 0) return static_cast<uint32_t>(t.size());
      if (m > 64) return table(t);
      uint64_t VP = ~uint64_t{0}, VN = 0;
      const uint64_t last = uint64_t{1} << (m - 1);
      uint32_t score = static_cast<uint32_t>(m);
      for (std::size_t j = 0; j < t.size(); ++j) {
        const uint64_t E = eq(t[j]);
        const uint64_t D0 = (((E & VP) + VP) ^ VP) | E | VN;
        uint64_t HP = VN | ~(D0 | VP);
        const uint64_t HN = VP & D0;
        score += (HP & last) ? 1 : 0;
        score -= (HN & last) ? 1 : 0;
        HP = (HP << 1) | 1;
        VP = (HN << 1) | ~(D0 | HP);
        VN = HP & D0;
        // The score can fall by at most one per remaining scalar.
        if (score > k + (t.size() - 1 - j)) return k + 1;
      }
      return score;
    }

    uint32_t table(std::u32string_view t) const {
      std::vector<uint32_t> row(q.size() + 1);
      for (std::size_t i = 0; i <= q.size(); ++i) row[i] = static_cast<uint32_t>(i);
      for (std::size_t j = 1; j <= t.size(); ++j) {
        uint32_t diagonal = row[0];
        row[0] = static_cast<uint32_t>(j);
        for (std::size_t i = 1; i <= q.size(); ++i) {
          const uint32_t up = row[i];
          row[i] = std::min({up + 1, row[i - 1] + 1, diagonal + (q[i - 1] != t[j - 1])});
          diagonal = up;
        }
      }
      return row[q.size()];
    }
  };

  uint32_t k_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::vector<uint32_t> postings_;  // per list: its length, then term ids
  std::vector<char32_t> scalars_;
  std::vector<uint32_t> offsets_;
  std::vector<uint32_t> seen_;  // per term: the stamp of the last lookup that verified it
  uint32_t stamp_ = 0;
  std::vector<uint64_t> hashes_;
  std::vector<uint64_t> prefix_, power_;  // scratch of deletions()
};

}  // namespace bench
