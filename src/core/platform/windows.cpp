// Windows implementation of the platform layer: the Terminal's named pipe, CryptoAPI,
// CreateProcessW and the shell's known folders. char16_t text meets wchar_t only at the
// API calls below (both are UTF-16 units here).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <bcrypt.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <wincrypt.h>
// clang-format on

#include <atomic>
#include <cstring>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace orbisyn::platform {
namespace {

// ---- text and handles ------------------------------------------------------------------

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Kernel handles carry 32 significant bits (so that 32- and 64-bit processes can share
// them); the interface keeps the POSIX int, and -1 stays INVALID_HANDLE_VALUE both ways.
HANDLE ToHandle(PipeHandle h) { return LongToHandle(h); }
PipeHandle FromHandle(HANDLE h) { return HandleToLong(h); }

// A path for the file-system calls. The link composes paths with '/', which Win32 turns
// into '\' itself except behind the "\\?\" prefix; doing it here keeps both forms working.
// Longer paths than kUnits cannot be named by the Terminal anyway.
struct WidePath {
  static constexpr size_t kUnits = 1024;
  wchar_t text[kUnits];
  bool ok;
  explicit WidePath(const char16_t* path) : ok(false) {
    size_t i = 0;
    for (; path[i] != 0; ++i) {
      if (i + 1 >= kUnits) {
        text[0] = 0;
        return;
      }
      text[i] = path[i] == u'/' ? L'\\' : static_cast<wchar_t>(path[i]);
    }
    text[i] = 0;
    ok = true;
  }
};

// Closes a kernel handle on every path out of a scope.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// ---- waking waits from other threads ---------------------------------------------------
//
// The pipe is opened without FILE_FLAG_OVERLAPPED, so a thread blocked in ReadFile,
// WriteFile or WaitNamedPipeW can only be freed with CancelSynchronousIo from another
// thread. Every such wait registers a Waiter (on its own stack) in one list; PipeWake and
// the console control handler find the waits there and cancel them. Cancelling is done
// under the list's lock, so a waiter cannot leave meanwhile.
//
// CancelSynchronousIo only hits a call that is already under way. A wake that lands just
// before the call would be lost, so both sides keep marks: the waiter looks at them before
// each call, and the canceller repeats the cancel until it hits or the waiter has seen the
// mark.
//
// Time limits work the same way: a transfer with a limit says when it is due, and one
// watchdog thread marks the waiters whose time has passed and cancels their calls.

struct Waiter {
  Waiter* next;
  PipeHandle pipe;     // the handle it transfers on; kInvalidPipe for a sleep or an open
  DWORD thread;        // whose blocking call to cancel; 0 for a sleep
  HANDLE event;        // a sleep's event; null otherwise
  uint64_t ctrl_seen;  // the Ctrl-C count the waiter has already dealt with
  ULONGLONG due;       // GetTickCount64 by which a byte must have moved; 0: no limit
  bool expired;        // the watchdog found it past due
  bool expiry_seen;    // the waiter has taken that mark
};

SRWLOCK g_lock = SRWLOCK_INIT;
Waiter* g_waiters = nullptr;  // guarded by g_lock
// Pipes woken by PipeWake and not yet closed. One session uses one pipe; the spare slots
// are for handles whose owner has not closed them yet.
constexpr size_t kWokenSlots = 16;
PipeHandle g_woken[kWokenSlots] = {};  // guarded by g_lock; 0 is never a pipe handle
uint64_t g_ctrl_count = 0;             // Ctrl-C and Ctrl-Break seen; guarded by g_lock

std::atomic<InterruptCheck> g_interrupt_check{nullptr};
std::atomic<bool> g_handler_installed{false};

class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

bool IsWoken(PipeHandle h) {  // under g_lock
  for (PipeHandle w : g_woken) {
    if (w == h) return true;
  }
  return false;
}

// True when thread was inside a synchronous call, which now fails with
// ERROR_OPERATION_ABORTED.
bool CancelBlockingCall(DWORD thread) {
  if (thread == 0) return false;
  HANDLE h = OpenThread(THREAD_TERMINATE, FALSE, thread);
  if (h == nullptr) return false;
  bool hit = CancelSynchronousIo(h) != FALSE;
  CloseHandle(h);
  return hit;
}

// Cancels the blocking calls of the waiters that match until each one is hit or has seen
// its mark. Short: a waiter reaches its call (or its look at the marks) within
// microseconds; the deadline only guards against a waiter that never comes back.
template <class Pending>
void CancelWaits(Pending pending) {
  const ULONGLONG deadline = GetTickCount64() + 1000;
  for (int round = 0;; ++round) {
    bool missed = false;
    {
      Locked lock;
      for (Waiter* w = g_waiters; w != nullptr; w = w->next) {
        if (!pending(*w)) continue;
        if (w->event != nullptr) {
          SetEvent(w->event);
        } else if (!CancelBlockingCall(w->thread)) {
          // Not inside its call: either about to enter it (try again) or past it.
          missed = true;
        }
      }
    }
    if (!missed || GetTickCount64() >= deadline) return;
    Sleep(round < 10 ? 0 : 1);
  }
}

// The watchdog of the time limits: started the first time a transfer has a limit, it
// sleeps until the earliest due time it knows (or until told of an earlier one).
HANDLE g_watch_event = nullptr;  // auto-reset: look again
ULONGLONG g_watch_next = 0;      // guarded by g_lock: when it looks next; 0: only when told
INIT_ONCE g_watch_once = INIT_ONCE_STATIC_INIT;

DWORD WINAPI WatchThread(void*) {
  for (;;) {
    ULONGLONG next = 0;
    bool expired = false;
    {
      Locked lock;
      const ULONGLONG now = GetTickCount64();
      for (Waiter* w = g_waiters; w != nullptr; w = w->next) {
        if (w->due == 0 || w->expired) continue;
        if (now >= w->due) {
          w->expired = true;
          expired = true;
        } else if (next == 0 || w->due < next) {
          next = w->due;
        }
      }
      g_watch_next = next;
    }
    if (expired) CancelWaits([](const Waiter& w) { return w.expired && !w.expiry_seen; });
    DWORD wait = INFINITE;
    if (next != 0) {
      const ULONGLONG now = GetTickCount64();
      wait = next <= now ? 0 : next - now < 0x7FFFFFFF ? static_cast<DWORD>(next - now) : 0x7FFFFFFF;
    }
    WaitForSingleObject(g_watch_event, wait);
  }
}

BOOL CALLBACK StartWatch(PINIT_ONCE, PVOID, PVOID*) {
  g_watch_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_watch_event == nullptr) return FALSE;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, WatchThread, nullptr, 0, nullptr);
  if (thread == nullptr) return FALSE;
  CloseHandle(thread);  // it runs for the life of the process
  return TRUE;
}

