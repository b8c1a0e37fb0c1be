// POSIX implementation of the platform layer: named pipes are Unix-domain stream
// sockets, paths cross the boundary as UTF-8.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/text.h"
#include "platform/platform.h"
#include "platform/posix_detail.h"
#include "platform/wine.h"

extern char** environ;

namespace orbisyn::platform {
namespace {

// A UTF-8 path on the stack. Longer paths than PATH_MAX cannot be opened anyway.
struct Utf8Path {
  char bytes[PATH_MAX];
  bool ok;
  explicit Utf8Path(const char16_t* path)
      : ok(Utf16ToUtf8(path, TextLength(path), bytes, sizeof bytes) != SIZE_MAX) {}
};

// Closes a descriptor on every path out of a scope unless released.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::atomic<InterruptCheck> g_interrupt_check{nullptr};

// True when a wait interrupted by a signal must end.
bool StopWaiting() {
  InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire);
  return check != nullptr && check();
}

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr size_t kPipePrefixUnits = sizeof kPipePrefix / sizeof kPipePrefix[0] - 1;

// Path of the socket standing for "\\.\pipe\NAME"; 0 or an errno value.
int SocketPath(const char16_t* name, sockaddr_un* addr) {
  for (size_t i = 0; i < kPipePrefixUnits; ++i) {
    if (name[i] != kPipePrefix[i]) return EINVAL;
  }
  const char16_t* leaf = name + kPipePrefixUnits;
  size_t units = TextLength(leaf);
  if (units == 0) return EINVAL;
  for (size_t i = 0; i < units; ++i) {
    if (leaf[i] == u'/') return EINVAL;
  }
  char dir[PATH_MAX];
  int err = posix_detail::SocketDirectory(dir, sizeof dir);
  // A missing folder holds no socket: connect() then fails as for a missing pipe.
  if (err != 0 && err != ENOENT) return err;
  char leaf8[PATH_MAX];
  if (Utf16ToUtf8(leaf, units, leaf8, sizeof leaf8) == SIZE_MAX) return ENAMETOOLONG;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  int n = std::snprintf(addr->sun_path, sizeof addr->sun_path, "%s/%s", dir, leaf8);
  if (n < 0 || static_cast<size_t>(n) >= sizeof addr->sun_path) return ENAMETOOLONG;
  return 0;
}

}  // namespace

namespace {

bool Fits(int n, size_t capacity) { return n >= 0 && static_cast<size_t>(n) < capacity; }

// Copies a folder's path without trailing slashes: lstat("link/") would follow the link.
bool CopyFolder(const char* path, char* out, size_t capacity) {
  size_t n = std::strlen(path);
  while (n > 1 && path[n - 1] == '/') --n;
  if (n >= capacity) return false;
  std::memcpy(out, path, n);
  out[n] = '\0';
  return true;
}

// A temporary folder in which nobody else can move our folder aside: this user's or
// root's, and writable by nobody else unless sticky (as /tmp is).
bool TrustedBase(const char* dir) {
  struct stat st;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != getuid() && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// The folder the fallback folders go into: $TMPDIR when it is absolute, trusted and short
// enough for the sockets of the last alternative, else /tmp.
void TempBase(char* out, size_t capacity, unsigned uid) {
  const char* tmp = std::getenv("TMPDIR");
  char longest[64];
  int n = std::snprintf(longest, sizeof longest, "/orbisyn-%u-%u/", uid,
                        posix_detail::kFallbackAlternatives);
  if (tmp != nullptr && tmp[0] == '/' && CopyFolder(tmp, out, capacity) &&
      std::strlen(out) + static_cast<size_t>(n) + posix_detail::kPipeLeafBytes <=
          posix_detail::kSocketPathBytes &&
      TrustedBase(out)) {
    if (std::strcmp(out, "/") == 0) out[0] = '\0';
    return;
  }
  std::snprintf(out, capacity, "/tmp");
}

}  // namespace

namespace posix_detail {

int SocketDirectory(char* out, size_t capacity) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  // Used only when it is private: a shared folder there would let others plant sockets
  // and records (su and sudo also pass on the runtime folder of another user).
  if (runtime != nullptr && runtime[0] == '/') {
    if (!CopyFolder(runtime, out, capacity)) return ENAMETOOLONG;
    if (CheckPrivateDirectory(out) == 0) return 0;
  }
  // Another user may have made BASE/orbisyn-UID first: its alternatives follow. Ours,
  // where one exists, wins over a missing one, so that a folder that frees up later does
  // not split the processes between two folders.
  const unsigned uid = static_cast<unsigned>(getuid());
  char base[PATH_MAX];
  TempBase(base, sizeof base, uid);
  char candidate[PATH_MAX], missing[PATH_MAX] = "";
  for (unsigned i = 0; i <= kFallbackAlternatives; ++i) {
    int n = i == 0 ? std::snprintf(candidate, sizeof candidate, "%s/orbisyn-%u", base, uid)
                   : std::snprintf(candidate, sizeof candidate, "%s/orbisyn-%u-%u", base, uid, i);
    if (!Fits(n, sizeof candidate) || !Fits(n, capacity)) return ENAMETOOLONG;
    int state = CheckPrivateDirectory(candidate);
    if (state == 0) {
      std::memcpy(out, candidate, static_cast<size_t>(n) + 1);
      return 0;
    }
    if (state == ENOENT && missing[0] == '\0') std::memcpy(missing, candidate, static_cast<size_t>(n) + 1);
  }
  if (missing[0] != '\0') {
    std::memcpy(out, missing, std::strlen(missing) + 1);
    return ENOENT;
  }
  std::snprintf(out, capacity, "%s/orbisyn-%u", base, uid);
  return EACCES;
}

int CheckPrivateDirectory(const char* dir) {
  // lstat: a symlink planted in /tmp must not redirect us. /tmp is sticky, so once the
  // directory is ours nobody else can swap it between this check and connect().
  struct stat st;
  if (lstat(dir, &st) != 0) return errno == ENOENT ? ENOENT : EACCES;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return EACCES;
  }
  return 0;
}

