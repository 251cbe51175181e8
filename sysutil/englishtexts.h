// The catalog's English texts as the build packs them for setup.exe: each text in UTF-8 ended by
// a zero byte, the whole raw LZMA2. scripts/pack-english-texts makes the source that defines
// them from sysutil/textcatalog.inc, so no source of ours includes a made file.
#pragma once

#include <cstddef>

namespace kestrel {

struct PackedTexts {
  std::size_t count;         // texts
  std::size_t bytes;         // unpacked, their zero bytes included
  unsigned char dictionary;  // the LZMA2 dictionary byte
  std::size_t size;          // packed bytes
  const unsigned char* data;
};

extern const PackedTexts kEnglishPacked;

}  // namespace kestrel
