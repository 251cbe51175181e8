// What a setup program that the packer may append a package to is: its processor, its version
// and whether it reads compact directories. For `kestrel-pack --version` and the stub's checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::pack {

struct StubInfo {
  bool pe = false;       // "MZ", and "PE\0\0" where e_lfanew points
  std::string machine;   // "i686", "x86_64", "arm64" or "machine 0x1234"; empty unless `pe`
  std::string version;   // the application manifest's version of "Kestrel"; empty when none
  bool compact = false;  // carries the mark of a setup program that reads compact directories
  bool lzma2 = false;    // and the mark of one that reads LZMA2 solid packages
};

StubInfo DescribeStub(const std::vector<std::uint8_t>& bytes);

// The requestedExecutionLevel of the program's application manifest, read from its resource
// (type 24): "requireAdministrator", "asInvoker", ...; empty when it has none.
std::string RequestedExecutionLevel(const std::vector<std::uint8_t>& program);

// Makes the manifest ask for no elevation (asInvoker) in place: the resource keeps its size, and
// the header's CheckSum, when the program has one, is computed again. False with the reason when
// the program has no manifest resource naming a level.
bool RequestAsInvoker(std::vector<std::uint8_t>& program, std::string& error);

// One line for a person: "Kestrel setup 5.1.0.0, i686, reads compact directories and lzma2".
std::string StubSummary(const StubInfo& info);

}  // namespace kestrel::pack