// Tells the watchdog (starting it when needed) of a waiter due earlier than it looks.
void TellWatch(bool needed) {
  if (!needed) return;
  if (InitOnceExecuteOnce(&g_watch_once, StartWatch, nullptr, nullptr)) SetEvent(g_watch_event);
}

bool WatchNeeded(ULONGLONG due) {  // under g_lock
  return due != 0 && (g_watch_next == 0 || due < g_watch_next);
}

// Registers the calling thread's wait for its whole scope.
class WaitScope {
 public:
  WaitScope(PipeHandle pipe, bool sleep, ULONGLONG due = 0) {
    node_.next = nullptr;
    node_.pipe = pipe;
    // Only an id: a thread handle is opened when there is something to cancel, which
    // keeps every transfer free of extra system calls. A registered thread is alive, so
    // its id cannot stand for another thread meanwhile.
    node_.thread = sleep ? 0 : GetCurrentThreadId();
    node_.event = sleep ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    node_.due = due;
    node_.expired = false;
    node_.expiry_seen = false;
    bool tell;
    {
      Locked lock;
      node_.ctrl_seen = g_ctrl_count;
      node_.next = g_waiters;
      g_waiters = &node_;
      tell = WatchNeeded(due);
    }
    TellWatch(tell);
  }
  ~WaitScope() {
    {
      Locked lock;
      for (Waiter** p = &g_waiters; *p != nullptr; p = &(*p)->next) {
        if (*p == &node_) {
          *p = node_.next;
          break;
        }
      }
    }
    if (node_.event != nullptr) CloseHandle(node_.event);
  }
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;

