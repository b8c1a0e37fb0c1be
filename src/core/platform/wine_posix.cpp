// Terminals inside Wine prefixes, seen from POSIX: which paths name one, and the relay
// that carries its pipe over loopback TCP.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/compat.h"
#include "platform/platform.h"
#include "platform/posix_detail.h"
#include "platform/text.h"
#include "platform/wine.h"

namespace orbisyn::platform {
namespace {

using posix_detail::ModuleFolder;
using posix_detail::SpawnWithOutput;
using posix_detail::WaitReadable;

constexpr char kRelayName[] = "orbisyn-relay.exe";

// snprintf that says whether the whole text fit.
bool Compose(char* out, size_t capacity, const char* format, ...) ORBISYN_PRINTF(3, 4);
bool Compose(char* out, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out, capacity, format, args);
  va_end(args);
  return n >= 0 && static_cast<size_t>(n) < capacity;
}
constexpr uint32_t kWaitStepMs = 50;

bool IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsPrefix(const char* dir) {
  char probe[PATH_MAX];
  struct stat st;
  if (Compose(probe, sizeof probe, "%s/system.reg", dir) && stat(probe, &st) == 0) return true;
  return Compose(probe, sizeof probe, "%s/dosdevices", dir) && IsDirectory(probe);
}

// Appends src to the Windows path being built; false when it does not fit.
bool Append(char16_t* out, size_t* used, const char* src, size_t n) {
  char16_t units[kWindowsPathUnits + 2];
  char part[kWindowsPathUnits * 4 + 1];
  if (n >= sizeof part) return false;
  std::memcpy(part, src, n);
  part[n] = '\0';
  size_t got = Utf8ToUtf16(part, units, kWindowsPathUnits + 2);
  if (got == SIZE_MAX || *used + got > kWindowsPathUnits) return false;
  for (size_t i = 0; i < got; ++i) out[(*used)++] = units[i] == u'/' ? u'\\' : units[i];
  out[*used] = 0;
  return true;
}

// PREFIX/drive_c/REST -> C:\REST, PREFIX/dosdevices/x:/REST -> X:\REST, by the names alone.
WinePath FromUnixPath(const char* path, WineTarget* target) {
  const size_t len = std::strlen(path);
  // The innermost match wins: a prefix may itself live inside another's drive_c.
  for (size_t i = len; i-- > 0;) {
    if (path[i] != '/' || i == 0) continue;
    const char* name = path + i + 1;
    const char* end = std::strchr(name, '/');
    const size_t name_len = end ? static_cast<size_t>(end - name) : std::strlen(name);
    char drive = 0;
    if (name_len == 7 && std::strncmp(name, "drive_c", 7) == 0) {
      drive = 'C';
    } else if (name_len == 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
      // dosdevices/x:
      static constexpr char kDevices[] = "/dosdevices";
      const size_t d = sizeof kDevices - 1;
      if (i < d || std::strncmp(path + i - d, kDevices, d) != 0) continue;
      drive = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
      i -= d;  // the prefix ends before /dosdevices
    } else {
      continue;
    }
    if (i >= kWineFolderBytes) continue;
    char prefix[kWineFolderBytes];
    std::memcpy(prefix, path, i);
    prefix[i] = '\0';
    if (!IsPrefix(prefix)) continue;
    // Its real path: the prefix's relay is known by it, whatever links led here.
    char real[PATH_MAX];
    if (realpath(prefix, real) != nullptr && std::strlen(real) < kWineFolderBytes)
      std::snprintf(target->prefix, kWineFolderBytes, "%s", real);
    else
      std::memcpy(target->prefix, prefix, i + 1);
    const char head[3] = {drive, ':', '\\'};
    size_t used = 0;
    const char* rest = end ? end + 1 : name + name_len;
    if (!Append(target->windows_path, &used, head, 3) ||
        !Append(target->windows_path, &used, rest, std::strlen(rest)))
      return WinePath::kTooLong;
    return WinePath::kWine;
  }
  return WinePath::kNative;
}

// $WINEPREFIX when absolute, else $HOME/.wine; empty when neither can be formed.
void DefaultPrefix(char* out, size_t capacity) {
  out[0] = '\0';
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  if (prefix != nullptr && prefix[0] == '/') {
    std::snprintf(out, capacity, "%s", prefix);
  } else if (home != nullptr && home[0] == '/') {
    std::snprintf(out, capacity, "%s/.wine", home);
  }
  size_t n = std::strlen(out);
  while (n > 1 && out[n - 1] == '/') out[--n] = '\0';
}

bool IsDrivePath(const char16_t* path) {
  return ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')) &&
         path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
}

// The private folder of the relay records (the socket folder), made when missing.
bool RuntimeFolder(char* out, size_t capacity, char* why, size_t why_capacity) {
  // Another user may make the chosen folder between the check and mkdir: then the next
  // alternative is chosen, a few times at most.
  for (int round = 0; round < 4; ++round) {
    int err = posix_detail::SocketDirectory(out, capacity);
    if (err == ENOENT) {
      if (mkdir(out, 0700) == 0) {
        chmod(out, 0700);  // whatever the umask
        continue;
      }
      if (errno == EEXIST) continue;  // made meanwhile: looked at again
      err = errno;
    }
    if (err == 0) return true;
    if (err != EACCES || posix_detail::SocketFolderProblem(why, why_capacity) != EACCES)
      std::snprintf(why, why_capacity, "no private folder for the relay at '%s' [%d]", out, err);
    return false;
  }
  std::snprintf(why, why_capacity, "no private folder for the relay at '%s': others keep taking it", out);
  return false;
}

void Hex(const uint8_t* bytes, size_t n, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  out[2 * n] = '\0';
}

bool Unhex(const char* text, uint8_t* bytes, size_t n) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < n; ++i) {
    int hi = digit(text[2 * i]), lo = hi < 0 ? -1 : digit(text[2 * i + 1]);
    if (lo < 0) return false;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// An executable named name in a folder of $PATH.
bool Which(const char* name, char* out, size_t capacity) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  for (const char* p = path; *p;) {
    const char* colon = std::strchr(p, ':');
    const size_t n = colon ? static_cast<size_t>(colon - p) : std::strlen(p);
    if (n > 0 && p[0] == '/') {
      int w = std::snprintf(out, capacity, "%.*s/%s", static_cast<int>(n), p, name);
      if (w > 0 && static_cast<size_t>(w) < capacity && access(out, X_OK) == 0 && !IsDirectory(out))
        return true;
    }
    if (!colon) break;
    p = colon + 1;
  }
  return false;
}