int SocketFolderProblem(char* why, size_t capacity) {
  char dir[PATH_MAX];
  int err = SocketDirectory(dir, sizeof dir);
  const size_t deepest = kSocketPathBytes - kPipeLeafBytes - 1;
  if (err == EACCES) {
    std::snprintf(why, capacity,
                  "no private folder for the Terminal's socket: %s and %s-1 to -%u belong to "
                  "another user or others can write to them; set XDG_RUNTIME_DIR to a folder "
                  "of yours with mode 0700 and a path of at most %zu bytes, or have those "
                  "folders removed",
                  dir, dir, kFallbackAlternatives, deepest);
    return EACCES;
  }
  if (err == ENAMETOOLONG || std::strlen(dir) > deepest) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::snprintf(why, capacity,
                  "the Terminal's socket in %.300s would be longer than %zu bytes; set "
                  "XDG_RUNTIME_DIR to a folder with a path of at most %zu bytes",
                  err == ENAMETOOLONG && runtime != nullptr ? runtime : dir, kSocketPathBytes,
                  deepest);
    return ENAMETOOLONG;
  }
  return 0;
}

}  // namespace posix_detail

uint32_t PipePlaceProblem(char* why, size_t capacity) {
  return static_cast<uint32_t>(posix_detail::SocketFolderProblem(why, capacity));
}

namespace {

// Waits until h is ready for events (POLLIN or POLLOUT) or until limit runs out, counting
// idle time from `since`. kOk when a transfer may go on (also when the peer has gone: the
// transfer itself finds out).
IoResult AwaitReady(PipeHandle h, short events, const WaitLimit& limit, uint64_t since) {
  for (;;) {
    uint64_t left = WaitLeft(limit, since, MonotonicMs());
    if (left == 0) return IoResult::kTimedOut;
    pollfd p{h, events, 0};
    // At most a minute per round: poll takes an int, and the limit is rechecked anyway.
    int n = poll(&p, 1, left < 60000 ? static_cast<int>(left) : 60000);
    if (n > 0) return IoResult::kOk;
    if (n < 0) {
      if (errno != EINTR) return IoResult::kFailed;
      if (StopWaiting()) return IoResult::kInterrupted;
    }
  }
}

bool Limited(const WaitLimit& limit) { return limit.idle_ms != 0 || limit.deadline != 0; }

}  // namespace

