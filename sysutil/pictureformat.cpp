#include "sysutil/pictureformat.h"

namespace kestrel {
namespace {

unsigned Be16(const std::uint8_t* p) {
  return unsigned(p[0]) << 8 | p[1];
}
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::optional<PictureHeader> Sized(PictureFormat format, std::int64_t width, std::int64_t height) {
  if (width < 1 || height < 1 || width > kMaxPictureSide || height > kMaxPictureSide) return {};
  return PictureHeader{format, static_cast<int>(width), static_cast<int>(height)};
}

// Walks the marker segments up to the first frame header. Only the Huffman-coded frames that
// every JPEG decoder reads count (baseline, extended, progressive); the rest are refused.
std::optional<PictureHeader> Jpeg(const std::uint8_t* d, std::size_t size) {
  std::size_t p = 2;
  while (p < size) {
    if (d[p] != 0xFF) return {};
    while (p < size && d[p] == 0xFF) ++p;  // fill bytes
    if (p >= size) return {};
    const unsigned marker = d[p++];
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return {};   // no frame before these
    if (size - p < 2) return {};
    const unsigned length = Be16(d + p);
    if (length < 2 || size - p < length) return {};
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (marker > 0xC2 || length < 8) return {};
      // precision, lines, samples per line (a frame whose height comes later is refused)
      return Sized(PictureFormat::kJpeg, Be16(d + p + 5), Be16(d + p + 3));
    }
    p += length;
  }
  return {};
}

std::optional<PictureHeader> Bmp(const std::uint8_t* d, std::size_t size) {
  if (size < 26) return {};
  const std::uint32_t header = Le32(d + 14);
  if (header == 12) {  // the core header: 16-bit sizes
    return Sized(PictureFormat::kBmp, d[18] | d[19] << 8, d[20] | d[21] << 8);
  }
  if (header < 40 || size < 30) return {};
  const auto width = static_cast<std::int32_t>(Le32(d + 18));
  const auto height = static_cast<std::int32_t>(Le32(d + 22));  // negative: rows top-down
  return Sized(PictureFormat::kBmp, width, height < 0 ? -std::int64_t{height} : height);
}

}  // namespace

std::optional<PictureHeader> ReadPictureHeader(const std::uint8_t* data, std::size_t size) {
  if (!data || size < 4) return {};
  if (data[0] == 0xFF && data[1] == 0xD8) return Jpeg(data, size);
  if (data[0] == 'B' && data[1] == 'M') return Bmp(data, size);
  return {};
}

}  // namespace kestrel
