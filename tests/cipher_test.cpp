#include "decode/cipher.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "decode/cipher_tables.h"

namespace kestrel {
namespace {

CipherState StateFor(std::string_view key) {
  CipherState s{};
  EXPECT_TRUE(
      MakeCipherState(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()), s));
  return s;
}

// Known answer from an independent implementation of the same schedule and byte order.
TEST(Cipher, KnownAnswerForKeyKestrel) {
  const CipherState s = StateFor("Kestrel");
  EXPECT_EQ(s.P[0], 0xC5EFB599u);
  EXPECT_EQ(s.P[17], 0x00E43729u);
  EXPECT_EQ(s.S[0][0], 0xBF72DD2Fu);
  EXPECT_EQ(s.S[3][255], 0x20CDB617u);

  std::array<std::uint8_t, 16> data;
  for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i);
  EncipherPayload(s, data.data(), data.size(), 0x01234567u, 0x89ABCDEFu);
  const std::array<std::uint8_t, 16> expected = {0x9B, 0xCF, 0x90, 0xA7, 0x4D, 0xF2, 0x52, 0xAA,
                                                 0xCE, 0xC1, 0x04, 0x22, 0xE4, 0x21, 0x6D, 0x57};
  EXPECT_EQ(data, expected);
  DecipherPayload(s, data.data(), data.size(), 0x01234567u, 0x89ABCDEFu);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], i);
}

// The words computed at run time are the published table, every one of them; the first key set
// up of a process computes them, and threads that come at once all get them whole.
TEST(Cipher, InitialWordsArePisDigits) {
  std::vector<std::thread> threads;
  std::vector<CipherState> states(4);
  for (auto& s : states) threads.emplace_back([&s] { s = StateFor("Kestrel"); });
  for (auto& t : threads) t.join();
  for (const auto& s : states) EXPECT_EQ(std::memcmp(&s, &states[0], sizeof s), 0);
  EXPECT_EQ(states[0].S[3][255], 0x20CDB617u);

  std::vector<std::uint32_t> words(kCipherInitialWords);
  CipherInitialWords(words.data());
  ASSERT_EQ(std::size(cipher_tables::kPiWords), words.size());
  for (std::size_t i = 0; i < words.size(); ++i)
    ASSERT_EQ(words[i], cipher_tables::kPiWords[i]) << i;
}

TEST(Cipher, RejectsKeysOutsideOneTo56Bytes) {
  CipherState s{};
  std::vector<std::uint8_t> key57(57, 1);
  EXPECT_FALSE(MakeCipherState({}, s));
  EXPECT_FALSE(MakeCipherState(key57, s));
  key57.pop_back();
  EXPECT_TRUE(MakeCipherState(key57, s));
}

TEST(Cipher, UnitRoundTripsAndDiffersFromPlain) {
  const CipherState s = StateFor("a much longer key of forty or more bytes......");
  std::mt19937 rng(7);
  for (int i = 0; i < 1000; ++i) {
    std::uint32_t l = rng(), r = rng(), el = l, er = r;
    EncryptUnit(s, el, er);
    EXPECT_FALSE(el == l && er == r);
    DecryptUnit(s, el, er);
    ASSERT_EQ(el, l);
    ASSERT_EQ(er, r);
  }
}

TEST(Cipher, PayloadRoundTripAndChainRestartsPerBlock) {
  const CipherState s = StateFor("x");
  std::vector<std::uint8_t> plain(65536);
  std::mt19937 rng(1);
  for (auto& b : plain) b = static_cast<std::uint8_t>(rng());
  auto block = plain;
  EncipherPayload(s, block.data(), block.size(), 11, 22);
  EXPECT_NE(block, plain);
  // Equal plain blocks of one file encipher equally, so each deciphers on its own.
  auto again = plain;
  EncipherPayload(s, again.data(), again.size(), 11, 22);
  EXPECT_EQ(again, block);
  // CBC: equal plain units inside one block do not give equal cipher units.
  std::vector<std::uint8_t> zeros(16, 0);
  EncipherPayload(s, zeros.data(), zeros.size(), 0, 0);
  EXPECT_NE(std::memcmp(zeros.data(), zeros.data() + 8, 8), 0);
  DecipherPayload(s, block.data(), block.size(), 11, 22);
  EXPECT_EQ(block, plain);
}

TEST(Cipher, WrongChainStartGarblesOnlyTheFirstUnit) {
  const CipherState s = StateFor("key");
  std::vector<std::uint8_t> plain(24, 0x5A);
  auto data = plain;
  EncipherPayload(s, data.data(), data.size(), 1, 2);
  DecipherPayload(s, data.data(), data.size(), 1, 3);
  EXPECT_NE(std::memcmp(data.data(), plain.data(), 8), 0);
  EXPECT_EQ(std::memcmp(data.data() + 8, plain.data() + 8, 16), 0);
}

}  // namespace
}  // namespace kestrel