// The lines of a log written since offset `from` (the last ones when there are many),
// flattened to one line, into out.
void LogTail(const char* log, off_t from, char* out, size_t capacity) {
  out[0] = '\0';
  int fd = open(log, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  char buf[700];
  off_t size = lseek(fd, 0, SEEK_END);
  if (size < from) from = 0;  // emptied meanwhile: all of it is new
  off_t at = size - from > static_cast<off_t>(sizeof buf - 1) ? size - static_cast<off_t>(sizeof buf - 1) : from;
  ssize_t n = pread(fd, buf, sizeof buf - 1, at);
  close(fd);
  if (n <= 0) {
    std::snprintf(out, capacity, "its log is empty");
    return;
  }
  buf[n] = '\0';
  // Whole lines only, joined by " | ".
  char* start = buf;
  if (at > from) {
    char* nl = std::strchr(buf, '\n');
    if (nl) start = nl + 1;
  }
  size_t used = 0;
  for (char* line = std::strtok(start, "\r\n"); line && used + 4 < capacity;
       line = std::strtok(nullptr, "\r\n")) {
    int w = std::snprintf(out + used, capacity - used, "%s%s", used ? " | " : "", line);
    if (w < 0) break;
    used += static_cast<size_t>(w) < capacity - used ? static_cast<size_t>(w) : capacity - used - 1;
  }
}

// A file of ours in the runtime folder counts only as a regular file of this user that
// nobody else may read or write: another user who could plant or rewrite one would send
// us to a listener of theirs.
bool Private(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 07777) == 0600;
}

// Opens path (created 0600 whatever the umask) as a private file of ours: a file of ours
// with a looser mode gets 0600, anything else in its place (another user's file, a link, a
// FIFO) is removed first. -1 with errno set when that fails.
int OpenPrivate(const char* path, int flags) {
  for (int attempt = 0;; ++attempt) {
    int fd = open(path, flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid()) {
      if ((st.st_mode & 07777) == 0600 || fchmod(fd, 0600) == 0) return fd;
    }
    int saved = fd < 0 ? errno : EACCES;
    if (fd >= 0) close(fd);
    if (attempt == 1 || (unlink(path) != 0 && errno != ENOENT)) {
      errno = saved != 0 ? saved : EACCES;
      return -1;
    }
  }
}

