// Stands in for the system's Restart Manager in a test prefix, where Wine's names no holder: a
// registered file held without sharing is held by the test's holder program, which "closing"
// ends and "restarting" starts again on the same file. Every call is logged to C:\fakerm.log.
#include <windows.h>
// needs the types windows.h defines
#include <restartmanager.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> g_files;
std::wstring g_held, g_exe;
DWORD g_pid = 0;

void Log(const std::string& line) {
  HANDLE h = CreateFileW(L"C:\\fakerm.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::string l = line + "\r\n";
  DWORD n = 0;
  WriteFile(h, l.data(), DWORD(l.size()), &n, nullptr);
  CloseHandle(h);
}

bool Held(const std::wstring& f) {
  HANDLE h =
      CreateFileW(f.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// The holder program's process and its full path.
DWORD FindHolder(std::wstring& exe) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  DWORD pid = 0;
  for (BOOL more = Process32FirstW(snap, &e); more && !pid; more = Process32NextW(snap, &e)) {
    if (lstrcmpiW(e.szExeFile, L"kestrel_holdfile.exe") == 0) pid = e.th32ProcessID;
  }
  CloseHandle(snap);
  if (HANDLE p = pid ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr) {
    wchar_t buf[MAX_PATH];
    DWORD n = MAX_PATH;
    if (QueryFullProcessImageNameW(p, 0, buf, &n)) exe.assign(buf, n);
    CloseHandle(p);
  }
  return pid;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI RmStartSession(DWORD* session, DWORD, WCHAR key[]) {
  *session = 7;
  key[0] = L'k';
  key[1] = 0;
  g_files.clear();
  Log("start");
  return 0;
}

__declspec(dllexport) DWORD WINAPI
    RmRegisterResources(DWORD, UINT n, LPCWSTR files[], UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*) {
  for (UINT i = 0; i < n; ++i) g_files.emplace_back(files[i]);
  Log("register " + std::to_string(n));
  return 0;
}

__declspec(dllexport) DWORD WINAPI
    RmGetList(DWORD, UINT* needed, UINT* count, RM_PROCESS_INFO info[], LPDWORD reasons) {
  g_held.clear();
  g_pid = 0;
  for (const std::wstring& f : g_files) {
    if (Held(f)) {
      g_held = f;
      break;
    }
  }
  if (!g_held.empty()) g_pid = FindHolder(g_exe);
  if (reasons) *reasons = 0;
  *needed = g_pid ? 1 : 0;
  if (*needed > *count) {
    Log("list more data");
    return ERROR_MORE_DATA;
  }
  *count = *needed;
  if (g_pid) {
    ZeroMemory(info, sizeof *info);
    info->Process.dwProcessId = g_pid;
    lstrcpyW(info->strAppName, L"Kestrel Hold Test");
    info->ApplicationType = RmConsole;
    info->bRestartable = TRUE;
  }
  Log("list " + std::to_string(*count));
  return 0;
}

__declspec(dllexport) DWORD WINAPI RmShutdown(DWORD, ULONG flags, RM_WRITE_STATUS_CALLBACK) {
  Log("shutdown flags=" + std::to_string(flags));
  if (HANDLE p = g_pid ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, g_pid) : nullptr) {
    TerminateProcess(p, 0);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
  }
  return 0;
}

__declspec(dllexport) DWORD WINAPI RmRestart(DWORD, DWORD, RM_WRITE_STATUS_CALLBACK) {
  Log("restart");
  if (g_exe.empty()) return ERROR_FILE_NOT_FOUND;
  std::wstring line = L"\"" + g_exe + L"\" \"" + g_held + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(g_exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return ERROR_FILE_NOT_FOUND;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

__declspec(dllexport) DWORD WINAPI RmEndSession(DWORD) {
  Log("end");
  return 0;
}

}  // extern "C"
