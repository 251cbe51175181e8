// The install record: what one installation of a product made, so that its uninstall removes
// exactly that, and a later install of the same product finds its folder, version and parts.
//
// It is a file in the installation folder, "Uninstall <tag>.dat" (package/identity.h), named by
// the Uninstall key's "InstallRecord" value. The format is portable and self-checking:
//
//   "KIR1", u16 version (1), u16 0, u32 payload length, payload, u32 CRC-32 of everything before
//
// The payload is a run of entries: a tag byte, a u32 length and that many bytes; numbers are
// little-endian, texts are UTF-16 (paths, in code units) or code page bytes (names, keys).
// A reader accepts a record only whole: a wrong magic, length or CRC, an entry that does not tile
// the payload, a path that could reach outside the installation folder, a second product header:
// all read as "damaged", and a damaged record removes nothing. Tags a reader does not know are
// skipped, so later versions can add entries without making the record unreadable.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "installengine/registration.h"
#include "package/pkgfile.h"

namespace kestrel {

inline constexpr std::size_t kRecordHeaderSize = 12;
inline constexpr std::uint16_t kRecordVersion = 1;
// A record larger than this is not read: 64 MiB holds a few hundred thousand files.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{64} << 20;

enum class RecordTag : std::uint8_t {
  kProduct = 1,      // u8 registry root, then 5 texts: identity, display name, exename, version
                     // (each u16 length + code page bytes) and the installation folder (u16
                     // units + UTF-16)
  kFile = 2,         // u64 size, u32 CRC-32, u8 flags, UTF-16 path below the folder ("\a\b.txt")
  kFolder = 3,       // u8 flags, UTF-16 full path of a folder the installation created
  kUninstaller = 4,  // UTF-16 path below the folder of the product's own uninstaller
  kShortcut = 5,     // UTF-16 full path of a link file
  kKey = 6,          // u8 registry root, code page key path: a key tree the product owns
  kService = 7,      // code page service name
  kAssociation = 8,  // two texts (u16 length + code page): the extension and its class
  kSettings = 9,     // the settings folder's name (u16 length + code page) and the program
                     // group (u16 units + UTF-16), as the package named them
  kLanguage = 10,    // how the installation spoke and looked, for its uninstaller: the brand
                     // (u16 units + UTF-16), its text table (u32 length + bytes; none: English),
                     // the rest the vendor's side picture
};

// Bits of a file entry's flags.
inline constexpr std::uint8_t kFileHasCrc = 1;  // the CRC-32 is the packer's, checked

struct RecordedFile {
  std::u16string path;  // below the installation folder, beginning with "\"
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint8_t flags = 0;
};

struct InstallRecord {
  // kProduct
  RegRoot root = RegRoot::kLocalMachine;  // where the product's own keys are
  std::string identity;
  std::string displayname;
  std::string exename;
  std::string version;
  std::u16string installfolder;  // as entered, without a trailing "\"
  // what the installation made
  std::vector<RecordedFile> files;
  std::vector<std::u16string> folders;  // full paths, in the order they were made
  std::u16string uninstaller;           // below the folder; empty: none
  std::vector<std::u16string> shortcuts;
  std::vector<std::pair<RegRoot, std::string>> keys;
  std::vector<std::string> services;
  std::string assocext, assocclass;
  std::string appdatafolder;
  std::u16string programgroup;
  std::string language;  // kLanguage's bytes; empty: English, "Kestrel" and its picture

  // The full path of a recorded file or of the uninstaller.
  std::u16string FullPath(const std::u16string& below) const;
};

// The record's bytes, ready to be written.
std::vector<std::uint8_t> EncodeInstallRecord(const InstallRecord& record);

// The record in `bytes`, read into `out`, a record made fresh for it; false (and `out` not to
// be used) when they are not one whole, undamaged record whose every path is of the form its
// entry demands.
bool DecodeInstallRecord(std::span<const std::uint8_t> bytes, InstallRecord& out);

// Reads the record file at `path`: false when it is missing, damaged or another product's.
bool LoadInstallRecord(FileSystem& fs, const std::u16string& path, const std::string& identity,
                       InstallRecord& out);

// The kLanguage entry of the record at `path` (as LoadInstallRecord reads it); empty for none.
std::string RecordedLanguage(FileSystem& fs, const std::u16string& path,
                             const std::string& identity);

// Folders in the order they can be removed: deepest first, each once (letter case ignored).
void SortDeepestFirst(std::vector<std::u16string>& folders);

// A path below the installation folder as a record holds it: "\" and one or more components,
// each a name Windows creates as written (no "..", no ":", no control character).
bool IsRecordedSubpath(std::u16string_view path);
// A full local path: a drive letter, ":\" and plain components, or "\\server\share\...".
bool IsRecordedFullPath(std::u16string_view path);

// The record of a new installation of the same product into the same folder, joined with the
// earlier record's: the folders it had made stay the product's, and its files that this
// installation did not write again stay recorded (they are still the product's own).
void InheritEarlierRecord(InstallRecord& record, const InstallRecord& earlier);

}  // namespace kestrel
