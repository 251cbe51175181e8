// Test helpers: assembles setup files byte by byte, including deliberately broken ones.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "decode/cipher.h"
#include "package/records.h"

namespace kestrel::testing {

struct RawBlock {
  std::uint8_t marker = kBlockMarker;
  std::uint8_t coded = 0;
  std::uint32_t bitcount = 0;
  std::uint8_t lastblock = 0;
  std::vector<std::uint8_t> payload;  // written as given, whatever bitcount says
};

// A stored block of `data` (padded with zeros to whole 8-byte units).
inline RawBlock Stored(std::vector<std::uint8_t> data, bool last) {
  RawBlock b;
  b.bitcount = static_cast<std::uint32_t>(data.size() * 8);
  data.resize(PayloadBytes(b.bitcount), 0);
  b.payload = std::move(data);
  b.lastblock = last ? 1 : 0;
  return b;
}

struct RawFile {
  std::u16string filename = u"file.bin";
  std::u16string subfolder;
  std::u16string targetfolder;
  std::uint8_t attributes = 0x20;
  std::int64_t filesize = 0;
  std::uint32_t chainleft = 0, chainright = 0;
  std::optional<std::int64_t> dataoffset;  // overrides where the blocks are said to start
  std::vector<RawBlock> blocks;
  std::optional<std::uint32_t> contentcrc;  // stored in the record's reserved bytes when set
};

struct RawPackage {
  std::size_t stubsize = 100;
  std::uint8_t encrypted = 0;
  std::uint8_t compressed = 1;
  std::optional<std::int32_t> filecount;  // overrides the real count
  bool marker = true;
  const CipherState* cipher = nullptr;        // enciphers every payload when set
  std::vector<std::uint8_t> header_reserved;  // the Package header's reserved bytes, from 2080
  std::vector<RawFile> files;
};

struct Assembled {
  std::vector<std::uint8_t> bytes;
  std::int32_t packageoffset = 0;
  std::int64_t packageend = 0;
};

template <class T>
void Append(std::vector<std::uint8_t>& out, const T& value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

inline Assembled Assemble(const RawPackage& pkg) {
  Assembled a;
  auto& out = a.bytes;
  out.assign(pkg.stubsize, 0);
  if (pkg.stubsize >= 2) out[0] = 'M', out[1] = 'Z';
  a.packageoffset = static_cast<std::int32_t>(out.size());
  PackageHeader header{};
  std::memcpy(header.magic, "MXA1", 4);
  header.formatversion = 4;
  header.encrypted = pkg.encrypted;
  header.compressed = pkg.compressed;
  if (!pkg.header_reserved.empty()) {
    std::memcpy(header.reserved2080, pkg.header_reserved.data(),
                std::min(pkg.header_reserved.size(), sizeof header.reserved2080));
  }
  Append(out, header);
  std::vector<DirectoryRecord> records;
  for (const RawFile& f : pkg.files) {
    DirectoryRecord r{};
    r.chainleft = f.chainleft;
    r.chainright = f.chainright;
    WriteWide(r.filename, f.filename);
    WriteWide(r.subfolder, f.subfolder);
    WriteWide(r.targetfolder, f.targetfolder);
    r.filesize = f.filesize;
    r.attributes = f.attributes;
    if (f.contentcrc) SetFileContentCrc(r, *f.contentcrc);
    r.dataoffset =
        f.dataoffset ? *f.dataoffset : static_cast<std::int64_t>(out.size()) - a.packageoffset;
    for (RawBlock b : f.blocks) {
      BlockHeader h{};
      h.marker = b.marker;
      h.coded = b.coded;
      h.bitcount = b.bitcount;
      h.lastblock = b.lastblock;
      Append(out, h);
      if (pkg.cipher && b.payload.size() % 8 == 0) {
        EncipherPayload(*pkg.cipher, b.payload.data(), b.payload.size(), f.chainleft, f.chainright);
      }
      out.insert(out.end(), b.payload.begin(), b.payload.end());
    }
    records.push_back(r);
  }
  for (const auto& r : records) Append(out, r);
  DirectoryTrailer t{};
  std::memcpy(t.magic, "MXA1", 4);
  t.filecount = pkg.filecount ? *pkg.filecount : static_cast<std::int32_t>(records.size());
  Append(out, t);
  a.packageend = static_cast<std::int64_t>(out.size());
  ConfigRecord config{};
  if (pkg.marker) WriteShort(config.setupmarker, kSetupMarker);
  config.reserved24 = 2;
  config.packageoffset = a.packageoffset;
  config.licenseoffset = static_cast<std::int32_t>(a.packageend);
  WriteShort(config.exename, "tool.exe");
  WriteShort(config.displayname, "Tool");
  Append(out, config);
  return a;
}

// A fresh folder below the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("kestrel-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    // read-only files inside must not stop the cleanup
    for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec)) {
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteFileBytes(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << p;
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

}  // namespace kestrel::testing
