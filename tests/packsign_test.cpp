#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/sign.h"
#include "pack/tools.h"
#include "pack/writer.h"
#include "package/certtable.h"
#include "package/extension.h"
#include "package/integrity.h"
#include "package_fixture.h"
#include "pe_fixture.h"

namespace kestrel::pack {
namespace {

namespace fs = std::filesystem;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::WriteFileBytes;

class PackSignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.stub = dir_ / "stub.exe";
    options_.output = dir_ / "setup.exe";
    options_.buildtime = 45000.5;
    options_.chainseed = 7;
    fs::create_directories(dir_ / "src");
    // 1001 bytes: the package's length is anything but a multiple of 8 by itself
    WriteFileBytes(dir_ / "src" / "tool.exe", kestrel::testing::RandomBytes(1001, 5));
    std::string error;
    EXPECT_TRUE(
        ParseManifest("displayname = \"Tool\"\nexename = \"tool.exe\"\n"
                      "[[files]]\nsource = \"src\"\n",
                      dir_.path(), manifest_, error))
        << error;
  }
  bool Build(const std::vector<std::uint8_t>& stub) {
    WriteFileBytes(options_.stub, stub);
    error_.clear();
    return BuildPackage(manifest_, options_, result_, error_);
  }
  int Verify(std::string& text) {
    std::ostringstream out, err;
    const int rc = VerifyPackage(options_.output, Unlock{}, out, err);
    text = out.str() + err.str();
    return rc;
  }
  ConfigRecord Record(const std::vector<std::uint8_t>& bytes) {
    ConfigRecord c;
    std::memcpy(&c, bytes.data() + bytes.size() - kConfigRecordSize, sizeof c);
    return c;
  }

  kestrel::testing::ScratchDir dir_;
  Manifest manifest_;
  BuildOptions options_;
  BuildResult result_;
  std::string error_;
};

TEST_F(PackSignTest, UnsignedBuildIsAMultipleOf8AndCarriesItsChecksum) {
  const auto stub = kestrel::testing::MinimalPe(false, 3001);
  ASSERT_TRUE(Build(stub)) << error_;
  auto bytes = ReadFileBytes(options_.output);
  EXPECT_EQ(bytes.size() % 8, 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 3001), stub);
  const ConfigRecord c = Record(bytes);
  EXPECT_EQ(c.packageoffset, 3001);
  auto ext = ExtensionView::Parse(std::span(c.reserved11628));
  ASSERT_TRUE(ext);
  EXPECT_TRUE(ext->Find(ConfigTag::kPackageChecksum));
  EXPECT_FALSE(ext->Find(ConfigTag::kStubSignature));
  std::string text;
  EXPECT_EQ(Verify(text), 0) << text;
  EXPECT_NE(text.find("ok   package checksum"), std::string::npos) << text;

  // a byte flipped in the Data area: verify says what setup would say
  bytes[3001 + 2648 + 40] ^= 0x10;
  WriteFileBytes(options_.output, bytes);
  EXPECT_EQ(Verify(text), 1);
  EXPECT_NE(text.find("The setup file is damaged and should be downloaded again."),
            std::string::npos)
      << text;
}

TEST_F(PackSignTest, AStubSignedBeforehandKeepsItsSignatureForTheCopy) {
  const auto signed_stub = kestrel::testing::Signed(true, 2000);
  ASSERT_TRUE(Build(signed_stub)) << error_;
  const auto bytes = ReadFileBytes(options_.output);
  EXPECT_EQ(bytes.size() % 8, 0u);
  EXPECT_TRUE(result_.stub_signed);
  const ConfigRecord c = Record(bytes);
  EXPECT_EQ(c.packageoffset, 4096 + 2000);
  // the program part is the signed stub with the two fields cleared: the file is unsigned
  PeSignatureFields f;
  ASSERT_TRUE(ParsePeSignatureFields(bytes, f));
  EXPECT_EQ(f.address, 0u);
  EXPECT_EQ(f.size, 0u);
  EXPECT_EQ(f.checksum, 0u);
  auto ext = ExtensionView::Parse(std::span(c.reserved11628));
  ASSERT_TRUE(ext);
  StubSignature s;
  ASSERT_TRUE(DecodeStubSignature(*ext->Find(ConfigTag::kStubSignature), s));
  EXPECT_EQ(s.address, 4096u);
  EXPECT_EQ(s.size, 2000u);
  EXPECT_EQ(s.checksum, 0x1234u);
  std::string text;
  EXPECT_EQ(Verify(text), 0) << text;

  // a stub whose entry names anything but its own end is refused
  auto broken = signed_stub;
  broken.resize(broken.size() + 100, 0x77);
  EXPECT_FALSE(Build(broken));
  EXPECT_NE(error_.find("certificate-table entry"), std::string::npos) << error_;
}

TEST_F(PackSignTest, SigningOptionsAndTheToolsArguments) {
  struct Case {
    const char* what;
    SignOptions o;
    bool usable;
  };
  SignOptions pair;
  pair.cert = "c.pem";
  pair.key = "k.pem";
  SignOptions p12;
  p12.pkcs12 = "v.p12";
  SignOptions both = pair;
  both.pkcs12 = "v.p12";
  SignOptions lonely;
  lonely.cert = "c.pem";
  SignOptions twopass = p12;
  twopass.password_file = "pw";
  twopass.password_env = "PATH";
  SignOptions unset = p12;
  unset.password_env = "KESTREL_TEST_UNSET_VARIABLE";
  const Case cases[] = {{"cert and key", pair, true},      {"PKCS#12", p12, true},
                        {"both kinds", both, false},       {"cert without key", lonely, false},
                        {"nothing", SignOptions{}, false}, {"two passwords", twopass, false},
                        {"unset variable", unset, false}};
  for (const Case& c : cases) EXPECT_EQ(CheckSignOptions(c.o).empty(), c.usable) << c.what;

  p12.timestamp_url = "http://ts.example/";
  const auto a = SignArguments(p12, "in.exe", "out.exe", "/tmp/pw");
  const std::vector<std::string> want = {
      "osslsigncode", "sign",   "-pkcs12", "v.p12",  "-readpass",
      "/tmp/pw",      "-h",     "sha256",  "-ts",    "http://ts.example/",
      "-in",          "in.exe", "-out",    "out.exe"};
  EXPECT_EQ(a, want);
  // no password, no timestamp: neither appears
  const auto b = SignArguments(pair, "i", "o", "");
  for (const auto& arg : b) EXPECT_TRUE(arg != "-readpass" && arg != "-ts") << arg;

  // a tool that is not there is named in the error, and nothing is written
  options_.sign = p12;
  options_.sign->tool = (dir_ / "no-such-signer").string();
  EXPECT_FALSE(Build(kestrel::testing::MinimalPe(false)));
  EXPECT_NE(error_.find("cannot run"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(options_.output));
}

}  // namespace
}  // namespace kestrel::pack