enum class Record { kMissing, kUntrusted, kUsable };

Record ReadRecord(const char* record, RelayEndpoint* relay) {
  // O_NONBLOCK: a FIFO in its place must not hold us.
  int fd = open(record, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? Record::kMissing : Record::kUntrusted;
  struct stat st;
  char text[256];
  ssize_t n = fstat(fd, &st) == 0 && Private(st) ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (n <= 0) return Record::kUntrusted;
  text[n] = '\0';
  const char* port = std::strstr(text, "port=");
  const char* token = std::strstr(text, "token=");
  const char* pid = std::strstr(text, "pid=");
  const char* start = std::strstr(text, "start=");
  if (port == nullptr || token == nullptr || pid == nullptr || start == nullptr)
    return Record::kUntrusted;
  long p = std::strtol(port + 5, nullptr, 10);
  long id = std::strtol(pid + 4, nullptr, 10);
  relay->start_time = std::strtoull(start + 6, nullptr, 10);
  if (p <= 0 || p > 65535 || id <= 0 || id > INT32_MAX || relay->start_time == 0)
    return Record::kUntrusted;
  relay->port = static_cast<uint16_t>(p);
  relay->pid = static_cast<int32_t>(id);
  return Unhex(token + 6, relay->token, kRelayTokenBytes) ? Record::kUsable : Record::kUntrusted;
}

bool WriteRecord(const char* record, const RelayEndpoint& relay) {
  char tmp[PATH_MAX];
  if (!Compose(tmp, sizeof tmp, "%s.%d.tmp", record, static_cast<int>(getpid()))) return false;
  unlink(tmp);
  int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  char hex[2 * kRelayTokenBytes + 1];
  Hex(relay.token, kRelayTokenBytes, hex);
  char text[256];
  int n = std::snprintf(text, sizeof text, "port=%u\ntoken=%s\npid=%d\nstart=%llu\n", relay.port,
                        hex, static_cast<int>(relay.pid),
                        static_cast<unsigned long long>(relay.start_time));
  std::memset(hex, 0, sizeof hex);
  bool ok = fchmod(fd, 0600) == 0 && write(fd, text, static_cast<size_t>(n)) == n;
  std::memset(text, 0, sizeof text);
  ok = close(fd) == 0 && ok;
  ok = ok && rename(tmp, record) == 0;
  if (!ok) unlink(tmp);
  return ok;
}

// The start time of process pid (clock ticks after boot) when it runs as this user and is
// no zombie; 0 otherwise.
uint64_t ProcessStart(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  char text[1024];
  ssize_t n = fstat(fd, &st) == 0 && st.st_uid == getuid() ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // "pid (name) state ppid ...": the name may hold anything, the last ')' ends it. The
  // start time is the 22nd field, the 20th after the name.
  const char* p = std::strrchr(text, ')');
  if (p == nullptr || p[1] != ' ' || p[2] == 'Z' || p[2] == 'X') return 0;
  p += 2;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p, ' ');
    if (p == nullptr) return 0;
    ++p;
  }
  return std::strtoull(p, nullptr, 10);
}

// Reads the relay's "port=N" line from its standard output.
RelayResult AwaitPort(int out, const char* log, off_t log_from, uint32_t limit_ms,
                      KeepWaiting keep_waiting, void* context, uint16_t* port, char* why,
                      size_t why_capacity) {
  char line[256];
  size_t used = 0;
  const uint64_t start = MonotonicMs();
  for (;;) {
    const uint64_t waited = MonotonicMs() - start;
    if (waited >= limit_ms) {
      char tail[600];
      LogTail(log, log_from, tail, sizeof tail);
      std::snprintf(why, why_capacity, "the relay did not start in %u s (log %s): %s",
                    (limit_ms + 999) / 1000, log, tail);
      return RelayResult::kFailed;
    }
    if (!keep_waiting(context)) return RelayResult::kStopped;
    const uint64_t left = limit_ms - waited;
    int r = WaitReadable(out, static_cast<uint32_t>(left < kWaitStepMs ? left : kWaitStepMs));
    if (r == -2) return RelayResult::kStopped;
    if (r <= 0) continue;
    ssize_t n = read(out, line + used, sizeof line - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      char tail[600];
      LogTail(log, log_from, tail, sizeof tail);
      std::snprintf(why, why_capacity, "the relay exited before it listened (log %s): %s", log, tail);
      return RelayResult::kFailed;
    }
    used += static_cast<size_t>(n);
    line[used] = '\0';
    const char* found = std::strstr(line, "port=");
    if (found && std::strchr(found, '\n')) {
      long p = std::strtol(found + 5, nullptr, 10);
      if (p > 0 && p <= 65535) {
        *port = static_cast<uint16_t>(p);
        return RelayResult::kStarted;
      }
    }
    if (used == sizeof line - 1) used = 0;  // noise without a port line: keep listening
  }
}

