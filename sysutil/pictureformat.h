// What kind of picture a run of bytes holds and how large it is, read from its header alone.
//
// The wizard hands pictures to the system's decoder only after this check, so nothing but a
// JPEG or a BMP of sensible size reaches it; a packer that takes a vendor's picture can judge it
// by the same rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrel {

enum class PictureFormat { kJpeg, kBmp };

struct PictureHeader {
  PictureFormat format;
  int width;   // pixels, at least 1
  int height;  // pixels, at least 1 (a top-down BMP counts as its row count)
};

// The largest width or height the wizard shows: side pictures and banners are far smaller.
inline constexpr int kMaxPictureSide = 4096;

// The format and size of a JPEG (its first frame header) or a BMP (its info or core header);
// nothing for any other data, a header cut short, a zero size or one above kMaxPictureSide.
std::optional<PictureHeader> ReadPictureHeader(const std::uint8_t* data, std::size_t size);

}  // namespace kestrel
