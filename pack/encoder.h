// The packer's encoder: LZ77 into the fixed code of coded blocks, every chunk on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kestrel::pack {

enum class Level {
  kFast,  // hash chains with lazy matching
  kBest,  // optimal parse of each chunk under the code's exact bit costs
};

// One block of a file as the package stores it (the Block header is written by the caller).
struct EncodedBlock {
  bool coded = false;
  std::uint32_t bitcount = 0;         // exact stream length, or 8 x bytes for a stored block
  std::vector<std::uint8_t> payload;  // ceil(bitcount / 64) * 8 bytes, filler zero
};

class Encoder {
 public:
  explicit Encoder(Level level);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Encodes one chunk (1..65536 bytes) as the smallest valid choice: a coded block, a stored
  // block (only when its length is a multiple of 8), or, for a chunk that cannot be stored and
  // whose code would pass the 524288-bit payload limit, a stored block of its largest multiple
  // of 8 bytes followed by a coded block of the last 1 to 7 bytes. Appends 1 or 2 blocks.
  // The pair is also chosen when it is smaller than the coded block, 12-byte headers counted.
  // An empty chunk appends nothing; a chunk over 65536 bytes throws std::invalid_argument.
  void EncodeChunk(std::span<const std::uint8_t> chunk, std::vector<EncodedBlock>& out);

  // The bare code stream of one chunk: appends the bytes (zero-filled to whole 8-byte units)
  // to `out` and returns the exact bit count.
  std::uint32_t EncodeStream(std::span<const std::uint8_t> chunk, std::vector<std::uint8_t>& out);

 private:
  struct State;
  Level level_;
  std::unique_ptr<State> state_;
};

}  // namespace kestrel::pack