IoResult PipeWrite(PipeHandle h, const void* src, size_t n, const WaitLimit& limit) {
  const auto* p = static_cast<const char*>(src);
  // Without a limit the send blocks; with one it never does, and poll does the waiting.
  const bool limited = Limited(limit);
  const int flags = MSG_NOSIGNAL | (limited ? MSG_DONTWAIT : 0);
  uint64_t since = limited ? MonotonicMs() : 0;
  while (n > 0) {
    ssize_t sent = send(h, p, n, flags);
    if (sent < 0) {
      if (errno == EINTR) {
        if (StopWaiting()) return IoResult::kInterrupted;
        continue;
      }
      if (limited && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        IoResult r = AwaitReady(h, POLLOUT, limit, since);
        if (r != IoResult::kOk) return r;
        continue;
      }
      return (errno == EPIPE || errno == ECONNRESET) ? IoResult::kBroken : IoResult::kFailed;
    }
    if (sent == 0) return IoResult::kBroken;  // a stream socket never does this while alive
    p += sent;
    n -= static_cast<size_t>(sent);
    if (limited) since = MonotonicMs();
  }
  return IoResult::kOk;
}

IoResult PipeRead(PipeHandle h, void* dst, size_t n, const WaitLimit& limit) {
  auto* p = static_cast<char*>(dst);
  const bool limited = Limited(limit);
  const int flags = limited ? MSG_DONTWAIT : 0;
  uint64_t since = limited ? MonotonicMs() : 0;
  while (n > 0) {
    ssize_t got = recv(h, p, n, flags);
    if (got < 0) {
      if (errno == EINTR) {
        if (StopWaiting()) return IoResult::kInterrupted;
        continue;
      }
      if (limited && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        IoResult r = AwaitReady(h, POLLIN, limit, since);
        if (r != IoResult::kOk) return r;
        continue;
      }
      return errno == ECONNRESET ? IoResult::kBroken : IoResult::kFailed;
    }
    if (got == 0) return IoResult::kBroken;
    p += got;
    n -= static_cast<size_t>(got);
    if (limited) since = MonotonicMs();
  }
  return IoResult::kOk;
}

bool InterruptRequested() { return StopWaiting(); }

void SetInterruptCheck(InterruptCheck check) {
  g_interrupt_check.store(check, std::memory_order_release);
}

Lock::Lock() { pthread_mutex_init(&native_, nullptr); }
Lock::~Lock() { pthread_mutex_destroy(&native_); }
void Lock::Acquire() { pthread_mutex_lock(&native_); }
bool Lock::TryAcquire() { return pthread_mutex_trylock(&native_) == 0; }
void Lock::Release() { pthread_mutex_unlock(&native_); }
void Lock::Reset() { pthread_mutex_init(&native_, nullptr); }

void OnForkChild(void (*fn)()) { pthread_atfork(nullptr, nullptr, fn); }

void PipeWake(PipeHandle h) {
  // Ends blocked and later transfers in every thread (recv sees end of stream, send EPIPE)
  // while the descriptor number stays ours, so it cannot be reused under the waiter.
  if (h != kInvalidPipe) shutdown(h, SHUT_RDWR);
}

void PipeClose(PipeHandle h) {
  if (h != kInvalidPipe) close(h);  // no retry on EINTR: Linux has released the fd already
}

PipeHandle PipeOpen(const char16_t* name, uint32_t* error, const WaitLimit& limit) {
  sockaddr_un addr;
  int err = SocketPath(name, &addr);
  if (err != 0) {
    *error = static_cast<uint32_t>(err);
    return kInvalidPipe;
  }
  for (;;) {
    // A fresh socket per attempt: after a failed connect() its state is unspecified.
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
      *error = static_cast<uint32_t>(errno);
      return kInvalidPipe;
    }
    // A full listen queue (the busy pipe) makes connect() wait for a free slot, without
    // end unless the socket's send timeout bounds it: then it fails with EAGAIN. Rounds
    // of at most 100 ms let a cancel flag be seen. Past the deadline one attempt is still
    // made, one that does not wait.
    const uint64_t left = WaitLeft(WaitLimit{0, limit.deadline, nullptr}, 0, MonotonicMs());
    const bool rounds = left != kNoLimit || limit.cancelled != nullptr;
    if (rounds) {
      uint64_t round = left == 0 ? 1 : limit.cancelled != nullptr && left > 100 ? 100 : left;
      timeval tv{static_cast<time_t>(round / 1000), static_cast<suseconds_t>(round % 1000 * 1000)};
      setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      if (rounds) {
        timeval none{0, 0};  // transfers wait by their own limits
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
      }
      return fd.release();
    }
    err = errno;
    if (err == EINTR || err == EAGAIN) {
      if (err == EINTR && StopWaiting()) {
        *error = kOpenInterrupted;
        return kInvalidPipe;
      }
      if (limit.cancelled != nullptr && limit.cancelled->load()) {
        *error = static_cast<uint32_t>(EAGAIN);
        return kInvalidPipe;
      }
      if (left == 0) {
        *error = kOpenTimedOut;
        return kInvalidPipe;
      }
      if (err == EAGAIN && !rounds && !SleepMs(10)) {  // not bounded by a timeout: pace it
        *error = kOpenInterrupted;
        return kInvalidPipe;
      }
      continue;
    }
    *error = static_cast<uint32_t>(err);
    return kInvalidPipe;
  }
}

