// The manifest's scope as the packer takes it: the key and its refusals, the stub's manifest
// made to ask for no elevation, and the scope the built package carries.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/stubinfo.h"
#include "pack/tools.h"
#include "pack/writer.h"
#include "package/directory.h"
#include "package/records.h"
#include "package/scope.h"
#include "package/solid.h"
#include "package_fixture.h"

namespace kestrel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

constexpr const char* kAdminManifest =
    "<?xml version=\"1.0\"?><assembly><trustInfo><security><requestedPrivileges>"
    "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo></assembly>";

// A PE32 program with one section, .rsrc, whose resource directory holds the application
// manifest (type 24, name 1, language 1033), the marks of a current stub and a CheckSum.
std::vector<std::uint8_t> PeWithManifest(const std::string& manifest, std::uint32_t checksum) {
  std::vector<std::uint8_t> b(0x800, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x80);
  std::memcpy(b.data() + 0x80, "PE\0\0", 4);
  Put16(b, 0x84, 0x14C);  // i386
  Put16(b, 0x86, 1);      // one section
  Put16(b, 0x94, 0xE0);   // optional header size
  const std::size_t opt = 0x98;
  Put16(b, opt, 0x10B);
  Put32(b, opt + 64, checksum);
  Put32(b, opt + 92, 16);              // data directories
  Put32(b, opt + 96 + 2 * 8, 0x1000);  // resources
  Put32(b, opt + 96 + 2 * 8 + 4, 0x200);
  const std::size_t sec = opt + 0xE0;
  std::memcpy(b.data() + sec, ".rsrc", 5);
  Put32(b, sec + 8, 0x200);
  Put32(b, sec + 12, 0x1000);
  Put32(b, sec + 16, 0x200);
  Put32(b, sec + 20, 0x400);
  const std::size_t r = 0x400;
  Put16(b, r + 14, 1);
  Put32(b, r + 16, 24);
  Put32(b, r + 20, 0x80000000u | 0x18);
  Put16(b, r + 0x18 + 14, 1);
  Put32(b, r + 0x18 + 16, 1);
  Put32(b, r + 0x18 + 20, 0x80000000u | 0x30);
  Put16(b, r + 0x30 + 14, 1);
  Put32(b, r + 0x30 + 16, 1033);
  Put32(b, r + 0x30 + 20, 0x48);
  Put32(b, r + 0x48, 0x1000 + 0x60);
  Put32(b, r + 0x48 + 4, static_cast<std::uint32_t>(manifest.size()));
  std::memcpy(b.data() + r + 0x60, manifest.data(), manifest.size());
  const std::string marks =
      std::string(kCompactDirectoryCapability) + " " + std::string(kLzma2Capability);
  std::memcpy(b.data() + 0x600, marks.data(), marks.size());
  return b;
}

// The PE checksum as the system's loader computes it, independently of the packer's.
std::uint32_t ReferenceChecksum(std::vector<std::uint8_t> b) {
  Put32(b, 0x98 + 64, 0);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < b.size(); i += 2) {
    sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return (sum & 0xFFFF) + static_cast<std::uint32_t>(b.size());
}

TEST(ScopeStub, ManifestAsksForNoElevationInPlace) {
  std::vector<std::uint8_t> pe = PeWithManifest(kAdminManifest, 0x1234);
  EXPECT_EQ(RequestedExecutionLevel(pe), "requireAdministrator");
  const std::size_t size = pe.size();
  std::string error;
  ASSERT_TRUE(RequestAsInvoker(pe, error)) << error;
  EXPECT_EQ(RequestedExecutionLevel(pe), "asInvoker");
  EXPECT_EQ(pe.size(), size);
  const std::string text(pe.begin() + 0x460, pe.begin() + 0x460 + std::strlen(kAdminManifest));
  EXPECT_NE(text.find("level=\"asInvoker\"            uiAccess=\"false\"/>"), std::string::npos)
      << text;
  std::uint32_t stored = 0;
  std::memcpy(&stored, pe.data() + 0x98 + 64, 4);
  EXPECT_EQ(stored, ReferenceChecksum(pe));
  // done twice, nothing changes; a program without the resource is refused with the reason
  std::vector<std::uint8_t> again = pe;
  EXPECT_TRUE(RequestAsInvoker(again, error));
  EXPECT_EQ(again, pe);
  std::vector<std::uint8_t> bare = PeWithManifest("<assembly/>", 0);
  EXPECT_FALSE(RequestAsInvoker(bare, error));
  EXPECT_NE(error.find("no application manifest"), std::string::npos) << error;
  // a resource directory pointing outside the file is no manifest
  std::vector<std::uint8_t> cut = PeWithManifest(kAdminManifest, 0);
  Put32(cut, 0x400 + 0x48, 0x9000);
  EXPECT_EQ(RequestedExecutionLevel(cut), "");
}

class ScopePackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir_ / "stub.exe", PeWithManifest(kAdminManifest, 0));
    WriteFileBytes(dir_ / "tool.exe", std::vector<std::uint8_t>(300, 7));
    options_.stub = dir_ / "stub.exe";
    options_.output = dir_ / "setup.exe";
  }
  bool Parse(const std::string& extra) {
    error_.clear();
    return ParseManifest("displayname = \"Tool\"\nexename = \"tool.exe\"\n" + extra +
                             "\n[[files]]\nsource = \"tool.exe\"\n",
                         dir_.path(), manifest_, error_);
  }
  ScratchDir dir_;
  Manifest manifest_;
  BuildOptions options_;
  BuildResult result_;
  std::string error_;
};

TEST_F(ScopePackTest, ManifestKeyAndRefusals) {
  struct Case {
    std::string toml;
    bool ok;
    std::string error;  // a part of the message
  };
  const std::vector<Case> cases = {
      {"", true, ""},
      {"scope = \"machine\"\n[[services]]\nfile = \"tool.exe\"\nname = \"Svc\"", true, ""},
      {"scope = \"user\"", true, ""},
      {"scope = \"either\"", true, ""},
      {"scope = \"users\"", false, "scope (manifest line 3): \"users\" is not a scope"},
      {"scope = \"user\"\n[[services]]\nfile = \"tool.exe\"\nname = \"Svc\"", false,
       "services (manifest line 4): scope \"user\" installs for one user, who cannot create "
       "services"},
      {"scope = \"either\"\n[[services]]\nfile = \"tool.exe\"\nname = \"Svc\"", false,
       "services (manifest line 4): scope \"either\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.toml), c.ok) << c.toml << ": " << error_;
    EXPECT_NE(error_.find(c.error), std::string::npos) << c.toml << ": " << error_;
  }
}

TEST_F(ScopePackTest, BuiltPackageCarriesItsScopeAndLevel) {
  struct Case {
    std::string scope;
    InstallScope want;
    std::string level;
  };
  for (const Case& c : {Case{"", InstallScope::kMachine, "requireAdministrator"},
                        Case{"scope = \"user\"", InstallScope::kUser, "asInvoker"},
                        Case{"scope = \"either\"", InstallScope::kEither, "asInvoker"}}) {
    ASSERT_TRUE(Parse(c.scope)) << error_;
    ASSERT_TRUE(BuildPackage(manifest_, options_, result_, error_)) << error_;
    const std::vector<std::uint8_t> out = ReadFileBytes(options_.output);
    ConfigRecord config;
    std::memcpy(&config, out.data() + out.size() - sizeof config, sizeof config);
    EXPECT_EQ(PackageScope(config), c.want) << c.scope;
    EXPECT_EQ(RequestedExecutionLevel(
                  std::vector<std::uint8_t>(out.begin(), out.begin() + config.packageoffset)),
              c.level)
        << c.scope;
    std::ostringstream listed, err;
    ASSERT_EQ(ListPackage(options_.output, listed, err), 0) << err.str();
    EXPECT_NE(listed.str().find("; runs as " + c.level + "\n"), std::string::npos) << listed.str();
  }
  // a stub signed by its vendor would lose that signature: refused unless the packer signs
  std::vector<std::uint8_t> signedstub = PeWithManifest(kAdminManifest, 0);
  signedstub.resize(0x808, 0);
  Put32(signedstub, 0x98 + 96 + 4 * 8, 0x800);
  Put32(signedstub, 0x98 + 96 + 4 * 8 + 4, 8);
  WriteFileBytes(dir_ / "stub.exe", signedstub);
  ASSERT_TRUE(Parse("scope = \"user\""));
  EXPECT_FALSE(BuildPackage(manifest_, options_, result_, error_));
  EXPECT_NE(error_.find("is signed, and a per-user package changes its manifest"),
            std::string::npos)
      << error_;
}

}  // namespace
}  // namespace kestrel::pack
