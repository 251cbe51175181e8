// The stages of building a package, each a step of its own that a test can run alone:
//
//   walk       the files in the order they are stored, with their sizes
//   dedupe     which files repeat an earlier file's content
//   encode     the Package header and the data area: classic blocks, or one solid stream
//   directory  the directory and its trailer: classic records, or a compact run
//   record     the licence and the Configuration record with its extension
//   sign       the finished file, when signing (pack/writer.cpp)
//
// Every stage reads what the stages before it left in the PackageBuild and adds its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decode/cipher.h"
#include "pack/manifest.h"
#include "pack/writer.h"
#include "package/certtable.h"
#include "package/protection.h"
#include "package/records.h"
#include "package/solid.h"

namespace kestrel::pack {

// Where the stages write the package: the output file, or memory in a test.
class PackageOut {
 public:
  virtual ~PackageOut() = default;
  virtual bool Write(const void* data, std::size_t n) = 0;
  virtual std::uint64_t pos() const = 0;
  // Everything written from now on goes into (or stops going into) the package checksum.
  virtual void StartChecksum() {}
  virtual void StopChecksum() {}
  virtual std::uint32_t crc() const { return 0; }
};

// The order a solid stream takes the files in: by extension, then by name, then by folder, all
// compared without letter case, so that files alike stand together.
bool SolidOrderLess(const PackedFile& a, const PackedFile& b);

struct PackageBuild {
  PackageBuild(const Manifest& manifest, const BuildOptions& options)
      : m(manifest), options(options) {}

  const Manifest& m;
  const BuildOptions& options;
  Codec codec = Codec::kClassic;
  std::unique_ptr<CipherState> cipher;
  std::optional<PasswordData> password_data;
  std::uint64_t packageoffset = 0;    // the stub's size
  std::vector<std::uint8_t> picture;  // the manifest's image, checked

  // walk
  std::vector<PackedFile> files;  // in the order they are stored
  std::vector<std::uint64_t> sizes;
  std::uint64_t total = 0;
  // dedupe: for each file the earlier file whose content it repeats, else npos
  std::vector<std::size_t> same_as;
  // encode
  std::vector<DirectoryRecord> records;
  std::vector<std::uint32_t> crcs;  // of each file's content
  std::optional<SolidStreamRef> solid;
  // directory: the extension items it needs
  std::vector<ConfigItem> directory_items;

  BuildResult result;

  bool Walk(std::string& error);
  bool Dedupe(std::string& error);
  // The directory records before any content: names, sizes, attributes, times, chain values;
  // refuses a product beyond what a reader holds.
  bool PlanRecords(std::string& error);
  bool Encode(PackageOut& out, std::string& error);
  // The names, languages and brand (when the manifest has any), then the directory.
  bool WriteDirectory(PackageOut& out, std::string& error);
  // A stream of the packer's own as one coded block run where `out` stands; never enciphered,
  // so setup reads it before any key is known.
  bool WriteRun(PackageOut& out, const std::vector<std::uint8_t>& stream);
  // `licence` in Windows-1252; `stub_signature` the stub's, when it carries one.
  bool WriteRecord(PackageOut& out, const std::string& licence,
                   const std::optional<StubSignature>& stub_signature, std::string& error);

 private:
  bool EncodeClassic(PackageOut& out, std::string& error);
  bool EncodeSolidStream(PackageOut& out, std::string& error);
  bool LimitReached(const PackageOut& out, std::string& error) const;
};

}  // namespace kestrel::pack
