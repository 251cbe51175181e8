// The block decoder: turns the code stream of one coded block back into its chunk.
#pragma once

#include <cstdint>

namespace kestrel {

class tsmufflz {
 public:
  enum class Result {
    kOk,
    kCorrupt,  // the stream holds length code 30 or 31, which no valid stream contains
  };

  // Decodes one block. `input` holds the payload; only its first ceil(count/8) bytes are read.
  // `output` must have room for 65537 bytes (the limit plus one spare byte a match may run
  // into). `count` is the stream length in bits on entry and the number of bytes produced
  // (0..65536) on return. A match reaching before the block's start is skipped; output past
  // 65536 bytes is cut off. On kCorrupt, `count` holds the bytes produced before the bad code.
  static Result DecodeBlock(const std::uint8_t* input, std::uint8_t* output, std::uint32_t& count);
};

}  // namespace kestrel
