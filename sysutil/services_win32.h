// Service control: query, start, stop, create and delete a service by name. Every handle
// opened is closed before returning; nothing is shown to the user.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// How long a stop or a deletion is waited for before the run goes on.
inline constexpr unsigned long kServiceWaitMs = 10000;

bool ServiceRunning(std::string_view name);
bool ServiceStart(std::string_view name);
// Asks the service to stop and waits until it has; false when it would not stop.
bool ServiceStop(std::string_view name);
// An own-process service that starts with the system, under the local system account. A path
// with blanks is quoted, so the system cannot run a program named by its first words.
bool ServiceCreate(std::string_view name, const std::u16string& programpath);
// Marks the service for deletion and waits until the manager has removed it.
bool ServiceDelete(std::string_view name);
// The command line the service is configured to run (the binary path the manager reports,
// quoted or not, with its arguments); empty when there is no such service or it cannot be
// queried, and then the thread's last error and `error` (if given) hold the Win32 code.
std::u16string ServiceProgram(std::string_view name, unsigned long* error = nullptr);

// The command line a service is registered with: the path, in double quotes when it holds a
// blank and is not quoted already.
std::u16string ServiceCommandLine(const std::u16string& programpath);

}  // namespace kestrel
