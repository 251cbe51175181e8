#include "package/extension.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "package/crc32_fold.h"

namespace kestrel {
namespace {

std::string Text(std::span<const std::uint8_t> s) {
  return std::string(s.begin(), s.end());
}

TEST(Crc32, KnownAnswers) {
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Crc32(fox, std::strlen(fox)), 0x414FA339u);
  // Continuing across any split gives the one-call result (the slice-by-8 path and the tail).
  for (std::size_t cut = 0; cut <= std::strlen(fox); ++cut)
    EXPECT_EQ(Crc32(fox + cut, std::strlen(fox) - cut, Crc32(fox, cut)), 0x414FA339u) << cut;
}

TEST(Extension, RoundTripsItemsAndSkipsUnknownTags) {
  std::array<std::uint8_t, 780> region;
  region.fill(0xAA);
  ExtensionBuilder b(region);
  ASSERT_TRUE(b.Add(ConfigTag::kPublisher, "Brimlow Software"));
  ASSERT_TRUE(b.Add(std::uint8_t{200}, "from a newer packer"));
  ASSERT_TRUE(b.Add(ConfigTag::kUrl, ""));
  b.Finish();
  auto view = ExtensionView::Parse(region);
  ASSERT_TRUE(view);
  EXPECT_EQ(Text(*view->Find(ConfigTag::kPublisher)), "Brimlow Software");
  EXPECT_EQ(Text(*view->Find(ConfigTag::kUrl)), "");
  EXPECT_FALSE(view->Find(ConfigTag::kStubSignature));
  // Behind the extension the region is zero, as an older packer left it.
  std::size_t end = kExtensionOverhead + b.PayloadSize();
  for (std::size_t i = end; i < region.size(); ++i) ASSERT_EQ(region[i], 0) << i;
}

TEST(Extension, NoItemsLeavesTheRegionAsOlderPackersDid) {
  std::array<std::uint8_t, 40> region;
  region.fill(0x55);
  ExtensionBuilder b(region);
  b.Finish();
  for (auto c : region) EXPECT_EQ(c, 0);
  EXPECT_FALSE(ExtensionView::Parse(region));
}

TEST(Extension, RefusesWhatDoesNotFit) {
  std::array<std::uint8_t, 40> region{};
  ExtensionBuilder b(region);
  std::vector<std::uint8_t> big(28, 1);  // 40 - 10 overhead = 30 payload bytes; item needs 31
  EXPECT_FALSE(b.Add(FileTag::kContentCrc, big));
  big.resize(27);
  EXPECT_TRUE(b.Add(FileTag::kContentCrc, big));
  EXPECT_FALSE(b.Add(FileTag::kContentCrc, std::span<const std::uint8_t>{}));
  b.Finish();
  EXPECT_TRUE(ExtensionView::Parse(region));
}

// Noise, zeros, every single flipped bit and every cut read as absent, never as data.
TEST(Extension, DamageReadsAsAbsent) {
  std::array<std::uint8_t, 64> good{};
  ExtensionBuilder b(good);
  ASSERT_TRUE(b.Add(ConfigTag::kPublisher, "Vendor"));
  b.Finish();
  ASSERT_TRUE(ExtensionView::Parse(good));
  std::size_t used = kExtensionOverhead + b.PayloadSize();
  for (std::size_t bit = 0; bit < used * 8; ++bit) {
    auto r = good;
    r[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(ExtensionView::Parse(r)) << "bit " << bit;
  }
  for (std::size_t cut = 0; cut < used; ++cut)
    EXPECT_FALSE(ExtensionView::Parse(std::span(good).first(cut))) << cut;
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::array<std::uint8_t, 64> noise;
    for (auto& c : noise) c = static_cast<std::uint8_t>(rng());
    if (i % 2) std::memcpy(noise.data(), "KXT1", 4);  // the magic alone proves nothing
    EXPECT_FALSE(ExtensionView::Parse(noise));
  }
  std::array<std::uint8_t, 64> zeros{};
  EXPECT_FALSE(ExtensionView::Parse(zeros));
}

// Without the magic a region is an older packer's (or noise): absent. With it, anything wrong
// behind it is damage, whatever Parse makes of it.
TEST(Extension, TheMagicSeparatesDamageFromAbsence) {
  std::array<std::uint8_t, 64> good{};
  ExtensionBuilder b(good);
  ASSERT_TRUE(b.Add(ConfigTag::kPackageChecksum, "twelve bytes"));
  b.Finish();
  const std::size_t used = kExtensionOverhead + b.PayloadSize();
  auto with = [&](auto change) {
    auto r = good;
    change(r);
    return ExtensionView::Classify(r);
  };
  EXPECT_EQ(ExtensionView::Classify(good), ExtensionState::kValid);
  EXPECT_EQ(with([](auto& r) { r.fill(0); }), ExtensionState::kAbsent);
  EXPECT_EQ(with([](auto& r) { r[0] = 'k'; }), ExtensionState::kAbsent);  // noise, not magic
  EXPECT_EQ(ExtensionView::Classify(std::span(good).first(3)), ExtensionState::kAbsent);
  for (std::size_t bit = 32; bit < used * 8; ++bit) {
    EXPECT_EQ(with([&](auto& r) { r[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8)); }),
              ExtensionState::kDamaged)
        << "bit " << bit;
  }
  // cut short and zero-filled behind the magic, at every length
  for (std::size_t keep = 4; keep < used; ++keep) {
    EXPECT_EQ(with([&](auto& r) { std::fill(r.begin() + keep, r.end(), 0); }),
              ExtensionState::kDamaged)
        << keep;
  }
  EXPECT_EQ(ExtensionView::Classify(std::span(good).first(kExtensionOverhead - 1)),
            ExtensionState::kDamaged);
}