  HANDLE event() const { return node_.event; }
  ULONGLONG due() const { return node_.due; }

  // After progress: the new time by which the next byte must move.
  void Renew(ULONGLONG due) {
    bool tell;
    {
      Locked lock;
      node_.due = due;
      node_.expired = false;
      node_.expiry_seen = false;
      tell = WatchNeeded(due);
    }
    TellWatch(tell);
  }

  // What the next blocking call must not wait for: the pipe was woken, a Ctrl-C came that
  // this waiter has not dealt with yet, or its time ran out (then the mark is taken).
  enum class Mark { kNone, kWoken, kCtrl, kExpired };
  Mark Take() {
    Locked lock;
    if (node_.pipe != kInvalidPipe && IsWoken(node_.pipe)) return Mark::kWoken;
    if (node_.ctrl_seen != g_ctrl_count) {
      node_.ctrl_seen = g_ctrl_count;
      return Mark::kCtrl;
    }
    if (node_.expired) {
      node_.expiry_seen = true;
      return Mark::kExpired;
    }
    return Mark::kNone;
  }

 private:
  Waiter node_;
};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (g_interrupt_check.load(std::memory_order_acquire) == nullptr) return FALSE;
  uint64_t count;
  {
    Locked lock;
    count = ++g_ctrl_count;
  }
  CancelWaits([count](const Waiter& w) { return w.ctrl_seen != count; });
  return FALSE;  // Python's own handler (and the default one) still run
}

// Removes the handler when the library goes away, so that Ctrl-C never calls into
// unloaded code.
struct HandlerRemoval {
  ~HandlerRemoval() {
    if (g_handler_installed.load()) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  }
} handler_removal;

// After a Ctrl-C: Python's handler runs after ours on the same control thread, so give the
// interrupt check a moment to see its flag.
bool InterruptConfirmed() {
  InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire);
  if (check == nullptr) return false;
  for (int i = 0; i < 10; ++i) {
    if (check()) return true;
    Sleep(10);
  }
  return check();
}

constexpr DWORD kMaxChunk = 1u << 30;  // one ReadFile/WriteFile at most

bool PeerGone(DWORD error) {
  // 109: the server closed; 232: writing to a pipe being closed; 233: disconnected.
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// When a transfer under limit whose last byte moved at `since` is due; 0: never.
ULONGLONG DueTime(const WaitLimit& limit, ULONGLONG since) {
  uint64_t left = WaitLeft(limit, since, since);
  return left == kNoLimit ? 0 : since + left;
}

// One loop for both directions; Transfer(h, p, chunk, &moved) is ReadFile or WriteFile.
template <class Transfer>
IoResult Move(PipeHandle h, uint8_t* p, size_t n, const WaitLimit& limit, Transfer transfer) {
  if (n == 0) return IoResult::kOk;
  WaitScope wait(h, false, DueTime(limit, GetTickCount64()));
  while (n > 0) {
    switch (wait.Take()) {
      case WaitScope::Mark::kWoken:
        return IoResult::kBroken;
      case WaitScope::Mark::kCtrl:
        if (InterruptConfirmed()) return IoResult::kInterrupted;
        continue;
      case WaitScope::Mark::kExpired:
        return IoResult::kTimedOut;
      case WaitScope::Mark::kNone:
        break;
    }
    if (wait.due() != 0 && GetTickCount64() >= wait.due()) return IoResult::kTimedOut;
    DWORD chunk = n < kMaxChunk ? static_cast<DWORD>(n) : kMaxChunk;
    DWORD moved = 0;
    BOOL done = transfer(ToHandle(h), p, chunk, &moved);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (moved > 0) {
      p += moved;
      n -= moved;
      if (limit.idle_ms != 0) wait.Renew(DueTime(limit, GetTickCount64()));
    }
    // A zero-byte success is a zero-length write by the peer: keep waiting. A message-mode
    // server sends the rest of a message after ERROR_MORE_DATA.
    if (done || error == ERROR_MORE_DATA) continue;
    if (error == ERROR_OPERATION_ABORTED) continue;  // cancelled: the marks say why
    return PeerGone(error) ? IoResult::kBroken : IoResult::kFailed;
  }
  return IoResult::kOk;
}

}  // namespace

