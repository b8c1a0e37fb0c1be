// Operating-system services used by the Terminal link. One implementation file per
// platform (posix.cpp, windows.cpp); the rest of the extension never calls the OS directly.
// Where a contract names POSIX details, windows.cpp does what the Windows calls do: the
// error numbers are GetLastError values (2 for a missing pipe), times are file times.
//
// Text crossing this interface is UTF-16 (char16_t units, NUL-terminated unless a length
// is given); implementations convert to the platform's file-system encoding themselves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#ifndef _WIN32
#include <pthread.h>
#endif

namespace orbisyn::platform {

// Between the folders of a path.
#ifdef _WIN32
constexpr char16_t kPathSeparator = u'\\';
#else
constexpr char16_t kPathSeparator = u'/';
#endif

// A plain lock: no exceptions, no recursion, usable from static initialisation.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Acquire();
  bool TryAcquire();
  void Release();
  // In a forked child: free again, whatever thread of the parent held it.
  void Reset();

 private:
#ifdef _WIN32
  void* native_;  // an SRWLOCK
#else
  pthread_mutex_t native_;
#endif
};

// Holds a Lock for its scope.
class Hold {
 public:
  explicit Hold(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~Hold() { lock_.Release(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Lock& lock_;
};

// A pipe handle; kInvalidPipe means "no link".
using PipeHandle = int;
constexpr PipeHandle kInvalidPipe = -1;

enum class IoResult {
  kOk,           // every byte moved
  kBroken,       // the peer has gone (end of stream, EPIPE, ECONNRESET) or PipeWake was
                 // called: the caller must close
  kFailed,       // any other failure; the handle stays usable
  kInterrupted,  // the interrupt check asked to stop: the stream is out of step, close it
  kTimedOut,     // the wait limit ran out first: the stream is out of step, close it
};

// Milliseconds of a clock that never goes back; only differences mean anything.
uint64_t MonotonicMs();

// How long a wait may last. Zero fields set no limit, so WaitLimit() waits without end.
struct WaitLimit {
  // A transfer fails (kTimedOut) when no byte has moved for this long.
  uint32_t idle_ms = 0;
  // The MonotonicMs() by which every wait must be over, progress or not.
  uint64_t deadline = 0;
  // Waits that run in rounds (the busy pipe) give up once this turns true.
  const std::atomic<bool>* cancelled = nullptr;
};

// Milliseconds a wait may still last under limit when the last byte moved at `since`
// (a MonotonicMs value): kNoLimit when unlimited, 0 once over.
constexpr uint64_t kNoLimit = UINT64_MAX;
inline uint64_t WaitLeft(const WaitLimit& limit, uint64_t since, uint64_t now) {
  uint64_t left = kNoLimit;
  if (limit.idle_ms != 0) left = since + limit.idle_ms > now ? since + limit.idle_ms - now : 0;
  if (limit.deadline != 0) {
    uint64_t to_deadline = limit.deadline > now ? limit.deadline - now : 0;
    if (to_deadline < left) left = to_deadline;
  }
  return left;
}

// Asked on the waiting thread when a wait was interrupted (a signal on POSIX, Ctrl-C on
// Windows) and between the sleeps of a poll; true ends the wait. The extension installs
// one at start-up; without one no wait ends early. Must be safe to call from any thread.
using InterruptCheck = bool (*)();
void SetInterruptCheck(InterruptCheck check);

// Asks the installed interrupt check now, outside any wait: false without one. Polls call
// it between their rounds, so that a signal that came between two waits is not missed.
bool InterruptRequested();

// From any thread: every current and later PipeRead and PipeWrite on h returns kBroken
// promptly. h stays valid; the thread that uses it still closes it with PipeClose.
void PipeWake(PipeHandle h);

// Runs fn in the child process after every fork (before anything else there); at most
// a few registrations. Nothing to do where there is no fork.
void OnForkChild(void (*fn)());

// The *error of a PipeOpen that the interrupt check ended while it waited for a busy pipe.
constexpr uint32_t kOpenInterrupted = 0xFFFFFFFFu;
// The *error of a PipeOpen whose wait for a busy pipe reached the limit's deadline.
constexpr uint32_t kOpenTimedOut = 0xFFFFFFFEu;

// Sends all n bytes (looping over partial sends; on EINTR asks the interrupt check, then
// retries) without raising SIGPIPE. kTimedOut when limit runs out first.
IoResult PipeWrite(PipeHandle h, const void* src, size_t n, const WaitLimit& limit = WaitLimit());

// Receives exactly n bytes (on EINTR asks the interrupt check, then retries). End of stream
// before n bytes is kBroken; kTimedOut when limit runs out first.
IoResult PipeRead(PipeHandle h, void* dst, size_t n, const WaitLimit& limit = WaitLimit());

// Closes h (ignores kInvalidPipe).
void PipeClose(PipeHandle h);

// Opens the pipe named "\\.\pipe\NAME" (UTF-16, NUL-terminated). Waits while the pipe is
// busy, until limit's deadline (*error = kOpenTimedOut) or its cancel flag (*error = the
// busy pipe's error number), unless the interrupt check ends the wait first
// (*error = kOpenInterrupted).
// On success returns the handle (close-on-exec); on failure returns kInvalidPipe and stores the system error number in *error: ENOENT or ECONNREFUSED for a
// missing pipe (also when the socket directory is missing), EACCES for a socket directory
// that is not private, EINVAL for a name without the prefix, ENAMETOOLONG for a socket
// path the system cannot address.
PipeHandle PipeOpen(const char16_t* name, uint32_t* error, const WaitLimit& limit = WaitLimit());

// When no pipe of this user can be opened here, whatever runs (POSIX: no private folder
// for the sockets, or none short enough), writes why (UTF-8) and returns the error number
// PipeOpen fails with; 0 when nothing stands in the way (always on Windows).
uint32_t PipePlaceProblem(char* why, size_t capacity);

// Final (normalised) path of an existing file into out (capacity units including the
// terminator). Returns the length in units, or 0 (out empty) when the file cannot be
// resolved or the result needs capacity units or more: to accept results of up to 260
// units, pass capacity 261.
size_t FinalPath(const char16_t* path, char16_t* out, size_t capacity);

// Lower-cases n UTF-16 units in place by the simple one-to-one mapping; surrogates stay.
void LowerCase(char16_t* text, size_t n);

// SHA-256 of n bytes. Returns false when the cryptographic library fails.
bool Sha256(const void* data, size_t n, uint8_t digest[32]);

// HMAC-SHA-256 of n bytes under a key of key_bytes. Returns false when the cryptographic
// library fails.
bool HmacSha256(const void* key, size_t key_bytes, const void* data, size_t n,
                uint8_t mac[32]);

// n bytes from the system's cryptographic random generator; false when it fails.
bool RandomBytes(void* dst, size_t n);

// Starts the program at path detached from this process (own session, standard streams on
// /dev/null, no other inherited descriptors, the caller's environment and working
// directory), with "/portable" as its only argument when portable is set. The program is
// never a child of this process, so nothing is left to reap. Returns false when it could
// not start (missing file, no execute permission, not an executable).
bool SpawnDetached(const char16_t* path, bool portable);

// Roaming application-data folder into out ($XDG_DATA_HOME when absolute, else
// $HOME/.local/share). Returns false when there is none or it does not fit.
bool RoamingAppData(char16_t* out, size_t capacity);

// True when path exists (stat succeeds).
bool PathExists(const char16_t* path);

// Last-write time as an ordered 64-bit value (0 for times before 1970). False when the
// path does not exist.
bool LastWriteTime(const char16_t* path, uint64_t* time);

// Calls visit(name, is_directory, context) for every entry of the directory except "." and
// "..", in the order the file system returns them, until visit returns false.
// is_directory follows symbolic links. Returns false when the directory cannot be opened.
using DirVisitor = bool (*)(const char16_t* name, bool is_directory, void* context);
bool ListDirectory(const char16_t* dir, DirVisitor visit, void* context);

// Reads up to max bytes from the start of a regular file. Returns false when it cannot be
// opened or is not a regular file (a FIFO never blocks here); *got receives the number of
// bytes read, which may be short when a read fails after the open.
bool ReadFileHead(const char16_t* path, void* dst, size_t max, size_t* got);

// Executable image of this process's parent, into out. Returns false when unknown or when
// it needs capacity units or more.
bool ParentImagePath(char16_t* out, size_t capacity);

// Sleeps ms milliseconds, also when signals arrive, unless the interrupt check asks to
// stop: then returns false at once.
bool SleepMs(uint32_t ms);

// Number of UTF-16 units before the terminator.
size_t TextLength(const char16_t* text);

}  // namespace orbisyn::platform
