// The fixed-size records of a setup package, laid out byte for byte as they stand in the file.
//
// Every record is read whole with one call and used in place, so the structs are packed and their
// integer fields are the file's little-endian integers. That is correct only on a little-endian
// host; every target we build (x86, x86_64 Linux and Windows) is one, and the static_assert below
// stops a build anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "package records are used in place and assume a little-endian host");

// Units of a wide text field: 1024 UTF-16 code units, 2048 bytes.
inline constexpr std::size_t kWideTextUnits = 1024;

#pragma pack(push, 1)

// A length byte n followed by Size-1 character bytes in the system's 8-bit code page.
template <std::size_t Size>
struct ShortText {
  static constexpr std::size_t kCapacity = Size - 1 < 255 ? Size - 1 : 255;
  std::uint8_t length;
  char chars[Size - 1];
};

// 1024 UTF-16 code units; the text ends at the first zero unit or fills the array.
struct WideText {
  char16_t units[kWideTextUnits];
};

struct ConfigRecord {
  ShortText<24> setupmarker;
  std::int32_t reserved24;  // 2
  std::int32_t packageoffset;
  WideText programgroup;
  ShortText<256> exename;
  ShortText<65> version;
  std::uint8_t reserved2401;  // 1
  ShortText<256> displayname;
  std::uint8_t reserved2658;  // 1
  std::uint8_t padding2659;
  WideText installfolder;
  ShortText<256> appdatafolder;
  ShortText<256> servicefiles[5];
  ShortText<256> servicenames[5];
  ShortText<256> shortcutfiles[6];
  ShortText<256> shortcutcaptions[6];
  std::uint8_t haslicense;
  std::uint8_t padding10597[3];
  std::int32_t licenseoffset;
  ShortText<256> assocext;
  ShortText<256> assocclass;
  ShortText<256> assocdescription;
  ShortText<256> assocprogram;
  std::uint8_t reserved11628[780];
};

struct PackageHeader {
  char magic[4];                // "MXA1"
  std::uint16_t formatversion;  // 4
  std::uint8_t encrypted;
  std::uint8_t padding7;
  char16_t title[1028];
  std::uint8_t compressed;
  std::uint8_t padding2065[7];
  double buildtime;
  std::uint8_t reserved2080[568];
};

struct DirectoryRecord {
  std::uint32_t chainleft;
  std::uint32_t chainright;
  WideText filename;
  WideText subfolder;
  std::int64_t filesize;
  WideText targetfolder;
  std::int64_t storedsize;
  std::uint8_t reserved6168;
  std::uint8_t attributes;
  std::uint8_t padding6170[6];
  double filetime;
  std::int64_t dataoffset;
  std::uint8_t reserved6192[40];
};

struct DirectoryTrailer {
  char magic[4];  // "MXA1"
  std::int32_t filecount;
};

struct BlockHeader {
  std::uint8_t marker;  // 0x43
  std::uint8_t coded;
  std::uint8_t padding2[2];
  std::uint32_t bitcount;
  std::uint8_t lastblock;
  std::uint8_t padding9[3];
};

#pragma pack(pop)

inline constexpr std::size_t kConfigRecordSize = 12408;
inline constexpr std::size_t kPackageHeaderSize = 2648;
inline constexpr std::size_t kDirectoryRecordSize = 6232;
inline constexpr std::size_t kDirectoryTrailerSize = 8;
inline constexpr std::size_t kBlockHeaderSize = 12;

static_assert(sizeof(ConfigRecord) == kConfigRecordSize);
static_assert(sizeof(PackageHeader) == kPackageHeaderSize);
static_assert(sizeof(DirectoryRecord) == kDirectoryRecordSize);
static_assert(sizeof(DirectoryTrailer) == kDirectoryTrailerSize);
static_assert(sizeof(BlockHeader) == kBlockHeaderSize);

static_assert(offsetof(ConfigRecord, setupmarker) == 0);
static_assert(offsetof(ConfigRecord, reserved24) == 24);
static_assert(offsetof(ConfigRecord, packageoffset) == 28);
static_assert(offsetof(ConfigRecord, programgroup) == 32);
static_assert(offsetof(ConfigRecord, exename) == 2080);
static_assert(offsetof(ConfigRecord, version) == 2336);
static_assert(offsetof(ConfigRecord, reserved2401) == 2401);
static_assert(offsetof(ConfigRecord, displayname) == 2402);
static_assert(offsetof(ConfigRecord, reserved2658) == 2658);
static_assert(offsetof(ConfigRecord, padding2659) == 2659);
static_assert(offsetof(ConfigRecord, installfolder) == 2660);
static_assert(offsetof(ConfigRecord, appdatafolder) == 4708);
static_assert(offsetof(ConfigRecord, servicefiles) == 4964);
static_assert(offsetof(ConfigRecord, servicenames) == 6244);
static_assert(offsetof(ConfigRecord, shortcutfiles) == 7524);
static_assert(offsetof(ConfigRecord, shortcutcaptions) == 9060);
static_assert(offsetof(ConfigRecord, haslicense) == 10596);
static_assert(offsetof(ConfigRecord, licenseoffset) == 10600);
static_assert(offsetof(ConfigRecord, assocext) == 10604);
static_assert(offsetof(ConfigRecord, assocclass) == 10860);
static_assert(offsetof(ConfigRecord, assocdescription) == 11116);
static_assert(offsetof(ConfigRecord, assocprogram) == 11372);
static_assert(offsetof(ConfigRecord, reserved11628) == 11628);

