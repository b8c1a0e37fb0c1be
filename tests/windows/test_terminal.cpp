// A stand-in terminal64.exe for the Windows tests.
//
// Started by the session: writes launch.txt beside itself (its command line, whether its
// standard handles are unset, whether ORBISYN_RELAY_TOKEN is in its environment), then reads serve.txt beside itself (pipe name, delay in
// ms, build; UTF-8 lines), waits, and serves that pipe as a Terminal would until the
// client goes. Without serve.txt it only records.
//
// "terminal64.exe run PROGRAM ARGS..." instead starts PROGRAM as its child, with the same
// standard handles, and exits with its exit code: the child then has this executable as
// its parent process.
#include <cstdio>
#include <string>
#include <vector>

#include "fake_pipe.h"
// after windows.h, which fake_pipe.h brings
#include <shellapi.h>

namespace {

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::wstring Beside(const wchar_t* file) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + file;
}

// Quotes an argument for CommandLineToArgvW.
std::wstring Quote(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t ch : arg) {
    if (ch == L'\\') {
      ++slashes;
      continue;
    }
    out.append(ch == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out.push_back(ch);
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

int RunChild(wchar_t** argv, int argc) {
  std::wstring line;
  for (int i = 2; i < argc; ++i) line += (i > 2 ? L" " : L"") + Quote(argv[i]);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    return 90;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 91;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

void Record() {
  auto unset = [](DWORD which) {
    HANDLE h = GetStdHandle(which);
    return h == INVALID_HANDLE_VALUE || h == nullptr;
  };
  std::string text = Utf8(GetCommandLineW()) + "\n" +
                     (unset(STD_INPUT_HANDLE) && unset(STD_OUTPUT_HANDLE) && unset(STD_ERROR_HANDLE)
                          ? "no-std-handles"
                          : "std-handles") +
                     "\n" +
                     // whether the relay that started it let its token through
                     (GetEnvironmentVariableW(L"ORBISYN_RELAY_TOKEN", nullptr, 0) == 0 &&
                              GetLastError() == ERROR_ENVVAR_NOT_FOUND
                          ? "no-token"
                          : "token") +
                     "\n";
  std::wstring tmp = Beside(L"launch.tmp");
  HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
  CloseHandle(f);
  MoveFileExW(tmp.c_str(), Beside(L"launch.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
}

int Serve() {
  HANDLE f = CreateFileW(Beside(L"serve.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  char buf[2048];
  DWORD got = 0;
  ReadFile(f, buf, sizeof buf - 1, &got, nullptr);
  CloseHandle(f);
  std::string lines(buf, got);
  size_t a = lines.find('\n'), b = lines.find('\n', a + 1);
  std::wstring name = Wide(lines.substr(0, a));
  int delay = std::stoi(lines.substr(a + 1, b - a - 1));
  int build = std::stoi(lines.substr(b + 1));
  // Never outlive a test run that forgot us.
  CreateThread(nullptr, 0, [](void*) -> DWORD { Sleep(30000); ExitProcess(4); }, nullptr, 0, nullptr);
  Sleep(static_cast<DWORD>(delay));
  wintest::ServerPipe pipe(name);
  if (!pipe.ok() || !pipe.Accept()) return 5;
  wintest::AnswerSession(pipe, build);
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc >= 3 && std::wstring(argv[1]) == L"run") return RunChild(argv, argc);
  Record();
  return Serve();
}