RelayResult StartRelay(const WineTarget& target, const char* record, const char* log,
                       uint32_t limit_ms, KeepWaiting keep_waiting, void* context,
                       RelayEndpoint* relay, char* why, size_t why_capacity) {
  char wine[PATH_MAX];
  if (!Which("wine", wine, sizeof wine)) {
    std::snprintf(why, why_capacity,
                  "wine not found on PATH: it runs the relay to the Terminal in '%s' "
                  "(install Wine, e.g. apt-get install wine)",
                  target.prefix);
    return RelayResult::kFailed;
  }
  char exe[PATH_MAX] = "";
  const char* chosen = std::getenv("ORBISYN_RELAY");
  char folder[PATH_MAX];
  bool named = chosen != nullptr && chosen[0] != '\0'
                   ? Compose(exe, sizeof exe, "%s", chosen)
                   : ModuleFolder(folder, sizeof folder) &&
                         Compose(exe, sizeof exe, "%s/%s", folder, kRelayName);
  if (!named || access(exe, R_OK) != 0) {
    std::snprintf(why, why_capacity, "%s not found at '%s' (reinstall orbisyn)", kRelayName, exe);
    return RelayResult::kFailed;
  }
  // The log is appended to, never emptied here: a relay we do not know of (its record
  // lost) may still write it, and the relay keeps it small itself. What this start says
  // begins at its present end.
  int log_fd = OpenPrivate(log, O_WRONLY | O_APPEND);
  if (log_fd < 0) {
    std::snprintf(why, why_capacity, "cannot open the relay's log '%s' [%d]", log, errno);
    return RelayResult::kFailed;
  }
  const off_t log_from = lseek(log_fd, 0, SEEK_END);
  close(log_fd);
  if (!RandomBytes(relay->token, kRelayTokenBytes)) {
    std::snprintf(why, why_capacity, "no random token for the relay [%d]", errno);
    return RelayResult::kFailed;
  }
  char line[2 * kRelayTokenBytes + 2];
  Hex(relay->token, kRelayTokenBytes, line);
  line[2 * kRelayTokenBytes] = '\n';
  line[2 * kRelayTokenBytes + 1] = '\0';

  char prefix_env[kWineFolderBytes + 16];
  std::snprintf(prefix_env, sizeof prefix_env, "WINEPREFIX=%s", target.prefix);
  const char* env[4] = {prefix_env, nullptr, nullptr, nullptr};
  size_t n = 1;
  // Quiet, and no installer dialogs for .NET or HTML when wine creates the prefix;
  // the caller's own choices stand.
  if (std::getenv("WINEDEBUG") == nullptr) env[n++] = "WINEDEBUG=-all";
  if (std::getenv("WINEDLLOVERRIDES") == nullptr) env[n++] = "WINEDLLOVERRIDES=mscoree,mshtml=";
  // The relay opens its log by name too: only so can it keep it small (Wine's standard
  // error cannot be truncated), while Wine's own complaints still reach it through stderr.
  const char* argv[] = {wine, exe, "serve-terminal", "--log", log, nullptr};

  int out = -1;
  pid_t pid = 0;
  // The token goes through standard input: Wine copies the Unix environment into every
  // process it starts from this one (the Terminal too), where /proc shows it.
  bool spawned = SpawnWithOutput(argv, env, log, line, 2 * kRelayTokenBytes + 1, &out, &pid);
  std::memset(line, 0, sizeof line);
  if (!spawned) {
    std::snprintf(why, why_capacity, "could not start '%s' [%d]", wine, errno);
    return RelayResult::kFailed;
  }
  // Read at once: the process has not had the time to end, and its start is what names it.
  relay->pid = static_cast<int32_t>(pid);
  relay->start_time = ProcessStart(pid);
  RelayResult r = AwaitPort(out, log, log_from, limit_ms, keep_waiting, context, &relay->port,
                            why, why_capacity);
  // Closing our end makes a relay that has not printed its port yet give up when it does.
  close(out);
  if (r == RelayResult::kStarted && (relay->start_time == 0 || !WriteRecord(record, *relay))) {
    // Still usable now; the next caller starts another.
    unlink(record);
  }
  return r;
}

