// The packer's own contact with the host's files: bounded reads of its inputs, the check that the
// output is none of them, and the removal of a half-written output when the user stops a build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::pack {

// How much of each kind of input is read at most.
inline constexpr std::uint64_t kMaxManifestBytes = 16u << 20;
inline constexpr std::uint64_t kMaxLicenceBytes = 16u << 20;
// A side picture is a few tens of kilobytes; more is a mistake (a photograph, a wrong file).
inline constexpr std::uint64_t kMaxImageBytes = 1u << 20;
inline constexpr std::uint64_t kMaxKeyBytes = 56;
inline constexpr std::uint64_t kMaxPasswordFileBytes = 4096;

// Reads the whole of a regular file of at most `limit` bytes into `out`. Anything else is refused
// before it is read: a FIFO would wait for a writer, a device such as /dev/zero never ends.
// `what` ("manifest", "licence", ...) begins the error text.
bool ReadInputFile(const std::filesystem::path& path, std::uint64_t limit, std::string_view what,
                   std::vector<std::uint8_t>& out, std::string& error);

// Fails when `output` already exists and is the same file as one of `inputs`, compared as files
// (so another spelling of the name or a hard link is caught too), not as names.
bool CheckOutputIsNoInput(const std::filesystem::path& output,
                          const std::vector<std::filesystem::path>& inputs, std::string& error);

// Fails, saying which and why, when the output cannot be written where it is to go: its folder
// does not exist, is no folder, or cannot be written, or the output names a folder itself.
bool CheckOutputFolder(const std::filesystem::path& output, std::string& error);

// SOURCE_DATE_EPOCH's value (seconds since 1970, digits only) into `seconds`; nothing when the
// variable is unset or empty. False with `error` for anything else, so a mistyped value does not
// pass for a reproducible build.
bool ReadSourceDateEpoch(const char* value, std::optional<std::int64_t>& seconds,
                         std::string& error);

// What a build stopped by an interrupt, termination or hang-up signal must not leave behind: a
// half-written output, a private folder holding a password, a program it runs. While an object
// lives, the signal stops that program (and waits for it), removes that file, or removes that
// folder once its files are gone, before the process ends as the signal would have ended it.
// Up to 16 at a time; what does not fit is left to the objects' normal ends.
class RemoveOnSignal {
 public:
  enum class Kind { kFile, kFolder, kProcess };
  explicit RemoveOnSignal(const std::filesystem::path& path, Kind kind = Kind::kFile);
  // A program started by the build (POSIX; elsewhere the console's own signal reaches it).
  explicit RemoveOnSignal(long process);
  ~RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

 private:
  int slot_ = -1;
};

}  // namespace kestrel::pack
