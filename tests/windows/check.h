// Checks and reporting shared by the Windows drivers: the lines run.py reads ("PASS name",
// "FAIL name: why", key=value), named cases, and the names and bytes the cases share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_pipe.h"
// after windows.h, which fake_pipe.h brings
#include <shellapi.h>
#include "link/channel.h"
#include "link/session.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace wintest {

// One line to standard output at once, whichever thread says it.
inline void Say(const std::string& line) {
  static SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&lock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  ReleaseSRWLockExclusive(&lock);
}

inline ULONGLONG Now() { return GetTickCount64(); }

// One named case: collects failed checks and says one line when it ends.
class Case {
 public:
  explicit Case(std::string name) : name_(std::move(name)) {}
  ~Case() { Say(why_.empty() ? "PASS " + name_ : "FAIL " + name_ + ":" + why_); }
  Case(const Case&) = delete;
  Case& operator=(const Case&) = delete;

  bool Check(bool ok, const std::string& what) {
    if (!ok) why_ += " [" + what + "]";
    return ok;
  }
  template <class A, class B>
  bool Equal(const A& got, const B& want, const std::string& what) {
    return Check(got == want, what + ": got " + std::to_string(got) + ", want " + std::to_string(want));
  }

 private:
  std::string name_;
  std::string why_;
};

inline std::string U8(const char16_t* s, size_t n) {
  std::string out(n * 3 + 1, '\0');
  size_t used = orbisyn::Utf16ToUtf8(s, n, &out[0], out.size());
  out.resize(used == SIZE_MAX ? 0 : used);
  return out;
}
inline std::string U8(const char16_t* s) { return U8(s, orbisyn::platform::TextLength(s)); }
inline std::string U8(const std::u16string& s) { return U8(s.data(), s.size()); }
inline std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
inline std::u16string U16(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

// The program's arguments after its name.
inline std::vector<std::u16string> Arguments() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(U16(argv[i]));
  LocalFree(argv);
  return args;
}

// A pipe name no other case or process uses.
inline std::u16string UniqueName(const char* tag) {
  static int serial = 0;
  std::string s = "\\\\.\\pipe\\orbisyn-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                  tag + "-" + std::to_string(++serial);
  return std::u16string(s.begin(), s.end());
}

// The pipe the session derives for path: Connect's own naming.
inline std::u16string SessionPipeName(const char16_t* path) {
  uint8_t digest[32];
  char16_t name[orbisyn::kPathUnits];
  orbisyn::Session::PipeNameOf(path, digest, name);
  return name;
}

inline std::u16string OwnPath() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return std::u16string(buf, buf + n);
}

// How most cases begin: a scripted pipe of a name of its own, script running on its first
// client, and a session to link to it. The session ends before the pipe, whose script may
// wait for the hang-up.
struct Link {
  Link(const char* tag, std::function<void(ServerPipe&)> script)
      : name(UniqueName(tag)), server(W(name)) {
    server.Start(std::move(script));
  }
  // The session, opened on the pipe (a failed open fails the case).
  orbisyn::Session& Open(Case& c) {
    c.Check(client.OpenPipe(name.c_str()), "open");
    return client;
  }

  std::u16string name;
  ServerPipe server;
  orbisyn::Session client;
};

// An exchange nobody answers, cancelled from another thread 200 ms in, as shutdown() does:
// its result and the milliseconds it took.
inline std::pair<int32_t, ULONGLONG> CancelledExchange(orbisyn::Session& client) {
  int32_t r = 0;
  ULONGLONG t0 = Now(), took = 0;
  std::thread waiter([&] {
    r = orbisyn::Exchange(client.pipe(), 120, orbisyn::NoPayload, orbisyn::NoReply);
    took = Now() - t0;
  });
  Sleep(200);
  client.Cancel();
  waiter.join();
  return {r, took};
}

// Bytes that show where a piece went missing or moved (as the Python side's pattern()).
inline uint8_t PatternByte(size_t i, uint32_t seed) { return static_cast<uint8_t>((i * 7 + seed) % 251); }

inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = PatternByte(i, seed);
  return b;
}

}  // namespace wintest
