// The C++ runtime's failure paths for a program built without exceptions. Each one ends the
// program with an Error box and exit code 3 instead of pulling in the unwinder, the exception
// classes and the demangling terminate handler, none of which the program uses. Nothing here
// allocates: the out-of-memory box must still be shown when the heap is exhausted.
#include "setup/runtime_win32.h"

#include <bits/functexcept.h>
#include <windows.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>

namespace kestrel {
namespace {

constexpr UINT kFatalExitCode = 3;

// Appends a zero-terminated text to a fixed buffer, cutting it at the buffer's end.
void Append(wchar_t* buf, std::size_t cap, std::size_t& len, const wchar_t* text) {
  while (*text && len + 1 < cap) buf[len++] = *text++;
  buf[len] = 0;
}

void AppendAscii(wchar_t* buf, std::size_t cap, std::size_t& len, const char* text) {
  while (text && *text && len + 1 < cap) buf[len++] = static_cast<unsigned char>(*text++);
  buf[len] = 0;
}

void AppendHex(wchar_t* buf, std::size_t cap, std::size_t& len, std::uintptr_t value, int digits) {
  wchar_t hex[2 + 2 * sizeof value + 1] = {L'0', L'x'};
  for (int i = 0; i < digits; ++i) {
    hex[2 + i] = L"0123456789ABCDEF"[(value >> (4 * (digits - 1 - i))) & 15];
  }
  hex[2 + digits] = 0;
  Append(buf, cap, len, hex);
}

[[noreturn]] void Show(const wchar_t* text) {
  // task-modal with no owner: the wizard's windows may be in any state by now
  MessageBoxW(nullptr, text, L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
  ExitProcess(kFatalExitCode);
}

[[noreturn]] void InternalError(const char* what) {
  wchar_t text[512];
  std::size_t len = 0;
  text[0] = 0;
  Append(text, 512, len, L"Kestrel has stopped because of an internal error (");
  AppendAscii(text, 512, len, what);
  Append(text, 512, len, L"). Nothing more will be installed or removed.");
  Show(text);
}

void OnTerminate() {
  InternalError("terminate");
}

void OnAbort(int) {
  InternalError("abort");
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info) {
  wchar_t text[512];
  std::size_t len = 0;
  text[0] = 0;
  Append(text, 512, len, L"Kestrel has stopped because of an internal error (exception ");
  AppendHex(text, 512, len, info->ExceptionRecord->ExceptionCode, 8);
  Append(text, 512, len, L" at ");
  AppendHex(text, 512, len,
            reinterpret_cast<std::uintptr_t>(info->ExceptionRecord->ExceptionAddress),
            2 * sizeof(void*));
  Append(text, 512, len, L"). Nothing more will be installed or removed.");
  Show(text);
}

}  // namespace

[[noreturn]] void OutOfMemory() {
  Show(
      L"Kestrel has run out of memory and must close. Nothing more will be installed or "
      L"removed.");
}

void InstallFaultHandlers() {
  // std::terminate already calls OnTerminate (below); setting it here would link the library's
  // terminate machinery for nothing
  std::signal(SIGABRT, OnAbort);
  SetUnhandledExceptionFilter(OnUnhandled);
}

}  // namespace kestrel

// ---- allocation: a failure ends in the out-of-memory box, never in a throw ----------------
void* operator new(std::size_t size) {
  for (;;) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    kestrel::OutOfMemory();
  }
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

// ---- the library's throwing helpers, called where it would throw ---------------------------
// Each names its kind of check only: the library's own texts (the failing function's name at every
// call site) would be carried for a message no one should ever see.
namespace std {
void __throw_bad_alloc() {
  kestrel::OutOfMemory();
}
void __throw_bad_array_new_length() {
  kestrel::OutOfMemory();
}
void __throw_length_error(const char*) {
  kestrel::InternalError("length error");
}
void __throw_logic_error(const char*) {
  kestrel::InternalError("logic error");
}
void __throw_out_of_range(const char*) {
  kestrel::InternalError("out of range");
}
// the text is a format with its numbers left out: only the check's name is shown
void __throw_out_of_range_fmt(const char*, ...) {
  kestrel::InternalError("index out of range");
}
void __throw_invalid_argument(const char*) {
  kestrel::InternalError("invalid argument");
}
void __throw_domain_error(const char*) {
  kestrel::InternalError("domain error");
}
void __throw_runtime_error(const char*) {
  kestrel::InternalError("runtime error");
}
void __throw_range_error(const char*) {
  kestrel::InternalError("range error");
}
void __throw_overflow_error(const char*) {
  kestrel::InternalError("overflow error");
}
void __throw_underflow_error(const char*) {
  kestrel::InternalError("underflow error");
}
void __throw_system_error(int) {
  kestrel::InternalError("system error");
}
void __throw_bad_function_call() {
  kestrel::InternalError("bad function call");
}
void __throw_bad_cast() {
  kestrel::InternalError("bad cast");
}
void __throw_bad_typeid() {
  kestrel::InternalError("bad typeid");
}
void __throw_bad_exception() {
  kestrel::InternalError("bad exception");
}
void __throw_bad_weak_ptr() {
  kestrel::InternalError("bad weak pointer");
}
}  // namespace std

// Defining the handler variable keeps the library's default, the verbose handler with its
// demangler, out of the program.
namespace __cxxabiv1 {
std::terminate_handler __terminate_handler = kestrel::OnTerminate;
}
extern "C" void __cxa_pure_virtual() {
  kestrel::InternalError("pure virtual call");
}

// ---- thread-safe initialisation of local statics, on the system's own primitives ------------
// The library's version is built with exceptions and would bring their whole machinery along.
// Byte 0 of the 64-bit guard says "done" (the compiler tests it inline); the second 32-bit word
// is taken by the thread that runs the initialiser while others wait.
namespace {
volatile LONG* GuardLock(std::uint64_t* guard) {
  return reinterpret_cast<volatile LONG*>(guard) + 1;
}
bool GuardDone(std::uint64_t* guard) {
  return *reinterpret_cast<volatile std::uint8_t*>(guard) != 0;
}
}  // namespace

extern "C" int __cxa_guard_acquire(std::uint64_t* guard) {
  for (;;) {
    if (GuardDone(guard)) return 0;
    if (InterlockedCompareExchange(GuardLock(guard), 1, 0) == 0) {
      if (!GuardDone(guard)) return 1;  // ours to initialise
      InterlockedExchange(GuardLock(guard), 0);
      return 0;
    }
    Sleep(0);
  }
}
extern "C" void __cxa_guard_release(std::uint64_t* guard) {
  *reinterpret_cast<volatile std::uint8_t*>(guard) = 1;
  InterlockedExchange(GuardLock(guard), 0);  // a full barrier: "done" is seen before the unlock
}
extern "C" void __cxa_guard_abort(std::uint64_t* guard) {
  InterlockedExchange(GuardLock(guard), 0);
}
