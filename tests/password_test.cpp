// The hash, the MAC and the derivations against their published vectors, and the password data
// in the Package header: round trip, noise, damage and the check itself.
#include "decode/password.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "decode/sha256.h"
#include "package/protection.h"
#include "tests/package_fixture.h"

namespace kestrel {
namespace {

std::vector<std::uint8_t> B(std::string_view s) {
  return {s.begin(), s.end()};
}
std::vector<std::uint8_t> Repeat(std::uint8_t v, std::size_t n) {
  return std::vector<std::uint8_t>(n, v);
}
std::string Hex(std::span<const std::uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (auto b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}
std::string Sha(std::span<const std::uint8_t> data) {
  Sha256 h;
  h.Update(data);
  std::uint8_t out[kSha256Bytes];
  h.Final(out);
  return Hex(out);
}

// FIPS 180-4 examples (one block, two blocks, the long message) and the empty message.
TEST(Sha256Test, PublishedExamples) {
  EXPECT_EQ(Sha(B("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha(B("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha(B("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha(Repeat('a', 1000000)),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The padding's edge lengths and updates in uneven pieces give what one update gives.
TEST(Sha256Test, PiecesAndPaddingEdges) {
  const auto data = testing::RandomBytes(300, 7);
  for (std::size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
    const std::span<const std::uint8_t> whole(data.data(), len);
    for (std::size_t piece : {1u, 3u, 63u, 64u}) {
      Sha256 h;
      for (std::size_t at = 0; at < len; at += piece)
        h.Update(whole.subspan(at, std::min(piece, len - at)));
      std::uint8_t out[kSha256Bytes];
      h.Final(out);
      EXPECT_EQ(Hex(out), Sha(whole)) << "length " << len << " pieces of " << piece;
    }
  }
  // 55 and 56 bytes straddle the one-block padding limit; fixed reference values
  EXPECT_EQ(Sha(Repeat('a', 55)),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(Sha(Repeat('a', 56)),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

// RFC 4231, test cases 1 to 7 (case 5 compares the first 128 bits, as the RFC does).
TEST(HmacSha256Test, Rfc4231) {
  struct Case {
    std::vector<std::uint8_t> key, data;
    std::string mac;
  };
  std::vector<std::uint8_t> key4;
  for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<std::uint8_t>(i));
  const Case cases[] = {
      {Repeat(0x0b, 20), B("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {B("Jefe"), B("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Repeat(0xaa, 20), Repeat(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key4, Repeat(0xcd, 50), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Repeat(0x0c, 20), B("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {Repeat(0xaa, 131), B("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Repeat(0xaa, 131),
       B("This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ++n;
    HmacSha256 mac(c.key);
    mac.Update(c.data.data(), c.data.size());
    std::uint8_t out[kSha256Bytes];
    mac.Final(out);
    EXPECT_EQ(Hex(out).substr(0, c.mac.size()), c.mac) << "test case " << n;
    // the same key again, restarted
    mac.Start();
    mac.Update(c.data.data(), c.data.size());
    mac.Final(out);
    EXPECT_EQ(Hex(out).substr(0, c.mac.size()), c.mac) << "test case " << n << ", restarted";
  }
}

// RFC 7914, section 11: PBKDF2-HMAC-SHA256 with 64-byte output (two PRF blocks).
TEST(Pbkdf2Test, Rfc7914) {
  std::array<std::uint8_t, 64> out{};
  Pbkdf2HmacSha256(B("passwd"), B("salt"), 1, out);
  EXPECT_EQ(Hex(out),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
  Pbkdf2HmacSha256(B("Password"), B("NaCl"), 80000, out);
  EXPECT_EQ(Hex(out),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
            "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
  // a shorter output is the prefix of the longer one
  std::array<std::uint8_t, 20> part{};
  Pbkdf2HmacSha256(B("passwd"), B("salt"), 1, part);
  EXPECT_EQ(Hex(part), "55ac046e56e3089fec1691c22544b605f9418521");
}

// RFC 5869, test case 1: the expansion step from its pseudo-random key.
TEST(HkdfTest, Rfc5869ExpandCase1) {
  std::vector<std::uint8_t> prk(32), info;
  const char* hex = "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5";
  for (int i = 0; i < 32; ++i)
    prk[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  for (int i = 0xf0; i <= 0xf9; ++i) info.push_back(static_cast<std::uint8_t>(i));
  std::array<std::uint8_t, 42> okm{};
  HkdfExpandSha256(prk, info, okm);
  EXPECT_EQ(Hex(okm),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
}

TEST(PasswordTest, ConstantTimeCompare) {
  const auto a = testing::RandomBytes(32, 1);
  auto b = a;
  EXPECT_TRUE(EqualConstantTime(a, b));
  for (std::size_t i : {0u, 17u, 31u}) {
    b = a;
    b[i] ^= 0x80;
    EXPECT_FALSE(EqualConstantTime(a, b)) << i;
  }
  EXPECT_FALSE(EqualConstantTime(a, std::span(a).first(31)));
}

PackageHeader HeaderWith(const PasswordData& data) {
  PackageHeader h{};
  h.encrypted = 1;
  ExtensionBuilder b(h.reserved2080);
  EXPECT_TRUE(AddPasswordData(b, data));
  b.Finish();
  return h;
}

PasswordData DataFor(std::string_view password, std::uint32_t iterations, std::uint8_t seed) {
  PasswordData d;
  for (std::size_t i = 0; i < kSaltBytes; ++i) d.salt[i] = static_cast<std::uint8_t>(seed + 3 * i);
  d.iterations = iterations;
  d.verifier = DerivePasswordKey(password, d.salt, iterations).verifier;
  return d;
}

TEST(PasswordTest, DerivationRoundTripThroughTheHeader) {
  const std::string pw = "correct horse \xC3\xA9t\xC3\xA9";  // UTF-8 with accents
  const PasswordData data = DataFor(pw, 1000, 9);
  const PackageHeader h = HeaderWith(data);
  ASSERT_TRUE(ReadPasswordData(h));
  EXPECT_EQ(ReadPasswordData(h)->iterations, 1000u);

  std::array<std::uint8_t, kMaxKeyBytes> key{};
  ASSERT_EQ(CheckPassword(h, pw, key), PasswordCheck::kAccepted);
  EXPECT_EQ(key, DerivePasswordKey(pw, data.salt, 1000).key);
  // the verifier is not a part of the key
  const PasswordKey k = DerivePasswordKey(pw, data.salt, 1000);
  EXPECT_EQ(std::search(k.key.begin(), k.key.end(), k.verifier.begin(), k.verifier.begin() + 8),
            k.key.end());

  // wrong: another word, a changed letter case, a trailing blank, the empty password
  for (std::string_view wrong : {"correct horse", "Correct horse \xC3\xA9t\xC3\xA9",
                                 "correct horse \xC3\xA9t\xC3\xA9 ", ""}) {
    key.fill(0x55);
    EXPECT_EQ(CheckPassword(h, wrong, key), PasswordCheck::kWrong) << wrong;
    EXPECT_EQ(key, (std::array<std::uint8_t, kMaxKeyBytes>{})) << "no key after a wrong password";
  }
  // each input changes the result: salt, count, password
  const auto base = DerivePasswordKey(pw, data.salt, 1000).key;
  PasswordData other = data;
  other.salt[15] ^= 1;
  EXPECT_NE(DerivePasswordKey(pw, other.salt, 1000).key, base);
  EXPECT_NE(DerivePasswordKey(pw, data.salt, 1001).key, base);
}

// Zeros, noise, a damaged byte, an unknown scheme or an absurd count: no password data.
TEST(PasswordTest, AnythingButValidDataReadsAsNone) {
  const PasswordData data = DataFor("pw", 10, 1);
  std::array<std::uint8_t, kMaxKeyBytes> key{};

  PackageHeader zeros{};
  zeros.encrypted = 1;
  EXPECT_FALSE(ReadPasswordData(zeros));
  EXPECT_EQ(CheckPassword(zeros, "pw", key), PasswordCheck::kNoPasswordData);

  for (std::uint32_t seed = 1; seed <= 50; ++seed) {
    PackageHeader noise{};
    const auto bytes = testing::RandomBytes(sizeof noise.reserved2080, seed);
    std::memcpy(noise.reserved2080, bytes.data(), bytes.size());
    if (seed % 2) std::memcpy(noise.reserved2080, "KXT1", 4);  // even behind the right magic
    EXPECT_FALSE(ReadPasswordData(noise)) << seed;
  }

  PackageHeader good = HeaderWith(data);
  for (std::size_t at : {0u, 5u, 7u, 30u, 62u}) {
    PackageHeader damaged = good;
    damaged.reserved2080[at] ^= 0x01;
    EXPECT_FALSE(ReadPasswordData(damaged)) << "damage at " << at;
  }

  auto with_item = [](std::span<const std::uint8_t> item) {
    PackageHeader h{};
    ExtensionBuilder b(h.reserved2080);
    b.Add(HeaderTag::kPassword, item);
    b.Finish();
    return h;
  };
  std::uint8_t item[kPasswordItemBytes] = {kPasswordSchemePbkdf2Sha256};
  StoreLe32(item + 1 + kSaltBytes, 10);
  EXPECT_TRUE(ReadPasswordData(with_item(item)));
  item[0] = 2;  // a scheme this program does not know
  EXPECT_FALSE(ReadPasswordData(with_item(item)));
  item[0] = kPasswordSchemePbkdf2Sha256;
  StoreLe32(item + 1 + kSaltBytes, 0);
  EXPECT_FALSE(ReadPasswordData(with_item(item)));
  StoreLe32(item + 1 + kSaltBytes, kMaxIterations + 1);
  EXPECT_FALSE(ReadPasswordData(with_item(item)));
  StoreLe32(item + 1 + kSaltBytes, 10);
  EXPECT_FALSE(ReadPasswordData(with_item(std::span(item).first(kPasswordItemBytes - 1))));
}

}  // namespace
}  // namespace kestrel