bool SameRelay(const RelayEndpoint& a, const RelayEndpoint& b) {
  return a.port == b.port && a.pid == b.pid && a.start_time == b.start_time &&
         std::memcmp(a.token, b.token, kRelayTokenBytes) == 0;
}

}  // namespace

WinePath ClassifyWinePath(const char16_t* path, WineTarget* target) {
  std::memset(target, 0, sizeof *target);
  if (IsDrivePath(path)) {
    DefaultPrefix(target->prefix, sizeof target->prefix);
    char real[PATH_MAX];
    if (target->prefix[0] && realpath(target->prefix, real) != nullptr &&
        std::strlen(real) < sizeof target->prefix)
      std::memcpy(target->prefix, real, std::strlen(real) + 1);
    if (!target->prefix[0] || !IsPrefix(target->prefix)) return WinePath::kNoPrefix;
    size_t n = TextLength(path);
    if (n > kWindowsPathUnits) return WinePath::kTooLong;
    for (size_t i = 0; i < n; ++i) target->windows_path[i] = path[i] == u'/' ? u'\\' : path[i];
    target->windows_path[n] = 0;
    return WinePath::kWine;
  }
  if (path[0] == u'\\') return WinePath::kNative;
  char given[PATH_MAX];
  if (Utf16ToUtf8(path, TextLength(path), given, sizeof given) == SIZE_MAX) return WinePath::kNative;
  WinePath r = given[0] == '/' ? FromUnixPath(given, target) : WinePath::kNative;
  if (r != WinePath::kNative) return r;
  // Through links or a relative path: the real location decides.
  char real[PATH_MAX];
  if (realpath(given, real) == nullptr) return WinePath::kNative;
  return FromUnixPath(real, target);
}

PrefixState EnvWinePrefix(char16_t* out, size_t capacity) {
  if (capacity > 0) out[0] = 0;
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || prefix[0] == '\0') return PrefixState::kUnset;
  char real[PATH_MAX];
  const bool usable = PrefixProblem(prefix) == nullptr && realpath(prefix, real) != nullptr;
  if (Utf8ToUtf16(usable ? real : prefix, out, capacity) == SIZE_MAX) return PrefixState::kNotPrefix;
  if (usable) return PrefixState::kPrefix;
  struct stat st;
  return prefix[0] == '/' && stat(prefix, &st) != 0 && errno == ENOENT ? PrefixState::kMissing
                                                                        : PrefixState::kNotPrefix;
}

bool HomeWinePrefix(char16_t* out, size_t capacity) {
  if (capacity > 0) out[0] = 0;
  const char* home = std::getenv("HOME");
  char folder[PATH_MAX], real[PATH_MAX];
  if (home == nullptr || home[0] != '/' || !Compose(folder, sizeof folder, "%s/.wine", home) ||
      !IsPrefix(folder) || realpath(folder, real) == nullptr)
    return false;
  const char* named = std::getenv("WINEPREFIX");
  char named_real[PATH_MAX];
  if (named != nullptr && named[0] == '/' && realpath(named, named_real) != nullptr &&
      std::strcmp(named_real, real) == 0)
    return false;  // looked at as $WINEPREFIX's already
  return Utf8ToUtf16(real, out, capacity) != SIZE_MAX;
}

const char* PrefixProblem(const char* folder) {
  if (folder[0] != '/') return "it is not an absolute path";
  struct stat st;
  if (stat(folder, &st) != 0) return errno == ENOENT ? "the folder does not exist" : "it cannot be read";
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  return IsPrefix(folder) ? nullptr : "it holds neither system.reg nor dosdevices";
}

