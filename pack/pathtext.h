// File names travel as UTF-8 text inside the packer on every host. On Windows the narrow
// std::filesystem::path conversions use the ANSI code page, so every conversion goes through
// char8_t; on POSIX these are plain byte copies.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel::pack {

inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

// The same with '/' as the separator.
inline std::string GenericUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.generic_u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace kestrel::pack
