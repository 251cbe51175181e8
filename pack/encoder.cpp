#include "pack/encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "decode/lzcode.h"

namespace kestrel::pack {
namespace {

constexpr std::size_t kChunkLimit = 65536;
constexpr std::uint32_t kPayloadBitLimit = 524288;  // a payload has to fit the reader's buffers
constexpr std::size_t kBlockHeaderBytes = 12;

constexpr std::uint64_t PayloadBytes(std::uint64_t bits) {
  return (bits + 63) / 64 * 8;
}

// How a match length is sent: the cheapest code that covers it (259 has two; code 29 is shorter).
struct LengthSymbol {
  std::uint8_t code = 0;
  std::uint8_t extra_bits = 0;
  std::uint8_t bits = 0;  // code length plus extra bits
  std::uint16_t extra_value = 0;
};

constexpr std::array<LengthSymbol, lz::kMaxMatch + 1> MakeLengthSymbols() {
  std::array<LengthSymbol, lz::kMaxMatch + 1> table{};
  for (int len = lz::kMinMatch; len <= lz::kMaxMatch; ++len) {
    int best_bits = 1000;
    for (int c = 0; c < lz::kLengthCodes; ++c) {
      const int base = lz::kLengthBase[c];
      const int extra = lz::kLengthExtra[c];
      if (len < base || len >= base + (1 << extra)) continue;
      const int bits = lz::LengthCodeLength(c) + extra;
      if (bits < best_bits) {
        best_bits = bits;
        table[len] = {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(extra),
                      static_cast<std::uint8_t>(bits), static_cast<std::uint16_t>(len - base)};
      }
    }
  }
  return table;
}
constexpr auto kLengthSymbols = MakeLengthSymbols();

// Distance code of 1..65536 without a table: two codes per power of two above 4.
constexpr int DistanceCode(std::uint32_t dist) {
  const std::uint32_t d = dist - 1;
  if (d < 4) return static_cast<int>(d);
  const int high = 31 - std::countl_zero(d);
  return 2 * high + static_cast<int>((d >> (high - 1)) & 1);
}

constexpr bool DistanceCodesAgreeWithTable() {
  for (std::uint32_t dist = 1; dist <= static_cast<std::uint32_t>(lz::kMaxDistance); ++dist) {
    const int c = DistanceCode(dist);
    if (c < 0 || c >= lz::kDistanceCodes) return false;
    if (dist < lz::kDistanceBase[c] || dist - lz::kDistanceBase[c] >= (1u << lz::kDistanceExtra[c]))
      return false;
  }
  return true;
}
static_assert(DistanceCodesAgreeWithTable());

inline int DistanceBits(std::uint32_t dist) {
  return 5 + lz::kDistanceExtra[DistanceCode(dist)];
}

inline std::uint32_t MatchBits(int len, std::uint32_t dist) {
  return kLengthSymbols[len].bits + DistanceBits(dist);
}

// Tokens of a parse: a literal is its byte; a match has the top bit set, length and distance - 1.
constexpr std::uint32_t kMatchFlag = 0x80000000u;
constexpr std::uint32_t MatchToken(int len, std::uint32_t dist) {
  return kMatchFlag | (static_cast<std::uint32_t>(len) << 16) | (dist - 1);
}

// Writes bits most significant first into a zero-initialised buffer of sufficient size.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) : out_(out) {}

  void Put(std::uint32_t value, int bits) {  // bits <= 32
    acc_ = (acc_ << bits) | value;
    pending_ += bits;
    total_ += static_cast<std::uint32_t>(bits);
    if (pending_ >= 32) {
      pending_ -= 32;
      const auto word = static_cast<std::uint32_t>(acc_ >> pending_);
      out_[0] = static_cast<std::uint8_t>(word >> 24);
      out_[1] = static_cast<std::uint8_t>(word >> 16);
      out_[2] = static_cast<std::uint8_t>(word >> 8);
      out_[3] = static_cast<std::uint8_t>(word);
      out_ += 4;
    }
  }

  std::uint32_t Finish() {
    if (pending_ > 0) {
      const std::uint64_t rest = acc_ << (64 - pending_);
      for (int i = 0; i < (pending_ + 7) / 8; ++i)
        out_[i] = static_cast<std::uint8_t>(rest >> (56 - 8 * i));
    }
    return total_;
  }

