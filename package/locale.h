// What a package carries for the wizard beyond the Configuration record: the names in any script,
// the languages its manifest selects and the vendor's word for the program.
//
// The packer stores them as one stream, coded as a block run in the data area like the compact
// directory and never enciphered (the wizard speaks before any password is given), found through
// the record's extension (ConfigTag::kLocale) with its length and CRC-32. The stream is a run of
// items (a tag byte, a 32-bit length, the bytes); readers skip tags they do not know. A package
// without the item speaks English and takes its names from the record's 8-bit fields.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/texts.h"

namespace kestrel {

// The product's names as UTF-16. A name left empty here is the record's 8-bit field.
struct ProductNames {
  std::u16string displayname;
  std::u16string version;
  std::u16string appdatafolder;
  std::u16string assocdescription;
  std::array<std::u16string, 6> shortcutcaptions;

  bool operator==(const ProductNames&) const = default;
};

// Every name of `config`, from `wide` where it holds one, else from the 8-bit field.
ProductNames ResolveNames(const ConfigRecord& config, const ProductNames& wide);

struct LocaleData {
  ProductNames names;                 // only the names the 8-bit fields cannot hold exactly
  std::u16string brand;               // empty: "Kestrel"
  std::vector<TextTable> languages;   // every language the package speaks besides plain English
  std::vector<std::uint8_t> picture;  // the vendor's side picture, JPEG or BMP; empty: ours

  // The codes of `languages`, for SelectLanguage.
  std::vector<std::string> Codes() const;
  // The table of `code`, or nothing.
  const TextTable* Find(std::string_view code) const;
};

// A stream longer than this is damage: sixteen languages take about a tenth of it.
inline constexpr std::uint64_t kMaxLocaleBytes = std::uint64_t{4} << 20;

std::vector<std::uint8_t> EncodeLocale(const LocaleData& data);
// Nothing for a stream that is not whole.
std::optional<LocaleData> DecodeLocale(std::span<const std::uint8_t> bytes);
// The same into `out`, which starts empty; false for a stream that is not whole (`out` then
// holds what was read before the fault).
bool DecodeLocaleInto(std::span<const std::uint8_t> bytes, LocaleData& out);

// What the kLocale item says: where the run lies and what it must decode to.
struct LocaleRef {
  static constexpr std::uint8_t kVersion = 1;
  static constexpr std::size_t kItemSize = 1 + 8 + 8 + 4;
  std::int64_t dataoffset = 0;  // first Block header of the run, from the Package header's start
  std::uint64_t length = 0;     // decoded bytes of the stream
  std::uint32_t crc = 0;        // CRC-32 of the decoded stream

  void Store(std::uint8_t* item) const;
  static std::optional<LocaleRef> Load(std::span<const std::uint8_t> item);
};

enum class LocaleLoad { kAbsent, kOk, kDamaged };

// Reads the stream the record's extension points at from `file` (open for reading) into `out`,
// which starts empty; after kDamaged it may hold part of the stream.
LocaleLoad ReadLocale(PackageFile& file, const ConfigRecord& config, LocaleData& out);

}  // namespace kestrel
