// Authenticode signing for kestrel-pack, by running osslsigncode.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::pack {

struct SignOptions {
  // Either a certificate (PEM or DER, with its chain) and its private key, or a PKCS#12 file
  // holding both.
  std::filesystem::path cert;
  std::filesystem::path key;
  std::filesystem::path pkcs12;
  // The private key's (or PKCS#12 file's) password: from a file, or from an environment variable
  // (never on a command line, where other users could read it).
  std::optional<std::filesystem::path> password_file;
  std::optional<std::string> password_env;
  std::string timestamp_url;          // RFC 3161 server; no timestamp when empty
  std::string description;            // shown by the system's signature dialog
  std::string url;                    // the "more information" link of the signature
  std::string tool = "osslsigncode";  // looked up on PATH unless it holds a folder
  // The signing time to record (seconds since 1970) instead of now: a build under
  // SOURCE_DATE_EPOCH signs to the same bytes every time (without a time stamp).
  std::optional<std::int64_t> signing_time;
};

// What a set of options lacks or holds in contradiction; empty when they can be used.
std::string CheckSignOptions(const SignOptions& options);

// The tool's arguments for signing `in` into `out` (`password_path`: a file with the password,
// or empty for none).
std::vector<std::string> SignArguments(const SignOptions& options, const std::string& in,
                                       const std::string& out, const std::string& password_path);

// Signs `in` into `out` (a new file). False with the tool's complaint in `error`.
bool SignFile(const SignOptions& options, const std::filesystem::path& in,
              const std::filesystem::path& out, std::string& error);

// The same for a program in memory (the stub, before the package is appended to it).
bool SignBytes(const SignOptions& options, const std::vector<std::uint8_t>& in,
               std::vector<std::uint8_t>& out, std::string& error);

}  // namespace kestrel::pack
