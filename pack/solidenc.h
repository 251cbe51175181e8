// The packer's LZMA2 encoder for solid packages: liblzma's raw LZMA2 encoder over the content of
// every stored file, in directory order, as one stream.
//
// The content is cut into segments of a fixed size, each encoded on its own (its first chunk
// resets the dictionary) and the encoded segments joined into one stream with one end mark, so
// several threads can encode at once and the output is the same for any number of them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::pack {

struct SolidSettings {
  std::uint64_t dictionary = std::uint64_t{64} << 20;  // at most; less for less content
  std::uint64_t segment = std::uint64_t{64} << 20;     // content bytes per independent segment
  std::uint32_t preset = 9;                            // liblzma's preset level
  bool extreme = true;                                 // its slower, slightly smaller variant
};

// False in a build without liblzma (the Windows packer: Debian has no MinGW liblzma), which then
// makes classic packages by default and refuses LZMA2.
bool HaveLzma2Encoder();

// The dictionary a stream of `content` bytes is given: the smallest LZMA2 dictionary size that
// holds it (at least 4 KiB), at most `settings.dictionary`.
std::uint64_t SolidDictionary(const SolidSettings& settings, std::uint64_t content);

// Encodes one segment as a raw LZMA2 stream with the given dictionary; appends it to `out`
// without its end mark. False with `error` when liblzma fails.
bool EncodeSegment(std::span<const std::uint8_t> data, const SolidSettings& settings,
                   std::uint64_t dictionary, std::vector<std::uint8_t>& out, std::string& error);

// Encodes `total` content bytes that `read` delivers in order (read(buffer, n) fills n bytes;
// false stops with its error) and hands the stream to `emit` piece by piece, the end mark last.
// Segments are encoded `threads` at a time.
bool EncodeSolid(std::uint64_t total, const SolidSettings& settings, unsigned threads,
                 const std::function<bool(std::uint8_t*, std::size_t)>& read,
                 const std::function<bool(std::span<const std::uint8_t>)>& emit,
                 std::string& error);

}  // namespace kestrel::pack
