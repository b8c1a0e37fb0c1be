// Tokens, the log, text and files: what both directions of the relay share.
#include <cstdarg>
#include <cstdio>

#include "relay.h"

namespace relay {

namespace {

SRWLOCK g_log_lock = SRWLOCK_INIT;
HANDLE g_log_file = INVALID_HANDLE_VALUE;  // guarded by g_log_lock
bool g_log_only_file = false;              // guarded by g_log_lock

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A log file stays below this: a relay runs for weeks, and strangers can make it write.
constexpr LONGLONG kLogCapBytes = 1 << 20;

// Writes to the end of h; a log file that would pass kLogCapBytes is emptied first, with a
// note: what it held last matters less than that it stays small, and a file that others
// append to (Wine's own messages) cannot be rotated under them. Standard error as Wine
// gives it cannot be truncated: the log file is opened by name for that.
void WriteLine(HANDLE h, const char* text, DWORD n, bool log_file) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD put = 0;
  if (log_file) {
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(h, &size) && size.QuadPart + n > kLogCapBytes &&
        SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && SetEndOfFile(h)) {
      char note[128];
      int m = std::snprintf(note, sizeof note,
                            "orbisyn-relay[%lu]: log emptied: it had reached %lld bytes\n",
                            GetCurrentProcessId(), static_cast<long long>(size.QuadPart));
      if (m > 0) WriteFile(h, note, static_cast<DWORD>(m), &put, nullptr);
    }
    // Opened for writing (not only appending) so that it can be emptied: the end is found
    // here, also when others appended meanwhile.
    SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_END);
  }
  WriteFile(h, text, n, &put, nullptr);  // a log that cannot be written is no failure
}

}  // namespace

bool ParseToken(const char* hex, size_t n, Token* out) {
  if (n != kTokenDigits) return false;
  for (size_t i = 0; i < kTokenBytes; ++i) {
    int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out->bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool SameToken(const uint8_t* a, const uint8_t* b) {
  // volatile: the compiler must not turn the loop into an early-exit comparison.
  volatile uint8_t diff = 0;
  for (size_t i = 0; i < kTokenBytes; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

void Log(const char* format, ...) {
  char line[1024];
  int used = std::snprintf(line, sizeof line, "orbisyn-relay[%lu]: ", GetCurrentProcessId());
  if (used < 0) used = 0;
  va_list args;
  va_start(args, format);
  int more = std::vsnprintf(line + used, sizeof line - static_cast<size_t>(used) - 1, format, args);
  va_end(args);
  size_t n = static_cast<size_t>(used) + (more < 0 ? 0 : static_cast<size_t>(more));
  if (n > sizeof line - 2) n = sizeof line - 2;
  line[n++] = '\n';
  AcquireSRWLockExclusive(&g_log_lock);
  if (!g_log_only_file || g_log_file == INVALID_HANDLE_VALUE) {
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(n), false);
  }
  WriteLine(g_log_file, line, static_cast<DWORD>(n), true);
  ReleaseSRWLockExclusive(&g_log_lock);
}

bool LogToFile(const std::wstring& path, bool only) {
  std::wstring name = path;
  using ToDos = WCHAR*(CDECL*)(const char*);
  // Wine's own call maps a Unix path to the drive that reaches it (or to \\?\unix\...).
  auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (!path.empty() && path[0] == L'/' && to_dos != nullptr) {
    WCHAR* dos = to_dos(Utf8(path).c_str());
    if (dos != nullptr) {
      name = dos;
      HeapFree(GetProcessHeap(), 0, dos);
    }
  }
  HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);  // never block writing to a pipe in its place
    h = INVALID_HANDLE_VALUE;
  }
  AcquireSRWLockExclusive(&g_log_lock);
  if (g_log_file != INVALID_HANDLE_VALUE) CloseHandle(g_log_file);
  g_log_file = h;
  g_log_only_file = only;
  ReleaseSRWLockExclusive(&g_log_lock);
  return h != INVALID_HANDLE_VALUE;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
  }
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  }
  return out;
}

std::wstring OwnPath() {
  std::wstring buf(1024, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
}

std::wstring FolderOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

bool ReadSmallFile(const std::wstring& path, size_t max, std::string* out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileType(h) == FILE_TYPE_DISK;  // never block on a pipe in its place
  out->clear();
  char buf[4096];
  while (ok) {
    DWORD got = 0;
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) ok = false;
    if (!ok || got == 0) break;
    out->append(buf, got);
    ok = out->size() <= max;
  }
  CloseHandle(h);
  return ok;
}

}  // namespace relay