 private:
  std::uint8_t* out_;
  std::uint64_t acc_ = 0;
  int pending_ = 0;
  std::uint32_t total_ = 0;
};

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Length of the common prefix of a and b from `start`, at most `limit`; a lies before b.
inline int MatchLength(const std::uint8_t* a, const std::uint8_t* b, int start, int limit) {
  int len = start;
  while (len + 8 <= limit) {
    const std::uint64_t x = Load64(a + len) ^ Load64(b + len);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return len + std::countr_zero(x) / 8;
      else
        return len + std::countl_zero(x) / 8;
    }
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

inline std::uint32_t Hash3(const std::uint8_t* p, int bits) {
  const std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
  return (v * 2654435761u) >> (32 - bits);
}

// Fast level: hash chains, a short search and one step of lazy evaluation.
constexpr int kFastHashBits = 15;
constexpr int kFastChain = 12;      // candidates tried per position
constexpr int kFastNice = 48;       // a match this long ends the search
constexpr int kFastLazyLimit = 32;  // a match this long is taken without looking one byte ahead

// Best level: binary-tree match finder feeding a shortest-path parse under exact bit costs.
constexpr int kTreeHashBits = 16;
constexpr int kTreeDepth = 64;  // nodes visited per position
constexpr int kBestNice = 160;  // a match this long is taken whole: positions inside are not parsed

struct Match {
  int len;
  std::uint32_t dist;
};

}  // namespace

struct Encoder::State {
  std::vector<std::uint32_t> tokens = std::vector<std::uint32_t>(kChunkLimit);
  std::size_t token_count = 0;

  // fast level
  std::vector<std::int32_t> chain_head;
  std::vector<std::int32_t> chain_prev;
  std::vector<std::uint32_t> literal_nines;  // prefix count of bytes with a 9-bit literal

  // best level
  std::vector<std::int32_t> tree_head;
  std::vector<std::int32_t> tree_son;  // two children per position
  std::vector<std::uint32_t> cost;     // bits to reach each position
  std::vector<std::uint32_t> from;     // how it was reached: 0 literal, else len << 16 | dist - 1
  std::array<Match, lz::kMaxMatch + 1> matches{};

  explicit State(Level level) {
    if (level == Level::kFast) {
      chain_head.resize(std::size_t{1} << kFastHashBits);
      chain_prev.resize(kChunkLimit);
      literal_nines.resize(kChunkLimit + 1);
    } else {
      tree_head.resize(std::size_t{1} << kTreeHashBits);
      tree_son.resize(2 * kChunkLimit);
      cost.resize(kChunkLimit + 1);
      from.resize(kChunkLimit + 1);
    }
  }