void SetInterruptCheck(InterruptCheck check) {
  g_interrupt_check.store(check, std::memory_order_release);
  if (check != nullptr && !g_handler_installed.exchange(true)) {
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) g_handler_installed.store(false);
  }
}

// An SRWLOCK is one pointer wide and all zero when free.
static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK fits the Lock");
Lock::Lock() : native_(nullptr) {}
Lock::~Lock() = default;
void Lock::Acquire() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&native_)); }
bool Lock::TryAcquire() {
  return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&native_)) != 0;
}
void Lock::Release() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&native_)); }
void Lock::Reset() { native_ = nullptr; }

void OnForkChild(void (*)()) {}  // no fork on Windows

void PipeWake(PipeHandle h) {
  if (h == kInvalidPipe || h == 0) return;
  {
    Locked lock;
    if (!IsWoken(h)) {
      for (PipeHandle& slot : g_woken) {
        if (slot == 0) {
          slot = h;
          break;
        }
      }
    }
  }
  // A waiter that is past its call sees the mark before its next one; one that was not
  // marked (all slots taken, never in practice) still has its current call cancelled.
  CancelWaits([h](const Waiter& w) { return w.pipe == h; });
}

IoResult PipeWrite(PipeHandle h, const void* src, size_t n, const WaitLimit& limit) {
  auto* p = static_cast<uint8_t*>(const_cast<void*>(src));
  return Move(h, p, n, limit, [](HANDLE file, uint8_t* data, DWORD chunk, DWORD* moved) {
    return WriteFile(file, data, chunk, moved, nullptr);
  });
}

IoResult PipeRead(PipeHandle h, void* dst, size_t n, const WaitLimit& limit) {
  return Move(h, static_cast<uint8_t*>(dst), n, limit,
              [](HANDLE file, uint8_t* data, DWORD chunk, DWORD* moved) {
                return ReadFile(file, data, chunk, moved, nullptr);
              });
}

uint64_t MonotonicMs() { return GetTickCount64(); }

void PipeClose(PipeHandle h) {
  if (h == kInvalidPipe) return;
  {
    // The number may come back for another handle: it starts unwoken.
    Locked lock;
    for (PipeHandle& slot : g_woken) {
      if (slot == h) slot = 0;
    }
  }
  CloseHandle(ToHandle(h));
}

uint32_t PipePlaceProblem(char* why, size_t capacity) {
  if (capacity > 0) why[0] = '\0';
  return 0;  // named pipes need no folder of ours
}

PipeHandle PipeOpen(const char16_t* name, uint32_t* error, const WaitLimit& limit) {
  const wchar_t* wide = Wide(name);
  const WaitLimit deadline{0, limit.deadline, nullptr};
  for (;;) {
    HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      PipeHandle pipe = FromHandle(h);
      if (pipe == kInvalidPipe) {  // cannot happen for a kernel handle; keep the slot honest
        CloseHandle(h);
        *error = ERROR_INVALID_HANDLE;
        return kInvalidPipe;
      }
      return pipe;
    }
    DWORD err = GetLastError();
    if (err != ERROR_PIPE_BUSY) {
      *error = err;
      return kInvalidPipe;
    }
    // Every instance is taken: wait for one, then race for it again. Without a deadline
    // without limit; rounds of at most 100 ms let a cancel flag be seen.
    if (limit.cancelled != nullptr && limit.cancelled->load()) {
      *error = ERROR_PIPE_BUSY;
      return kInvalidPipe;
    }
    const uint64_t left = WaitLeft(deadline, 0, GetTickCount64());
    if (left == 0) {
      *error = kOpenTimedOut;
      return kInvalidPipe;
    }
    DWORD round = NMPWAIT_WAIT_FOREVER;
    if (left != kNoLimit || limit.cancelled != nullptr) {
      uint64_t ms = limit.cancelled != nullptr && left > 100 ? 100 : left;
      round = ms < 0x7FFFFFFF ? static_cast<DWORD>(ms) : 0x7FFFFFFF;
    }
    WaitScope wait(kInvalidPipe, false);
    WaitScope::Mark mark = wait.Take();
    if (mark == WaitScope::Mark::kNone) {
      if (WaitNamedPipeW(wide, round)) continue;
      err = GetLastError();
      if (err == ERROR_SEM_TIMEOUT || err == ERROR_TIMEOUT) continue;  // the round is over
      mark = wait.Take();
    }
    if (mark == WaitScope::Mark::kCtrl || err == ERROR_OPERATION_ABORTED) {
      if (InterruptConfirmed()) {
        *error = kOpenInterrupted;
        return kInvalidPipe;
      }
      continue;
    }
    *error = err;
    return kInvalidPipe;
  }
}

