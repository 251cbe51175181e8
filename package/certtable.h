// Where a signed setup file's package ends, and what the uninstaller copy must differ in.
//
// Signing a PE file appends a certificate table to its end and points the optional header's data
// directory 4 at it (a file offset and a size); the header's CheckSum is updated too. Both fields
// are left out of the signature's hash. So a signed setup file is: program part, package,
// Configuration record, certificate table; the record is found in front of the table.
//
// Everything here reads the header fields with bounds checks: a damaged header means "no
// certificate table", never a read outside what was read.
#pragma once

#include <cstdint>
#include <span>

#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

// The two header fields that signing sets, and where they lie in the file.
struct PeSignatureFields {
  std::int64_t checksum_at = 0;  // file offset of the optional header's CheckSum
  std::int64_t entry_at = 0;     // file offset of data directory 4: address, then size
  std::uint32_t checksum = 0;
  std::uint32_t address = 0;  // file offset of the certificate table; 0 and 0: none
  std::uint32_t size = 0;
};

// Parses the fields from a file's first bytes (the DOS header and the PE headers must lie in
// `bytes`). False when they are not the headers of a PE file with a directory entry 4.
bool ParsePeSignatureFields(std::span<const std::uint8_t> bytes, PeSignatureFields& out);
// The same, reading only the headers from the file.
bool ReadPeSignatureFields(PackageFile& file, PeSignatureFields& out);

// Signing tools align the table's start to 8 bytes and pad its end to 8 with zeros.
inline constexpr std::uint32_t kCertificateAlignment = 8;

struct PackageExtent {
  std::int64_t end = 0;  // the package's end E: the record lies at E - 12408
  bool signed_ = false;  // a certificate table begins at `end` and ends the file
  // The header names a table that reaches past the end of the file: a signed file that was cut
  // short (or a damaged header). Only consulted when no record is found at `end`.
  bool table_past_end = false;
};

// E is where the certificate table begins when the header names one that lies inside the file
// and ends at its end (up to 7 zero bytes of padding behind it); otherwise the file's size.
PackageExtent FindPackageEnd(PackageFile& file);

// The item of ConfigTag::kStubSignature: the signed stub's certificate-table entry and CheckSum,
// which the program part at the front of the setup file carries cleared.
struct StubSignature {
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::uint32_t checksum = 0;
};
inline constexpr std::size_t kStubSignatureBytes = 12;
void EncodeStubSignature(const StubSignature& s, std::uint8_t (&out)[kStubSignatureBytes]);
bool DecodeStubSignature(std::span<const std::uint8_t> item, StubSignature& out);

// Bytes of the uninstaller copy that differ from the program part: the CheckSum (4 bytes) and
// the certificate-table entry (8 bytes).
struct ProgramPatch {
  std::int64_t offset = 0;
  std::uint32_t length = 0;
  std::uint8_t bytes[8] = {};
};
struct UninstallerPatch {
  int count = 0;
  ProgramPatch patches[2];
};

// What the copy of the first `packageoffset` bytes must differ in so that it is a sound program:
// - the package was signed by the packer: the stub's own entry and CheckSum come back, and its
//   certificate table is already part of the program part, so the copy verifies as signed;
// - the setup file was signed afterwards: its entry names a table behind the program part, which
//   the copy does not hold; the entry and the CheckSum are cleared (a clean unsigned program);
// - unsigned: nothing, the copy is the program part byte for byte.
// `program` is the setup file; its position is left anywhere.
UninstallerPatch PlanUninstallerPatch(PackageFile& program, const ConfigRecord& config);

// Applies the patch to a piece of the copy that starts at file offset `position`.
void ApplyUninstallerPatch(const UninstallerPatch& patch, std::int64_t position,
                           std::uint8_t* piece, std::uint32_t n);

}  // namespace kestrel