  std::uint32_t ParseFast(const std::uint8_t* d, int n);
  std::uint32_t ParseBest(const std::uint8_t* d, int n);
  int TreeFind(const std::uint8_t* d, int pos, int limit, bool collect);
  std::uint32_t WriteTokens(std::uint8_t* out) const;
  std::uint32_t Parse(Level level, std::span<const std::uint8_t> chunk);
  void AppendCode(std::uint32_t bits, std::vector<std::uint8_t>& out) const;
};

std::uint32_t Encoder::State::ParseFast(const std::uint8_t* d, int n) {
  std::fill(chain_head.begin(), chain_head.end(), -1);
  literal_nines[0] = 0;
  for (int i = 0; i < n; ++i) literal_nines[i + 1] = literal_nines[i] + (d[i] >= 0x90 ? 1 : 0);
  token_count = 0;
  std::uint32_t bits = 0;

  auto literal_bits = [&](int pos, int len) {
    return static_cast<std::uint32_t>(8 * len) + literal_nines[pos + len] - literal_nines[pos];
  };
  auto insert = [&](int pos) {
    if (pos + lz::kMinMatch > n) return;
    const std::uint32_t h = Hash3(d + pos, kFastHashBits);
    chain_prev[pos] = chain_head[h];
    chain_head[h] = pos;
  };
  // Inserts pos and finds its longest match; the saving in bits over literals goes to `gain`.
  auto find = [&](int pos, std::uint32_t& dist, int& gain) -> int {
    gain = 0;
    const int limit = std::min(lz::kMaxMatch, n - pos);
    if (limit < lz::kMinMatch) return 0;
    const std::uint32_t h = Hash3(d + pos, kFastHashBits);
    int cand = chain_head[h];
    chain_prev[pos] = cand;
    chain_head[h] = pos;
    int best = lz::kMinMatch - 1;
    const std::uint8_t* cur = d + pos;
    for (int tries = kFastChain; cand >= 0 && tries > 0; --tries, cand = chain_prev[cand]) {
      const std::uint8_t* p = d + cand;
      if (p[best] != cur[best] || p[0] != cur[0]) continue;
      const int len = MatchLength(p, cur, 0, limit);
      if (len > best) {
        best = len;
        dist = static_cast<std::uint32_t>(pos - cand);
        if (len >= kFastNice || len == limit) break;
      }
    }
    if (best < lz::kMinMatch) return 0;
    gain = static_cast<int>(literal_bits(pos, best)) - static_cast<int>(MatchBits(best, dist));
    return gain > 0 ? best : 0;
  };
  auto emit_literal = [&](int pos) {
    tokens[token_count++] = d[pos];
    bits += static_cast<std::uint32_t>(lz::LiteralBits(d[pos]));
  };
  auto emit_match = [&](int len, std::uint32_t dist) {
    tokens[token_count++] = MatchToken(len, dist);
    bits += MatchBits(len, dist);
  };

  bool pending = false;  // the byte before i waits for the decision between its match and i's
  int prev_len = 0;
  std::uint32_t prev_dist = 0;
  int prev_gain = 0;
  int i = 0;
  while (i < n) {
    std::uint32_t dist = 0;
    int gain = 0;
    const int len = find(i, dist, gain);
    if (pending && prev_len > 0 && gain <= prev_gain) {
      emit_match(prev_len, prev_dist);
      const int end = i - 1 + prev_len;
      for (int p = i + 1; p < end; ++p) insert(p);
      i = end;
      pending = false;
      continue;
    }
    if (pending) emit_literal(i - 1);
    if (len >= kFastLazyLimit) {
      emit_match(len, dist);
      for (int p = i + 1; p < i + len; ++p) insert(p);
      i += len;
      pending = false;
      continue;
    }
    pending = true;
    prev_len = len;
    prev_dist = dist;
    prev_gain = gain;
    ++i;
  }
  if (pending) {
    if (prev_len > 0)
      emit_match(prev_len, prev_dist);
    else
      emit_literal(n - 1);
  }
  return bits;
}

// Inserts `pos` into the binary tree of its hash bucket. With `collect`, fills `matches` with
// every length that improves on the ones before, each at the smallest distance that reaches it.
int Encoder::State::TreeFind(const std::uint8_t* d, int pos, int limit, bool collect) {
  const std::uint8_t* cur = d + pos;
  const std::uint32_t h = Hash3(cur, kTreeHashBits);
  int cand = tree_head[h];
  tree_head[h] = pos;
  std::int32_t* left = &tree_son[2 * static_cast<std::size_t>(pos) + 1];
  std::int32_t* right = &tree_son[2 * static_cast<std::size_t>(pos)];
  int len_left = 0;
  int len_right = 0;
  int best = lz::kMinMatch - 1;
  int count = 0;
  for (int depth = kTreeDepth;; --depth) {
    if (cand < 0 || depth == 0) {
      *left = -1;
      *right = -1;
      break;
    }
    std::int32_t* pair = &tree_son[2 * static_cast<std::size_t>(cand)];
    const std::uint8_t* p = d + cand;
    int len = std::min(len_left, len_right);
    if (p[len] == cur[len]) {
      len = MatchLength(p, cur, len + 1, limit);
      if (len > best) {
        best = len;
        if (collect) matches[count++] = {len, static_cast<std::uint32_t>(pos - cand)};
        if (len == limit) {
          *right = pair[0];
          *left = pair[1];
          break;
        }
      }
    }
    if (p[len] < cur[len]) {
      *right = cand;
      right = &pair[1];
      cand = *right;
      len_right = len;
    } else {
      *left = cand;
      left = &pair[0];
      cand = *left;
      len_left = len;
    }
  }
  return count;
}

std::uint32_t Encoder::State::ParseBest(const std::uint8_t* d, int n) {
  std::fill(tree_head.begin(), tree_head.end(), -1);
  constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();
  std::fill(cost.begin(), cost.begin() + n + 1, kUnreached);
  cost[0] = 0;

  int i = 0;
  while (i < n) {
    const std::uint32_t here = cost[i];
    const std::uint32_t lit = here + static_cast<std::uint32_t>(lz::LiteralBits(d[i]));
    if (lit < cost[i + 1]) {
      cost[i + 1] = lit;
      from[i + 1] = 0;
    }
    const int limit = std::min(lz::kMaxMatch, n - i);
    if (limit < lz::kMinMatch) {
      ++i;
      continue;
    }
    const int count = TreeFind(d, i, limit, true);
    int len = lz::kMinMatch;
    for (int k = 0; k < count; ++k) {
      const Match m = matches[k];
      const std::uint32_t base = here + static_cast<std::uint32_t>(DistanceBits(m.dist));
      const std::uint32_t tag = m.dist - 1;
      for (; len <= m.len; ++len) {
        const std::uint32_t c = base + kLengthSymbols[len].bits;
        if (c < cost[i + len]) {
          cost[i + len] = c;
          from[i + len] = (static_cast<std::uint32_t>(len) << 16) | tag;
        }
      }
    }
    const int longest = count > 0 ? matches[count - 1].len : 0;
    if (longest >= kBestNice) {
      // Long repeats: parsing inside them costs much time and almost never pays.
      for (int p = i + 1; p < i + longest; ++p) {
        const int l = std::min(lz::kMaxMatch, n - p);
        if (l >= lz::kMinMatch) TreeFind(d, p, l, false);
      }
      i += longest;
      continue;
    }
    ++i;
  }

  // Walk back from the end, then turn the path around.
  token_count = 0;
  for (int j = n; j > 0;) {
    const std::uint32_t f = from[j];
    const int len = static_cast<int>(f >> 16);
    if (len == 0) {
      tokens[token_count++] = d[j - 1];
      --j;
    } else {
      tokens[token_count++] = MatchToken(len, (f & 0xFFFF) + 1);
      j -= len;
    }
  }
  std::reverse(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(token_count));
  return cost[n];
}

std::uint32_t Encoder::State::WriteTokens(std::uint8_t* out) const {
  BitWriter w(out);
  for (std::size_t k = 0; k < token_count; ++k) {
    const std::uint32_t t = tokens[k];
    if ((t & kMatchFlag) == 0) {
      const auto b = static_cast<std::uint8_t>(t);
      w.Put(lz::LiteralCode(b), lz::LiteralBits(b));
      continue;
    }
    const int len = static_cast<int>((t >> 16) & 0x1FF);
    const std::uint32_t dist = (t & 0xFFFF) + 1;
    const LengthSymbol& ls = kLengthSymbols[len];
    w.Put((lz::LengthCodeBits(ls.code) << ls.extra_bits) | ls.extra_value,
          lz::LengthCodeLength(ls.code) + ls.extra_bits);
    const int dc = DistanceCode(dist);
    const int dx = lz::kDistanceExtra[dc];
    w.Put((static_cast<std::uint32_t>(dc) << dx) | (dist - lz::kDistanceBase[dc]), 5 + dx);
  }
  return w.Finish();
}

Encoder::Encoder(Level level) : level_(level), state_(std::make_unique<State>(level)) {}
Encoder::~Encoder() = default;

std::uint32_t Encoder::State::Parse(Level level, std::span<const std::uint8_t> chunk) {
  if (chunk.size() > kChunkLimit) throw std::invalid_argument("chunk longer than 65536 bytes");
  const int n = static_cast<int>(chunk.size());
  if (n == 0) {
    token_count = 0;
    return 0;
  }
  return level == Level::kFast ? ParseFast(chunk.data(), n) : ParseBest(chunk.data(), n);
}

void Encoder::State::AppendCode(std::uint32_t bits, std::vector<std::uint8_t>& out) const {
  const std::size_t at = out.size();
  out.resize(at + PayloadBytes(bits), 0);
  if (WriteTokens(out.data() + at) != bits) {
    throw std::logic_error("encoder cost model disagrees with its output");
  }
}

std::uint32_t Encoder::EncodeStream(std::span<const std::uint8_t> chunk,
                                    std::vector<std::uint8_t>& out) {
  const std::uint32_t bits = state_->Parse(level_, chunk);
  state_->AppendCode(bits, out);
  return bits;
}

void Encoder::EncodeChunk(std::span<const std::uint8_t> chunk, std::vector<EncodedBlock>& out) {
  if (chunk.empty()) return;  // an empty file has no chunk; its end is written by the caller

  auto stored = [&out](std::span<const std::uint8_t> bytes) {
    EncodedBlock& b = out.emplace_back();
    b.coded = false;
    b.bitcount = static_cast<std::uint32_t>(bytes.size() * 8);
    b.payload.assign(bytes.begin(), bytes.end());
  };
  // Writes the parse that the state holds.
  auto coded = [this, &out](std::uint32_t bits) {
    EncodedBlock& b = out.emplace_back();
    b.coded = true;
    b.bitcount = bits;
    state_->AppendCode(bits, b.payload);
  };

  const std::uint32_t bits = state_->Parse(level_, chunk);
  const bool fits = bits <= kPayloadBitLimit;
  const std::uint64_t coded_bytes = PayloadBytes(bits);

  if (chunk.size() % 8 == 0) {
    // Ties go to stored: it costs nothing to decode.
    if (fits && coded_bytes < chunk.size())
      coded(bits);
    else
      stored(chunk);
    return;
  }

  // A stored block must be a multiple of 8 bytes, so the alternative to coding the whole chunk
  // is its 8-byte part stored plus the 1..7 bytes left coded (always one 8-byte payload).
  const std::size_t whole = chunk.size() & ~std::size_t{7};
  const std::uint64_t split_cost = whole + 8 + kBlockHeaderBytes;
  if (whole > 0 && (!fits || split_cost < coded_bytes)) {
    stored(chunk.first(whole));
    coded(state_->Parse(level_, chunk.subspan(whole)));
    return;
  }
  coded(bits);
}

}  // namespace kestrel::pack
