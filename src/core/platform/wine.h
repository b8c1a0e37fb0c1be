// Terminals inside Wine prefixes. A Terminal that runs under Wine serves its pipe within
// Wine's own server, out of reach of a POSIX process; a relay program (orbisyn-relay.exe,
// see src/relay/README.md) run under wine in the same prefix carries it over loopback TCP.
// This file finds such Terminals and their relay. On Windows there is no Wine: paths are
// always native there and nothing here is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace orbisyn::platform {

constexpr size_t kWineFolderBytes = 4096;
constexpr size_t kWindowsPathUnits = 260;
constexpr size_t kRelayTokenBytes = 32;

// A Terminal as the programs of its prefix name it.
struct WineTarget {
  char prefix[kWineFolderBytes];                // the prefix folder, UTF-8, absolute
  char16_t windows_path[kWindowsPathUnits + 1];  // e.g. C:\Program Files\X\terminal64.exe
};

enum class WinePath {
  kNative,    // not a Wine path: the caller goes on as usual
  kWine,      // *target is filled in
  kNoPrefix,  // a drive path (C:\...) but no prefix in $WINEPREFIX or ~/.wine
  kTooLong,   // its Windows form has more than 260 units
};

// Classifies path: a path in a prefix's drive_c folder (or under dosdevices/X:), or a
// drive path such as C:\...\terminal64.exe, which names a file of the prefix in
// $WINEPREFIX (else ~/.wine). A prefix is a folder holding system.reg or dosdevices.
WinePath ClassifyWinePath(const char16_t* path, WineTarget* target);

// What $WINEPREFIX names.
enum class PrefixState {
  kUnset,      // empty or not set
  kPrefix,     // a prefix: out holds its real path
  kMissing,    // out holds the folder, which does not exist
  kNotPrefix,  // out holds the folder (or the relative text), which is no prefix
};
PrefixState EnvWinePrefix(char16_t* out, size_t capacity);

// ~/.wine, as its real path, when it is a prefix other than the one $WINEPREFIX names.
bool HomeWinePrefix(char16_t* out, size_t capacity);

// Why folder (UTF-8) is no Wine prefix, or null when it is one.
const char* PrefixProblem(const char* folder);

// For a path that names no file: when a folder of it holds a drive_c (or dosdevices/x:)
// component but is no prefix, writes that folder and why into why (UTF-8) and returns
// true: the caller meant a Terminal under Wine.
bool MissingPrefixOf(const char16_t* path, char* why, size_t capacity);

// The POSIX path of a drive path (X:\a\b) of the prefix: PREFIX/dosdevices/x:/a/b, which
// Wine's drive links resolve. False when it is no drive path or does not fit.
bool WineUnixPath(const char16_t* prefix, const char16_t* windows_path, char16_t* out,
                  size_t capacity);

// Connects to 127.0.0.1:port with Nagle off and close-on-exec; the handle works with
// PipeRead, PipeWrite, PipeWake and PipeClose like a pipe's. On failure returns
// kInvalidPipe with the system's error number in *error (ECONNREFUSED: nobody listens),
// or kOpenInterrupted when the interrupt check ended the wait.
PipeHandle LoopbackConnect(uint16_t port, uint32_t* error);

struct RelayEndpoint {
  uint16_t port;
  uint8_t token[kRelayTokenBytes];
  // The relay's process: its id and start time (clock ticks after boot, /proc/PID/stat),
  // which together name it alone even after the id is reused.
  int32_t pid;
  uint64_t start_time;
};

enum class RelayResult {
  kRecorded,  // a relay recorded by an earlier start, its process still running
  kStarted,   // a relay started now, listening
  kFailed,    // none: why holds the reason
  kStopped,   // keep_waiting asked to stop while the relay was starting
};

// Polled between short waits while a relay starts; false ends the wait.
using KeepWaiting = bool (*)(void* context);

// The relay of target's prefix: the one recorded in the private runtime folder while its
// process runs and it is not stale (the caller found that it is not ours, or it did not
// answer); otherwise a new one, started as `wine orbisyn-relay.exe serve-terminal` (the
// relay found through $ORBISYN_RELAY, else beside this module) with a fresh token on its
// standard input, and recorded. A record or lock file counts only as a regular file of this
// user with mode 0600; a record whose relay has gone is removed unread. Starting waits up
// to limit_ms for the relay's port line. Processes that ask at the same time take turns.
// On kFailed, why (UTF-8) says what went wrong, with the end of the relay's log when it
// did not start.
RelayResult ObtainRelay(const WineTarget& target, const RelayEndpoint* stale, uint32_t limit_ms,
                        KeepWaiting keep_waiting, void* context, RelayEndpoint* relay,
                        char* why, size_t why_capacity);

// True while relay's process (its id and start time) runs, as this user.
bool RelayRuns(const RelayEndpoint& relay);

}  // namespace orbisyn::platform
