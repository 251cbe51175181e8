// The packer's manifest: what a setup package holds, read from a TOML file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/locale.h"
#include "package/scope.h"

namespace kestrel::pack {

// One file to pack: where it comes from and where it goes below the installation folder.
struct PackedFile {
  std::filesystem::path source;
  std::u16string filename;   // plain name, no folder
  std::u16string subfolder;  // empty, or "\a\b"
  std::uint8_t attributes = 0x20;
};

// Short texts are already in Windows-1252, as the Configuration record holds them.
struct Service {
  std::string file;  // relative to the installation folder, no leading backslash
  std::string name;
};

struct Shortcut {
  std::string target;  // file part, then the arguments from their "-" on
  std::string caption;
};

struct Manifest {
  std::filesystem::path base;  // folder of the manifest; relative sources start here
  std::string displayname;
  std::string id;  // the product's identity; empty: its display name (package/identity.h)
  std::string exename;
  std::string version;
  std::string appdatafolder;
  std::string publisher;         // shown in the installed-programs list; empty: none
  std::string url;               // the product's web page; empty: none
  std::u16string installfolder;  // "\Vendor\Product", relative to Program Files
  std::u16string programgroup;   // "\Product", relative to the Programs folder
  std::vector<Service> services;
  std::vector<Shortcut> shortcuts;
  std::string assocext;
  std::string assocclass;
  std::string assocdescription;
  std::string assocprogram;
  std::optional<std::filesystem::path> licence;
  std::optional<std::filesystem::path> image;  // the vendor's side picture (JPEG or BMP)
  std::optional<std::filesystem::path> stub;
  std::string codec;                            // "classic" or "lzma2"; empty: the packer's default
  InstallScope scope = InstallScope::kMachine;  // "machine", "user" or "either"
  std::vector<PackedFile> files;
  // Names beyond Windows-1252 (kept as UTF-16 beside their 8-bit forms), the selected languages
  // with the vendor's texts laid over them, and the brand.
  LocaleData locale;
  std::vector<std::string> warnings;  // legal but probably unintended
  std::vector<std::string> notes;     // worth telling: what a followed link packed
};

// Reads and checks a manifest; on failure `error` says what and where.
bool LoadManifest(const std::filesystem::path& file, Manifest& out, std::string& error);
// The same from text, with relative sources resolved against `base`.
bool ParseManifest(std::string_view text, const std::filesystem::path& base, Manifest& out,
                   std::string& error);

// Windows attribute bits from their names: readonly, hidden, system, archive, normal.
std::optional<std::uint8_t> AttributeFromName(std::string_view name);

}  // namespace kestrel::pack