static_assert(offsetof(PackageHeader, magic) == 0);
static_assert(offsetof(PackageHeader, formatversion) == 4);
static_assert(offsetof(PackageHeader, encrypted) == 6);
static_assert(offsetof(PackageHeader, title) == 8);
static_assert(offsetof(PackageHeader, compressed) == 2064);
static_assert(offsetof(PackageHeader, buildtime) == 2072);
static_assert(offsetof(PackageHeader, reserved2080) == 2080);

static_assert(offsetof(DirectoryRecord, chainleft) == 0);
static_assert(offsetof(DirectoryRecord, chainright) == 4);
static_assert(offsetof(DirectoryRecord, filename) == 8);
static_assert(offsetof(DirectoryRecord, subfolder) == 2056);
static_assert(offsetof(DirectoryRecord, filesize) == 4104);
static_assert(offsetof(DirectoryRecord, targetfolder) == 4112);
static_assert(offsetof(DirectoryRecord, storedsize) == 6160);
static_assert(offsetof(DirectoryRecord, reserved6168) == 6168);
static_assert(offsetof(DirectoryRecord, attributes) == 6169);
static_assert(offsetof(DirectoryRecord, padding6170) == 6170);
static_assert(offsetof(DirectoryRecord, filetime) == 6176);
static_assert(offsetof(DirectoryRecord, dataoffset) == 6184);
static_assert(offsetof(DirectoryRecord, reserved6192) == 6192);

static_assert(offsetof(DirectoryTrailer, magic) == 0);
static_assert(offsetof(DirectoryTrailer, filecount) == 4);

static_assert(offsetof(BlockHeader, marker) == 0);
static_assert(offsetof(BlockHeader, coded) == 1);
static_assert(offsetof(BlockHeader, bitcount) == 4);
static_assert(offsetof(BlockHeader, lastblock) == 8);

inline constexpr std::uint8_t kBlockMarker = 0x43;
inline constexpr std::uint32_t kMaxBlockBits = 65536u * 8u;  // payloads must fit a transfer buffer
inline constexpr std::size_t kMaxChunk = 65536;
inline constexpr std::size_t kTransferBufferSize = kMaxChunk + 1;  // the decoder's spare byte
inline constexpr std::string_view kSetupMarker = "Install Files Present";
inline constexpr std::string_view kPackageMagic = "MXA1";

// Payload bytes of a block: its bitcount rounded up to whole 8-byte cipher units.
constexpr std::uint32_t PayloadBytes(std::uint32_t bitcount) {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(bitcount) + 63) / 64 * 8);
}

// The text of a short text field: its length byte, capped at the field's room.
template <std::size_t Size>
std::string ReadShort(const ShortText<Size>& field) {
  std::size_t n = field.length;
  if (n > Size - 1) n = Size - 1;
  return std::string(field.chars, n);
}

// Writes text into a short text field, zero-filling the rest. False when it does not fit.
template <std::size_t Size>
bool WriteShort(ShortText<Size>& field, std::string_view text) {
  if (text.size() > ShortText<Size>::kCapacity) return false;
  field.length = static_cast<std::uint8_t>(text.size());
  std::size_t i = 0;
  for (; i < text.size(); ++i) field.chars[i] = text[i];
  for (; i < Size - 1; ++i) field.chars[i] = 0;
  return true;
}

// The text of a wide text field: up to its first zero unit, at most 1024 units.
std::u16string ReadWide(const WideText& field);

// Writes text into a wide text field, zero-filling the rest. False when it holds more than 1024
// units or a zero unit (which would cut it short when read back).
bool WriteWide(WideText& field, std::u16string_view text);

// True when the record's setupmarker is exactly the length byte 21 and "Install Files Present".
bool HasSetupMarker(const ConfigRecord& config);

// The CRC-32 of the file's decoded content that the packer keeps in the record's reserved bytes
// (FileTag::kContentCrc); nothing for a record without one (older packers, noise, damage).
std::optional<std::uint32_t> FileContentCrc(const DirectoryRecord& record);
// Writes the reserved bytes as an extension holding just that CRC.
void SetFileContentCrc(DirectoryRecord& record, std::uint32_t crc);

}  // namespace kestrel
