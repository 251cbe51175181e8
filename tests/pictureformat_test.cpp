#include "sysutil/pictureformat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A marker segment: FF, the marker, its length (counting itself) and its body.
Bytes Segment(std::uint8_t marker, const Bytes& body) {
  const std::size_t n = body.size() + 2;
  return Bytes{0xFF, marker, std::uint8_t(n >> 8), std::uint8_t(n)} + body;
}
Bytes Frame(std::uint8_t marker, unsigned width, unsigned height) {
  return Segment(marker, {8, std::uint8_t(height >> 8), std::uint8_t(height),
                          std::uint8_t(width >> 8), std::uint8_t(width), 3, 1, 0x22, 0});
}
const Bytes kSoi{0xFF, 0xD8};
const Bytes kApp0 = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
const Bytes kTables = Segment(0xDB, Bytes(65, 1)) + Segment(0xC4, Bytes(30, 0));

Bytes Cut(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

Bytes Le(std::int64_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
  return b;
}
// A BMP's file header and an info header (40 bytes) or core header (12 bytes), no pixels.
Bytes Bmp(std::int32_t width, std::int32_t height, bool core = false) {
  Bytes file = Bytes{'B', 'M'} + Le(0, 4) + Le(0, 4) + Le(core ? 26 : 54, 4);
  if (core) return file + Le(12, 4) + Le(width, 2) + Le(height, 2) + Le(1, 2) + Le(24, 2);
  return file + Le(40, 4) + Le(width, 4) + Le(height, 4) + Le(1, 2) + Le(24, 2) + Bytes(24, 0);
}

PictureHeader IsJpeg(int w, int h) {
  return {PictureFormat::kJpeg, w, h};
}
PictureHeader IsBmp(int w, int h) {
  return {PictureFormat::kBmp, w, h};
}

TEST(PictureFormat, HeadersReadAndRefused) {
  const Bytes side = kSoi + kApp0 + kTables + Frame(0xC0, 131, 303) + Segment(0xDA, Bytes(10, 0));
  const struct {
    const char* what;
    Bytes data;
    std::optional<PictureHeader> want;
  } cases[] = {
      {"baseline JPEG", side, IsJpeg(131, 303)},
      {"extended", kSoi + Frame(0xC1, 640, 480), IsJpeg(640, 480)},
      {"progressive", kSoi + kApp0 + Frame(0xC2, 1, 4096), IsJpeg(1, 4096)},
      {"fill bytes and a restart marker before the frame",
       kSoi + Bytes{0xFF, 0xFF, 0xFF, 0xD0} + kApp0 + Frame(0xC0, 20, 10), IsJpeg(20, 10)},
      {"lossless frame", kSoi + Frame(0xC3, 20, 10), {}},
      {"arithmetic frame", kSoi + Frame(0xC9, 20, 10), {}},
      {"height given later (zero lines)", kSoi + Frame(0xC0, 20, 0), {}},
      {"wider than the limit", kSoi + Frame(0xC0, 4097, 10), {}},
      {"scan before any frame", kSoi + kTables + Segment(0xDA, Bytes(10, 0)), {}},
      {"end of image before any frame", kSoi + kApp0 + Bytes{0xFF, 0xD9}, {}},
      {"cut inside the frame header", Cut(side, side.size() - 20), {}},
      {"cut before the frame", Cut(side, 20), {}},
      {"segment longer than the data", kSoi + Bytes{0xFF, 0xE0, 0x40, 0x00, 0, 0}, {}},
      {"segment length below two", kSoi + Bytes{0xFF, 0xE0, 0x00, 0x01} + Frame(0xC0, 2, 2), {}},
      {"garbage between segments", kSoi + kApp0 + Bytes{0x00} + Frame(0xC0, 2, 2), {}},
      {"bottom-up BMP", Bmp(131, 303), IsBmp(131, 303)},
      {"top-down BMP", Bmp(131, -303), IsBmp(131, 303)},
      {"core-header BMP", Bmp(64, 32, true), IsBmp(64, 32)},
      {"BMP of zero width", Bmp(0, 303), {}},
      {"BMP of negative width", Bmp(-5, 303), {}},
      {"BMP taller than the limit", Bmp(10, -5000), {}},
      {"BMP with the most negative height", Bmp(10, INT32_MIN), {}},
      {"BMP header cut short", Cut(Bmp(131, 303), 24), {}},
      {"BMP with an unknown header size",
       Bytes{'B', 'M'} + Bytes(12, 0) + Le(20, 4) + Bytes(30, 0),
       {}},
      {"PNG", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13}, {}},
      {"empty", Bytes{}, {}},
  };
  for (const auto& c : cases) {
    const auto got = ReadPictureHeader(c.data.data(), c.data.size());
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.what;
    if (!got) continue;
    EXPECT_EQ(got->format, c.want->format) << c.what;
    EXPECT_EQ(got->width, c.want->width) << c.what;
    EXPECT_EQ(got->height, c.want->height) << c.what;
  }
  EXPECT_FALSE(ReadPictureHeader(nullptr, 100));
}

}  // namespace
}  // namespace kestrel
