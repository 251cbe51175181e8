// The package checksum: a damaged or cut-short download is refused at start-up, before a page
// is shown or anything is written, instead of failing halfway through an installation.
//
// The packer stores, in the Configuration record's extension (ConfigTag::kPackageChecksum), the
// length of the region from `packageoffset` to the record and a CRC-32 of that region followed by
// the record's fields in front of its reserved tail (the tail holds the extension, which carries
// a CRC of its own). Packages without the item are not checked; a record whose extension is
// damaged fails the check, since the damage may have taken the item with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

// Shown at start-up, and reported by the packer's verify, when the check fails.
inline constexpr std::u16string_view kDamagedSetupMessage =
    u"The setup file is damaged and should be downloaded again.";

// The process exit code after that refusal (an installer's "fatal error during installation").
inline constexpr int kExitDamagedPackage = 1603;

// The record's bytes the checksum covers: everything in front of the reserved tail.
inline constexpr std::size_t kChecksummedRecordBytes = offsetof(ConfigRecord, reserved11628);

struct PackageChecksum {
  std::uint32_t crc = 0;
  std::uint64_t length = 0;  // bytes from packageoffset to the record
};
inline constexpr std::size_t kPackageChecksumBytes = 12;
void EncodePackageChecksum(const PackageChecksum& c, std::uint8_t (&out)[kPackageChecksumBytes]);
bool DecodePackageChecksum(std::span<const std::uint8_t> item, PackageChecksum& out);

// Continues a CRC of the package region over the record's checksummed fields.
std::uint32_t ContinueWithRecord(std::uint32_t crc, const ConfigRecord& config);

enum class PackageCheck {
  kOk,         // the stored checksum matches
  kUnchecked,  // the package carries no checksum
  kDamaged,    // mismatch, a region of the wrong length, a read that came up short, or a
               // damaged extension
};

// Checks the package whose record was read at `recordpos` of `file`. Reads the region once, in
// large pieces, through one buffer made here.
PackageCheck CheckPackage(PackageFile& file, const ConfigRecord& config, std::int64_t recordpos);

}  // namespace kestrel
