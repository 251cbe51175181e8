#include "sysutil/services_win32.h"

#include <windows.h>

#include <vector>

#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"

namespace kestrel {
namespace {

using ScHandle = win::ServiceHandle;

// Opens the manager, then the service; runs `op` on the service. The service's handle is
// closed before the manager's.
template <class Op>
bool WithService(DWORD manager_access, std::string_view name, DWORD service_access, Op op) {
  ScHandle manager(OpenSCManagerA(nullptr, nullptr, manager_access));
  if (!manager) return false;
  const std::string n(name);
  ScHandle service(OpenServiceA(manager.get(), n.c_str(), service_access));
  if (!service) return false;
  return op(service.get());
}

// Asks `done` every 100 ms until it holds or `limit` ms have passed.
template <class Done>
bool WaitUntil(DWORD limit, Done done) {
  for (DWORD waited = 0;; waited += 100) {
    if (done()) return true;
    if (waited >= limit) return false;
    Sleep(100);
  }
}

}  // namespace

bool ServiceRunning(std::string_view name) {
  return WithService(SC_MANAGER_CONNECT, name, SERVICE_QUERY_STATUS, [](SC_HANDLE s) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(s, &status) && status.dwCurrentState == SERVICE_RUNNING;
  });
}

bool ServiceStart(std::string_view name) {
  return WithService(SC_MANAGER_ALL_ACCESS, name, SERVICE_START,
                     [](SC_HANDLE s) { return StartServiceA(s, 0, nullptr) != 0; });
}

bool ServiceStop(std::string_view name) {
  return WithService(
      SC_MANAGER_ALL_ACCESS, name, SERVICE_STOP | SERVICE_QUERY_STATUS, [](SC_HANDLE s) {
        SERVICE_STATUS status{};
        if (!ControlService(s, SERVICE_CONTROL_STOP, &status)) return false;
        // its files are free only once it has stopped
        return WaitUntil(kServiceWaitMs, [&] {
          return QueryServiceStatus(s, &status) && status.dwCurrentState == SERVICE_STOPPED;
        });
      });
}

std::u16string ServiceCommandLine(const std::u16string& programpath) {
  const bool quoted = programpath.size() >= 2 && programpath.front() == u'"';
  if (quoted || programpath.find(u' ') == std::u16string::npos) return programpath;
  return u"\"" + programpath + u"\"";
}

bool ServiceCreate(std::string_view name, const std::u16string& programpath) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  const std::u16string wname = FromCodePage(name);
  const std::u16string command = ServiceCommandLine(programpath);
  ScHandle service(CreateServiceW(manager.get(), Wide(wname), Wide(wname), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, Wide(command), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
  return static_cast<bool>(service);
}

bool ServiceDelete(std::string_view name) {
  if (!WithService(SC_MANAGER_ALL_ACCESS, name, SERVICE_ALL_ACCESS,
                   [](SC_HANDLE s) { return DeleteService(s) != 0; })) {
    return false;
  }
  // the manager removes it once no handle holds it; a service of the same name made before
  // then would be refused
  const std::string n(name);
  WaitUntil(kServiceWaitMs, [&] {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return true;
    ScHandle service(OpenServiceA(manager.get(), n.c_str(), SERVICE_QUERY_STATUS));
    return !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  });
  return true;
}

std::u16string ServiceProgram(std::string_view name, unsigned long* error) {
  DWORD code = ERROR_SUCCESS;
  std::u16string program;
  {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const std::string n(name);
    ScHandle service(manager ? OpenServiceA(manager.get(), n.c_str(), SERVICE_QUERY_CONFIG)
                             : nullptr);
    if (!service) {
      code = GetLastError();
    } else {
      // asked once for the size the configuration needs, then read into an aligned buffer
      DWORD needed = 0;
      QueryServiceConfigW(service.get(), nullptr, 0, &needed);
      std::vector<QUERY_SERVICE_CONFIGW> buf(
          (needed + sizeof(QUERY_SERVICE_CONFIGW) - 1) / sizeof(QUERY_SERVICE_CONFIGW) + 1);
      const DWORD size = static_cast<DWORD>(buf.size() * sizeof(QUERY_SERVICE_CONFIGW));
      if (!QueryServiceConfigW(service.get(), buf.data(), size, &needed)) {
        code = GetLastError();
      } else if (buf[0].lpBinaryPathName) {
        program = FromWide(buf[0].lpBinaryPathName);
      }
    }
  }
  // closing the handles may overwrite it
  if (program.empty()) SetLastError(code);
  if (error) *error = code;
  return program;
}

}  // namespace kestrel