size_t FinalPath(const char16_t* path, char16_t* out, size_t capacity) {
  if (capacity == 0) return 0;
  out[0] = 0;
  WidePath p(path);
  if (!p.ok) return 0;
  Handle file(CreateFileW(p.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return 0;
  DWORD cap = capacity < MAXDWORD ? static_cast<DWORD>(capacity) : MAXDWORD;
  // Flags 0: the normalised name with its drive letter, so the "\\?\" form.
  DWORD n = GetFinalPathNameByHandleW(file.get(), Wide(out), cap, 0);
  if (n == 0 || n >= cap) {  // failed, or the size it would need (terminator included)
    out[0] = 0;
    return 0;
  }
  return n;
}

void LowerCase(char16_t* text, size_t n) {
  while (n > 0) {
    DWORD chunk = n < MAXDWORD ? static_cast<DWORD>(n) : MAXDWORD;
    CharLowerBuffW(Wide(text), chunk);
    text += chunk;
    n -= chunk;
  }
}

bool Sha256(const void* data, size_t n, uint8_t digest[32]) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return false;
  }
  HCRYPTHASH hash = 0;
  bool ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != FALSE;
  const auto* p = static_cast<const BYTE*>(data);
  while (ok && n > 0) {
    DWORD chunk = n < kMaxChunk ? static_cast<DWORD>(n) : kMaxChunk;
    ok = CryptHashData(hash, p, chunk, 0) != FALSE;
    p += chunk;
    n -= chunk;
  }
  DWORD size = 32;
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) != FALSE && size == 32;
  if (hash != 0) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return ok;
}

