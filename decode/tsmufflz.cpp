#include "decode/tsmufflz.h"

namespace kestrel {

tsmufflz::Result tsmufflz::DecodeBlock(const std::uint8_t*, std::uint8_t*, std::uint32_t& count) {
  count = 0;  // placeholder until the decoder lands
  return Result::kOk;
}

}  // namespace kestrel
