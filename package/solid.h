// A solid package: the content of every file, in directory order, as one compressed stream.
//
// The stream is cut into blocks of at most 65536 bytes of the data area (stored blocks: their
// `bitcount` is 8 times the piece's length), enciphered like any payload when the package is.
// Each Directory record's `dataoffset` is then the file's offset in the decoded stream; a file
// whose content equals an earlier file's points at that file's offset. The Configuration
// record's extension names the codec (ConfigTag::kSolidStream) and holds the compact directory
// under ConfigTag::kSolidDirectory, which older setup programs do not know: they find only the
// classic directory's placeholder and refuse the package before they create anything.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel {

enum class Codec : std::uint8_t {
  kClassic = 0,  // the block codec: every file's blocks on their own
  kLzma2 = 1,    // one raw LZMA2 stream
};

// The string a setup program that reads LZMA2 solid packages carries in its resources.
inline constexpr std::string_view kLzma2Capability = "KestrelReads:Lzma2/1";

// The largest dictionary a reader accepts. A solid stream's reader holds a circular buffer at
// least this large (see SolidStream) and refuses a package that asks for more before it creates
// anything. 64 MiB: the best ratio the measurements found worth its memory.
inline constexpr std::uint64_t kMaxSolidDictionary = std::uint64_t{64} << 20;

struct SolidStreamRef {
  static constexpr std::uint8_t kVersion = 1;
  static constexpr std::size_t kItemSize = 4 + 8 + 8 + 8 + 4 + 4;
  Codec codec = Codec::kLzma2;  // kept as read: a reader refuses a codec it does not know
  std::uint8_t dictionary = 0;  // LZMA2's dictionary byte
  std::int64_t dataoffset = 0;  // first Block header of the stream, from the Package header
  std::uint64_t packed = 0;     // stream bytes in the blocks
  std::uint64_t unpacked = 0;   // decoded bytes: the stored files' content
  std::uint32_t chainleft = 0;  // the cipher chain's starting value, when enciphered
  std::uint32_t chainright = 0;

  void Store(std::uint8_t* item) const;
  // Nothing for an item of the wrong size or an unknown version.
  static std::optional<SolidStreamRef> Load(std::span<const std::uint8_t> item);
};

// The dictionary size LZMA2's dictionary byte stands for (0 for a byte over 40), and the
// smallest byte whose size holds `bytes`.
std::uint64_t Lzma2DictionaryBytes(std::uint8_t prop);
std::uint8_t Lzma2DictionaryProp(std::uint64_t bytes);

// A block of the stream starts its cipher chain from the stream's value and its own index, so
// that equal pieces never encipher alike.
inline std::uint32_t SolidChainLeft(const SolidStreamRef& ref, std::uint64_t block) {
  return ref.chainleft ^ static_cast<std::uint32_t>(block);
}

}  // namespace kestrel
