// The reading side of kestrel-pack: list, verify and extract a setup executable, running the
// installer's own package code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Each returns the process exit code: 0 when all is well, 1 on any fault (reported on `err`
// or, per file, on `out`).
int ListPackage(const std::filesystem::path& setup, std::ostream& out, std::ostream& err);
int VerifyPackage(const std::filesystem::path& setup, const std::vector<std::uint8_t>& key,
                  std::ostream& out, std::ostream& err);
int ExtractPackage(const std::filesystem::path& setup, const std::filesystem::path& folder,
                   const std::vector<std::uint8_t>& key, std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress = {});

// A host path as the package code takes it: UTF-16 with backslashes.
std::u16string PackagePath(const std::filesystem::path& path);

}  // namespace kestrel::pack
