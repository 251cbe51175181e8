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

// Reads the Configuration record from the end of a setup file and checks its marker. On
// failure `error` holds the text the installer itself would show.
bool ReadConfiguration(const std::filesystem::path& setup, ConfigRecord& config,
                       std::string& error);

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

}  // namespace kestrel::pack
