#include "package/solid.h"

#include "package/extension.h"

namespace kestrel {

void SolidStreamRef::Store(std::uint8_t* item) const {
  item[0] = kVersion;
  item[1] = static_cast<std::uint8_t>(codec);
  item[2] = dictionary;
  item[3] = 0;
  StoreLe64(item + 4, static_cast<std::uint64_t>(dataoffset));
  StoreLe64(item + 12, packed);
  StoreLe64(item + 20, unpacked);
  StoreLe32(item + 28, chainleft);
  StoreLe32(item + 32, chainright);
}

std::optional<SolidStreamRef> SolidStreamRef::Load(std::span<const std::uint8_t> item) {
  if (item.size() != kItemSize || item[0] != kVersion) return std::nullopt;
  SolidStreamRef r;
  r.codec = static_cast<Codec>(item[1]);
  r.dictionary = item[2];
  r.dataoffset = static_cast<std::int64_t>(LoadLe64(item.data() + 4));
  r.packed = LoadLe64(item.data() + 12);
  r.unpacked = LoadLe64(item.data() + 20);
  r.chainleft = LoadLe32(item.data() + 28);
  r.chainright = LoadLe32(item.data() + 32);
  return r;
}

std::uint64_t Lzma2DictionaryBytes(std::uint8_t prop) {
  if (prop > 40) return 0;
  if (prop == 40) return 0xFFFFFFFFu;
  return std::uint64_t{2u | (prop & 1u)} << (prop / 2 + 11);
}

std::uint8_t Lzma2DictionaryProp(std::uint64_t bytes) {
  std::uint8_t p = 0;
  while (p < 40 && Lzma2DictionaryBytes(p) < bytes) ++p;
  return p;
}

}  // namespace kestrel
