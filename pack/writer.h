// Builds a setup executable: stub, Package header, blocks, directory, trailer, licence and
// Configuration record, each where the format puts it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pack/encoder.h"
#include "pack/manifest.h"
#include "pack/sign.h"
#include "pack/solidenc.h"
#include "package/extension.h"
#include "package/solid.h"

namespace kestrel::pack {

// One item of the Configuration record's extension.
struct ConfigItem {
  ConfigTag tag;
  std::vector<std::uint8_t> bytes;
};

struct BuildOptions {
  std::filesystem::path stub;    // the setup program the package is appended to
  std::filesystem::path output;  // written through a temporary file, renamed at the end
  Level level = Level::kBest;
  // The codec; unset: the manifest's `codec`, else DefaultCodec().
  std::optional<Codec> codec;
  SolidSettings solid;            // how an LZMA2 solid stream is encoded
  std::vector<std::uint8_t> key;  // 1..56 raw key bytes enciphers every payload; empty: plain
  // Enciphers with a key derived from this UTF-8 password instead, and stores the password data
  // (salt, iteration count, verifier) in the Package header. Not together with `key`.
  std::optional<std::string> password;
  std::uint32_t iterations = 0;           // 0: the default count
  std::optional<std::uint64_t> saltseed;  // fixes the salt (tests)
  unsigned threads = 0;                   // 0: one per core
  std::optional<double> buildtime;        // OLE date; now when unset
  // SOURCE_DATE_EPOCH: the build time when `buildtime` is unset, and the latest file time
  // stored, so a fresh checkout packs to the same bytes as the commit it came from.
  std::optional<std::int64_t> source_date_epoch;
  std::optional<std::uint64_t> chainseed;  // fixes the per-file chain values (tests)
  std::int64_t limit = 0x7FFFFFFF;         // the directory must end below this offset
  // Signs the stub (so the uninstaller copy carries a signature of its own), then the whole
  // setup file.
  std::optional<SignOptions> sign;
  // Further items for the record's extension, beside the ones the writer makes itself.
  std::vector<ConfigItem> config_items;
  // The directory as 6232-byte records in front of the trailer, readable by every setup program;
  // otherwise it is stored as a compact coded run, which needs a stub that reads it.
  bool classic_directory = false;
  // Called now and then with bytes of file content read so far and in all.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// The codec of a new package when neither the command line nor the manifest names one: LZMA2,
// where this packer has its encoder.
inline Codec DefaultCodec() {
  return HaveLzma2Encoder() ? Codec::kLzma2 : Codec::kClassic;
}

struct BuildResult {
  Codec codec = Codec::kClassic;
  std::uint64_t files = 0;
  std::uint64_t content_bytes = 0;  // sum of the packed files' sizes
  std::uint64_t package_bytes = 0;  // size of the output without the stub
  bool stub_signed = false;         // the program part carries the stub's signature
  bool output_signed = false;
  std::uint64_t shared_files = 0;     // files whose content was already stored for another
  std::uint64_t shared_bytes = 0;     // their content bytes, stored once
  std::uint64_t directory_bytes = 0;  // the directory as stored, trailer and placeholder counted
  std::uint64_t data_bytes = 0;       // the data area: the content as stored
  std::uint64_t locale_bytes = 0;     // names, languages and brand as stored; 0 when none
};

bool BuildPackage(const Manifest& manifest, const BuildOptions& options, BuildResult& result,
                  std::string& error);

// True when the file starts with "MZ" and its e_lfanew points at "PE\0\0".
bool IsPeExecutable(const std::vector<std::uint8_t>& bytes);

// True when the stub carries the mark of a setup program that reads compact directories.
bool StubReadsCompactDirectory(const std::vector<std::uint8_t>& stub);
// True when it carries the mark of one that reads LZMA2 solid packages.
bool StubReadsLzma2(const std::vector<std::uint8_t>& stub);

// Seconds since 1970 to an OLE Automation date.
double OleDateFromUnix(std::int64_t seconds);

}  // namespace kestrel::pack