size_t FinalPath(const char16_t* path, char16_t* out, size_t capacity) {
  if (capacity == 0) return 0;
  out[0] = 0;
  Utf8Path p(path);
  char real[PATH_MAX];
  if (!p.ok || realpath(p.bytes, real) == nullptr) return 0;
  size_t units = Utf8ToUtf16(real, out, capacity);
  if (units == SIZE_MAX) {
    out[0] = 0;
    return 0;
  }
  return units;
}

void LowerCase(char16_t* text, size_t n) {
  // Made once and kept for the life of the process; newlocale is thread-safe here
  // because the static initialisation is.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  for (size_t i = 0; i < n; ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') {
      text[i] = static_cast<char16_t>(c + 32);
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF) && utf8 != static_cast<locale_t>(0)) {
      wint_t lower = towlower_l(static_cast<wint_t>(c), utf8);
      if (lower != 0 && lower <= 0xFFFF && (lower < 0xD800 || lower > 0xDFFF)) {
        text[i] = static_cast<char16_t>(lower);
      }
    }
  }
}

bool Sha256(const void* data, size_t n, uint8_t digest[32]) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  unsigned int len = 0;
  bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
            EVP_DigestUpdate(ctx, data, n) == 1 && EVP_DigestFinal_ex(ctx, digest, &len) == 1 &&
            len == 32;
  EVP_MD_CTX_free(ctx);
  return ok;
}

bool HmacSha256(const void* key, size_t key_bytes, const void* data, size_t n,
                uint8_t mac[32]) {
  if (key_bytes > static_cast<size_t>(INT_MAX)) return false;
  unsigned int len = 0;
  return HMAC(EVP_sha256(), key, static_cast<int>(key_bytes),
              static_cast<const unsigned char*>(data), n, mac, &len) != nullptr &&
         len == 32;
}

bool RandomBytes(void* dst, size_t n) {
  auto* p = static_cast<unsigned char*>(dst);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

namespace {

// The Terminal is started by a short-lived intermediate process so that it is never our
// child: nothing has to reap it later, and the intermediate exits as soon as the exec
// has succeeded or failed. The intermediate is a vfork-style clone sharing our memory
// (no copy of the Python process's page tables, no fork handlers); it only calls
// posix_spawn, which reports exec failures exactly, and leaves the result here.
struct SpawnJob {
  const char* path;
  char* const* argv;
  char* const* envp;
  const posix_spawn_file_actions_t* actions;
  const posix_spawnattr_t* attr;
  int result;
  pid_t pid;
};

// Runs on its own small stack; keep sanitizer bookkeeping for our stack out of it.
__attribute__((no_sanitize("address"))) int SpawnIntermediate(void* arg) {
  auto* job = static_cast<SpawnJob*>(arg);
  job->result = posix_spawn(&job->pid, job->path, job->actions, job->attr, job->argv, job->envp);
  _exit(0);
}

}  // namespace

namespace {

// posix_spawn through the intermediate above, with the file actions given; the program
// runs in its own session with the caller's signal mask. False with errno set; *pid (when
// given) is the program's process.
bool SpawnVia(const char* path, char* const* argv, char* const* envp,
              posix_spawn_file_actions_t* actions, pid_t* pid = nullptr) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return false;
  sigset_t all, caller;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, nullptr, &caller);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK;
  bool ready =
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
      // Like a process created without handle inheritance: only the three streams.
      posix_spawn_file_actions_addclosefrom_np(actions, 3) == 0 &&
#endif
      posix_spawnattr_setflags(&attr, flags) == 0 &&
      // The intermediate runs with every signal blocked; the program gets the caller's mask.
      posix_spawnattr_setsigmask(&attr, &caller) == 0;

  bool started = false;
  constexpr size_t kStackBytes = 256 * 1024;
  void* stack = ready ? mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)
                      : MAP_FAILED;
  if (stack != MAP_FAILED) {
    SpawnJob job{path, argv, envp, actions, &attr, -1, 0};
    // Blocked around the clone so that no handler of ours runs inside the intermediate
    // (it shares our memory); restored at once, the dispositions are never touched.
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    pid_t mid = clone(SpawnIntermediate, static_cast<char*>(stack) + kStackBytes,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &job);
    int clone_errno = errno;
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    if (mid > 0) {
      // CLONE_VFORK: the intermediate has exited by now, so this does not wait.
      while (waitpid(mid, nullptr, 0) < 0 && errno == EINTR) {
      }
      started = job.result == 0;
      if (!started) errno = job.result;
      if (started && pid != nullptr) *pid = job.pid;
    } else {
      errno = clone_errno;
    }
    munmap(stack, kStackBytes);
  }
  int saved = errno;
  posix_spawnattr_destroy(&attr);
  errno = saved;
  return started;
}

}  // namespace