bool MissingPrefixOf(const char16_t* path, char* why, size_t capacity) {
  char given[PATH_MAX];
  if (Utf16ToUtf8(path, TextLength(path), given, sizeof given) == SIZE_MAX || given[0] != '/')
    return false;
  // The innermost component that only a prefix has; the folder before it was meant.
  for (size_t i = std::strlen(given); i-- > 1;) {
    if (given[i] != '/') continue;
    const char* name = given + i + 1;
    const bool drive = std::strncmp(name, "drive_c/", 8) == 0 ||
                       (std::strncmp(name, "dosdevices/", 11) == 0 && name[11] != '\0' &&
                        name[12] == ':');
    if (!drive) continue;
    char folder[PATH_MAX];
    std::memcpy(folder, given, i);
    folder[i] = '\0';
    const char* problem = PrefixProblem(folder);
    if (problem == nullptr) return false;
    std::snprintf(why, capacity, "'%s' is no Wine prefix: %s", folder, problem);
    return true;
  }
  return false;
}

bool WineUnixPath(const char16_t* prefix, const char16_t* windows_path, char16_t* out,
                  size_t capacity) {
  if (!IsDrivePath(windows_path)) return false;
  const size_t prefix_units = TextLength(prefix);
  static constexpr char16_t kDevices[] = u"/dosdevices/";
  const size_t devices = sizeof kDevices / sizeof kDevices[0] - 1;
  const size_t rest = TextLength(windows_path + 3);
  if (prefix_units + devices + 3 + rest + 1 > capacity) return false;
  size_t used = 0;
  for (size_t i = 0; i < prefix_units; ++i) out[used++] = prefix[i];
  for (size_t i = 0; i < devices; ++i) out[used++] = kDevices[i];
  char16_t drive = windows_path[0];
  out[used++] = (drive >= u'A' && drive <= u'Z') ? static_cast<char16_t>(drive + 32) : drive;
  out[used++] = u':';
  out[used++] = u'/';
  for (size_t i = 0; i < rest; ++i) {
    char16_t c = windows_path[3 + i];
    out[used++] = c == u'\\' ? u'/' : c;
  }
  out[used] = 0;
  return true;
}

RelayResult ObtainRelay(const WineTarget& target, const RelayEndpoint* stale, uint32_t limit_ms,
                        KeepWaiting keep_waiting, void* context, RelayEndpoint* relay,
                        char* why, size_t why_capacity) {
  char folder[PATH_MAX];
  if (!RuntimeFolder(folder, sizeof folder, why, why_capacity)) return RelayResult::kFailed;
  uint8_t digest[32];
  if (!Sha256(target.prefix, std::strlen(target.prefix), digest)) {
    std::snprintf(why, why_capacity, "Hash calculation failed");
    return RelayResult::kFailed;
  }
  char key[17];
  Hex(digest, 8, key);
  char record[PATH_MAX], lock[PATH_MAX], log[PATH_MAX];
  if (!Compose(record, sizeof record, "%s/orbisyn-relay-%s", folder, key) ||
      !Compose(lock, sizeof lock, "%s.lock", record) || !Compose(log, sizeof log, "%s.log", record)) {
    std::snprintf(why, why_capacity, "no room for the relay's files in '%s'", folder);
    return RelayResult::kFailed;
  }

  int held = OpenPrivate(lock, O_RDWR);
  if (held < 0) {
    std::snprintf(why, why_capacity, "cannot open '%s' as a private file [%d]", lock, errno);
    return RelayResult::kFailed;
  }
  // Another process may be starting this prefix's relay: wait for it, then reuse its.
  while (flock(held, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (!keep_waiting(context) || !SleepMs(kWaitStepMs)) {
      close(held);
      return RelayResult::kStopped;
    }
  }
  // A record is a hint: it names a relay only while that very process runs, and never one
  // the caller has found wanting. Nothing is sent to the port of one that has gone.
  RelayResult r;
  Record found = ReadRecord(record, relay);
  if (found == Record::kUsable && (stale == nullptr || !SameRelay(*relay, *stale)) &&
      RelayRuns(*relay)) {
    r = RelayResult::kRecorded;
  } else {
    if (found != Record::kMissing) unlink(record);
    r = StartRelay(target, record, log, limit_ms, keep_waiting, context, relay, why, why_capacity);
  }
  close(held);  // releases the lock
  return r;
}

bool RelayRuns(const RelayEndpoint& relay) {
  return relay.pid > 0 && relay.start_time != 0 && ProcessStart(relay.pid) == relay.start_time;
}

}  // namespace orbisyn::platform
