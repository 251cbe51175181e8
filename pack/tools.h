// The reading side of kestrel-pack: list, verify and extract a setup executable, running the
// installer's own package code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/records.h"

namespace kestrel::pack {

// Reads the Configuration record from the end of a setup file's package (in front of a
// signature's certificate table) and checks its marker; with `checksum`, also the package's
// checksum. On failure `error` holds the text the installer itself would show. `recordpos`, when
// given, receives the record's file offset.
bool ReadConfiguration(const std::filesystem::path& setup, ConfigRecord& config, std::string& error,
                       std::int64_t* recordpos = nullptr, bool checksum = false);

// What opens an enciphered package: a raw key, or a password checked against the package's
// password data. Both empty for a plain package.
struct Unlock {
  std::vector<std::uint8_t> key;
  std::optional<std::string> password;  // UTF-8
};

// Reads a password file: UTF-8 text of one line (a leading byte-order mark and the line's trailing
// CR and LF are dropped). False with `error` for an unreadable, empty, multi-line or non-UTF-8 one.
bool ReadPasswordFile(const std::filesystem::path& path, std::string& password, std::string& error);

// Each returns the process exit code: 0 when all is well, 1 on any fault (reported on `err`
// or, per file, on `out`).
int ListPackage(const std::filesystem::path& setup, std::ostream& out, std::ostream& err);
int VerifyPackage(const std::filesystem::path& setup, const std::vector<std::uint8_t>& key,
                  std::ostream& out, std::ostream& err);
int ExtractPackage(const std::filesystem::path& setup, const std::filesystem::path& folder,
                   const std::vector<std::uint8_t>& key, std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress = {});

int VerifyPackage(const std::filesystem::path& setup, const Unlock& unlock, std::ostream& out,
                  std::ostream& err);
int ExtractPackage(const std::filesystem::path& setup, const std::filesystem::path& folder,
                   const Unlock& unlock, std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress = {});

// A host path as the package code takes it: UTF-16 with backslashes.
std::u16string PackagePath(const std::filesystem::path& path);

// Untrusted text made safe to print: control characters (C0, DEL, C1), the invisible format and
// direction controls and unpaired surrogates become \xHH or \uHHHH, so a name cannot move the
// cursor, recolour the terminal or hide what it is. Everything else comes out as UTF-8.
std::string Printable(std::u16string_view text);
std::string PrintablePath(const std::filesystem::path& path);

// How the regions of a setup file lie against each other. `faults` are layouts the installer
// would misread (the directory over the Package header or the Configuration record, or outside
// the file); `warnings` are legal but suspicious, such as an empty directory.
struct LayoutReport {
  std::vector<std::string> faults;
  std::vector<std::string> warnings;
};
LayoutReport CheckLayout(std::int64_t filesize, const ConfigRecord& config, std::int32_t filecount);

}  // namespace kestrel::pack