bool SpawnDetached(const char16_t* path, bool portable) {
  Utf8Path exe(path);
  if (!exe.ok || exe.bytes[0] == '\0') return false;
  char portable_arg[] = "/portable";
  char* argv[3] = {exe.bytes, portable ? portable_arg : nullptr, nullptr};

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  bool started =
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0 &&
      SpawnVia(exe.bytes, argv, environ, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

bool RoamingAppData(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  char folder[PATH_MAX];
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  int n;
  if (data != nullptr && data[0] == '/') {
    n = std::snprintf(folder, sizeof folder, "%s", data);
  } else if (home != nullptr && home[0] != '\0') {
    n = std::snprintf(folder, sizeof folder, "%s/.local/share", home);
  } else {
    return false;
  }
  if (n < 0 || static_cast<size_t>(n) >= sizeof folder) return false;
  if (Utf8ToUtf16(folder, out, capacity) == SIZE_MAX) {
    out[0] = 0;
    return false;
  }
  return true;
}

bool PathExists(const char16_t* path) {
  Utf8Path p(path);
  struct stat st;
  return p.ok && stat(p.bytes, &st) == 0;
}

bool LastWriteTime(const char16_t* path, uint64_t* time) {
  Utf8Path p(path);
  struct stat st;
  if (!p.ok || stat(p.bytes, &st) != 0) return false;
  if (st.st_mtim.tv_sec < 0) {
    *time = 0;
  } else {
    *time = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
            static_cast<uint64_t>(st.st_mtim.tv_nsec);
  }
  return true;
}

bool ListDirectory(const char16_t* dir, DirVisitor visit, void* context) {
  Utf8Path p(dir);
  if (!p.ok) return false;
  DIR* d = opendir(p.bytes);
  if (d == nullptr) return false;
  for (;;) {
    const dirent* entry = readdir(d);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    char16_t name16[NAME_MAX + 1];
    if (Utf8ToUtf16(name, name16, NAME_MAX + 1) == SIZE_MAX) continue;
    struct stat st;
    bool is_directory = fstatat(dirfd(d), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    if (!visit(name16, is_directory, context)) break;
  }
  closedir(d);
  return true;
}

bool ReadFileHead(const char16_t* path, void* dst, size_t max, size_t* got) {
  *got = 0;
  Utf8Path p(path);
  if (!p.ok) return false;
  // O_NONBLOCK so that a FIFO in its place cannot hang us; only regular files count.
  Fd fd(open(p.bytes, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  auto* out = static_cast<char*>(dst);
  while (*got < max) {
    ssize_t n = read(fd.get(), out + *got, max - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // opened but unreadable: the caller sees what arrived
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

bool ParentImagePath(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  pid_t parent = getppid();
  if (parent <= 0) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(parent));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return false;  // none, or cut
  target[n] = '\0';
  if (Utf8ToUtf16(target, out, capacity) == SIZE_MAX) {
    out[0] = 0;
    return false;
  }
  return true;
}

bool SleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    if (StopWaiting()) return false;
  }
  return true;
}

size_t TextLength(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}


// ---- The road to a Terminal under Wine ---------------------------------------------------

PipeHandle LoopbackConnect(uint16_t port, uint32_t* error) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    *error = static_cast<uint32_t>(errno);
    return kInvalidPipe;
  }
  // Request and reply are small and strictly alternate: Nagle would hold each one back.
  int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    // Interrupted, the connection still completes in the background: wait for it.
    if (errno != EINTR) {
      *error = static_cast<uint32_t>(errno);
      return kInvalidPipe;
    }
    if (StopWaiting()) {
      *error = kOpenInterrupted;
      return kInvalidPipe;
    }
    pollfd p{fd.get(), POLLOUT, 0};
    while (poll(&p, 1, -1) < 0) {
      if (errno != EINTR || StopWaiting()) {
        *error = errno == EINTR ? kOpenInterrupted : static_cast<uint32_t>(errno);
        return kInvalidPipe;
      }
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      *error = static_cast<uint32_t>(so_error);
      return kInvalidPipe;
    }
    break;
  }
  return fd.release();
}

namespace posix_detail {

bool SpawnWithOutput(const char* const* argv, const char* const* env, const char* log_path,
                     const void* input, size_t input_bytes, int* output, pid_t* pid) {
  // The environment: the caller's, each entry of env replacing one of the same name.
  size_t ours = 0, theirs = 0;
  while (env[ours]) ++ours;
  while (environ[theirs]) ++theirs;
  char** envp = static_cast<char**>(std::calloc(ours + theirs + 1, sizeof(char*)));
  if (envp == nullptr) return false;
  size_t used = 0;
  for (size_t i = 0; i < theirs; ++i) {
    const char* eq = std::strchr(environ[i], '=');
    const size_t name = eq ? static_cast<size_t>(eq - environ[i]) : std::strlen(environ[i]);
    bool replaced = false;
    for (size_t j = 0; j < ours && !replaced; ++j) {
      replaced = std::strncmp(env[j], environ[i], name) == 0 && env[j][name] == '=';
    }
    if (!replaced) envp[used++] = environ[i];
  }
  for (size_t j = 0; j < ours; ++j) envp[used++] = const_cast<char*>(env[j]);

  int out[2], in[2] = {-1, -1};
  bool started = false;
  int saved = 0;
  // The input is in the pipe, and its writing end closed, before the program exists: it
  // reads it, then the end, and no other process ever holds the writing end.
  bool fed = false;
  if (input_bytes > PIPE_BUF) {
    saved = EINVAL;
  } else if (pipe2(in, O_CLOEXEC) != 0) {
    saved = errno;
  } else {
    fed = write(in[1], input, input_bytes) == static_cast<ssize_t>(input_bytes);
    if (!fed) saved = errno != 0 ? errno : EIO;
    close(in[1]);
  }
  if (fed && pipe2(out, O_CLOEXEC) != 0) saved = errno;
  if (saved == 0) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) == 0) {
      started =
          posix_spawn_file_actions_adddup2(&actions, in[0], 0) == 0 &&
          posix_spawn_file_actions_adddup2(&actions, out[1], 1) == 0 &&
          posix_spawn_file_actions_addopen(&actions, 2, log_path,
                                           O_WRONLY | O_CREAT | O_APPEND, 0600) == 0 &&
          // Long-lived: it must not keep the caller's folder busy.
          posix_spawn_file_actions_addchdir_np(&actions, "/") == 0 &&
          SpawnVia(argv[0], const_cast<char* const*>(argv), envp, &actions, pid);
      saved = errno;
      posix_spawn_file_actions_destroy(&actions);
    } else {
      saved = errno;
    }
    close(out[1]);
    if (started) {
      *output = out[0];
    } else {
      close(out[0]);
    }
  }
  if (in[0] >= 0) close(in[0]);
  std::free(envp);
  errno = saved;
  return started;
}

int WaitReadable(int fd, uint32_t ms) {
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(ms > INT_MAX ? INT_MAX : ms));
  if (r < 0) return errno == EINTR ? (StopWaiting() ? -2 : 0) : -1;
  return r > 0 ? 1 : 0;
}

bool ModuleFolder(char* out, size_t capacity) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr)
    return false;
  char real[PATH_MAX];
  if (realpath(info.dli_fname, real) == nullptr) return false;
  char* slash = std::strrchr(real, '/');
  if (slash == nullptr) return false;
  *slash = '\0';
  int n = std::snprintf(out, capacity, "%s", real);
  return n >= 0 && static_cast<size_t>(n) < capacity;
}

}  // namespace posix_detail

uint64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace orbisyn::platform