// A CRC-correct payload whose items overrun it is damage too, not a view past the region.
TEST(Extension, ItemsMustTileThePayload) {
  std::array<std::uint8_t, 32> r{};
  std::memcpy(r.data(), "KXT1", 4);
  r[4] = 5;  // payload length 5: tag 1, length 9 (overruns), 2 bytes
  r[6] = 1;
  r[7] = 9;
  StoreLe32(r.data() + 11, Crc32(r.data(), 11));
  EXPECT_FALSE(ExtensionView::Parse(r));
  r[7] = 2;
  StoreLe32(r.data() + 11, Crc32(r.data(), 11));
  auto v = ExtensionView::Parse(r);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Find(std::uint8_t{1})->size(), 2u);
}

}  // namespace
}  // namespace kestrel

// The processor's own answer decides the folding path: as Linux reads the same flags.
TEST(Crc32, FoldingIsUsedWhereTheProcessorHasIt) {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line) && line.rfind("flags", 0) != 0) {
  }
  if (line.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags here";
  line += ' ';
  const bool listed =
      line.find(" pclmulqdq ") != std::string::npos && line.find(" sse4_1 ") != std::string::npos;
  EXPECT_EQ(kestrel::HaveCrc32Fold(), listed) << line;
}

// The folding path (where the processor has it) and the tables agree for every length, start
// and earlier value, including the short tails on either side of a run.
TEST(Crc32, FoldingAgreesWithTheTables) {
  std::vector<std::uint8_t> data(70000);
  std::uint32_t seed = 12345;
  for (auto& b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  auto slow = [](const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
    crc = ~crc;
    while (n--) {
      crc ^= *p++;
      for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
  };
  for (std::size_t n : {0u, 1u, 63u, 64u, 255u, 256u, 257u, 271u, 1000u, 4096u, 65536u, 69999u}) {
    for (std::size_t start : {0u, 1u, 7u}) {
      if (start + n > data.size()) continue;
      for (std::uint32_t prev : {0u, 0xCBF43926u}) {
        EXPECT_EQ(kestrel::Crc32(data.data() + start, n, prev), slow(data.data() + start, n, prev))
            << n << " bytes at " << start;
      }
    }
  }
}