bool HmacSha256(const void* key, size_t key_bytes, const void* data, size_t n,
                uint8_t mac[32]) {
  if (key_bytes > MAXDWORD) return false;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                  BCRYPT_ALG_HANDLE_HMAC_FLAG) < 0) {
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(alg, &hash, nullptr, 0,
                             static_cast<PUCHAR>(const_cast<void*>(key)),
                             static_cast<ULONG>(key_bytes), 0) >= 0;
  auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
  while (ok && n > 0) {
    ULONG chunk = n < kMaxChunk ? static_cast<ULONG>(n) : kMaxChunk;
    ok = BCryptHashData(hash, p, chunk, 0) >= 0;
    p += chunk;
    n -= chunk;
  }
  ok = ok && BCryptFinishHash(hash, mac, 32, 0) >= 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

bool RandomBytes(void* dst, size_t n) {
  auto* p = static_cast<PUCHAR>(dst);
  while (n > 0) {
    ULONG chunk = n < kMaxChunk ? static_cast<ULONG>(n) : kMaxChunk;
    if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

bool SpawnDetached(const char16_t* path, bool portable) {
  WidePath exe(path);
  if (!exe.ok || exe.text[0] == 0) return false;
  // "\"%s\" /portable" with the caller's path as given, cut to the Terminal's 259 units.
  wchar_t command[259];
  wchar_t* line = nullptr;
  if (portable) {
    constexpr size_t kCap = sizeof command / sizeof command[0];
    size_t used = 0;
    auto put = [&](const wchar_t* s) {
      for (; *s != 0 && used + 1 < kCap; ++s) command[used++] = *s;
    };
    put(L"\"");
    put(Wide(path));
    put(L"\" /portable");
    command[used] = 0;
    line = command;
  }
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = INVALID_HANDLE_VALUE;
  startup.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  if (!CreateProcessW(exe.text, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  // The Terminal runs on by itself; we keep no hold on it.
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool RoamingAppData(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  PWSTR folder = nullptr;
  HRESULT hr = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder);
  bool ok = SUCCEEDED(hr) && folder != nullptr && folder[0] != 0;
  if (ok) {
    size_t n = 0;
    while (folder[n] != 0) ++n;
    ok = n < capacity;
    if (ok) std::memcpy(out, folder, (n + 1) * sizeof(wchar_t));
  }
  CoTaskMemFree(folder);  // also after a failure, which may still have allocated
  return ok;
}

bool PathExists(const char16_t* path) {
  WidePath p(path);
  return p.ok && GetFileAttributesW(p.text) != INVALID_FILE_ATTRIBUTES;
}

bool LastWriteTime(const char16_t* path, uint64_t* time) {
  WidePath p(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!p.ok || !GetFileAttributesExW(p.text, GetFileExInfoStandard, &data)) return false;
  // The file time itself (100 ns since 1601): unsigned and ordered as it is.
  *time = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool ListDirectory(const char16_t* dir, DirVisitor visit, void* context) {
  WidePath p(dir);
  if (!p.ok) return false;
  size_t n = 0;
  while (p.text[n] != 0) ++n;
  // Room for "\*" and the terminator.
  if (n + 3 > WidePath::kUnits) return false;
  if (n == 0 || p.text[n - 1] != L'\\') p.text[n++] = L'\\';
  p.text[n++] = L'*';
  p.text[n] = 0;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(p.text, &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const wchar_t* name = entry.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    bool is_directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!visit(reinterpret_cast<const char16_t*>(name), is_directory, context)) break;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return true;
}

bool ReadFileHead(const char16_t* path, void* dst, size_t max, size_t* got) {
  *got = 0;
  WidePath p(path);
  if (!p.ok) return false;
  Handle file(CreateFileW(p.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return false;
  // Only files on disk: a pipe or a device in its place could block.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  auto* out = static_cast<uint8_t*>(dst);
  while (*got < max) {
    size_t want = max - *got;
    DWORD chunk = want < kMaxChunk ? static_cast<DWORD>(want) : kMaxChunk;
    DWORD n = 0;
    if (!ReadFile(file.get(), out + *got, chunk, &n, nullptr) || n == 0) break;
    *got += n;
  }
  return true;
}

bool ParentImagePath(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  {
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == self) {
        parent = entry.th32ParentProcessID;
        break;
      }
    }
  }
  if (parent == 0) return false;
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent));
  if (!process.valid()) return false;
  DWORD size = capacity < MAXDWORD ? static_cast<DWORD>(capacity) : MAXDWORD;
  if (!QueryFullProcessImageNameW(process.get(), 0, Wide(out), &size) || size == 0 ||
      size >= capacity) {
    out[0] = 0;
    return false;
  }
  return true;
}

bool InterruptRequested() {
  InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire);
  return check != nullptr && check();
}

bool SleepMs(uint32_t ms) {
  if (g_interrupt_check.load(std::memory_order_acquire) == nullptr) {
    Sleep(ms);  // nothing could end the sleep early
    return true;
  }
  WaitScope wait(kInvalidPipe, true);
  ULONGLONG start = GetTickCount64();
  for (;;) {
    if (wait.Take() == WaitScope::Mark::kCtrl && InterruptConfirmed()) return false;
    ULONGLONG spent = GetTickCount64() - start;
    if (spent >= ms) return true;
    DWORD left = static_cast<DWORD>(ms - spent);
    if (wait.event() == nullptr) {
      Sleep(left);  // no event to be woken by: sleep plainly
      return true;
    }
    if (WaitForSingleObject(wait.event(), left) == WAIT_OBJECT_0) ResetEvent(wait.event());
  }
}

size_t TextLength(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace orbisyn::platform
