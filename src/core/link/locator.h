// Finds an installed Terminal through its data folders when no path is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/session.h"
#include "platform/wine.h"

namespace orbisyn {

struct TerminalCandidate {
  char16_t exe_path[kPathUnits + 1];
  uint64_t last_used;
  uint8_t portable;
};

// Where a data folder lies.
enum class TerminalPlace : uint8_t {
  kNative,         // this system's own application-data folder
  kWinePrefixEnv,  // the Wine prefix $WINEPREFIX names
  kWineHome,       // ~/.wine
};

// One Terminal the locator found.
struct FoundTerminal {
  TerminalCandidate candidate;  // exe_path as Connect takes it (under Wine: its POSIX form)
  char16_t data_folder[kPathUnits + 1];
  char16_t windows_path[platform::kWindowsPathUnits + 1];  // under Wine; else empty
  const char16_t* prefix;  // under Wine, the prefix's real path; else null
  TerminalPlace place;
  bool parent;  // the Terminal that started this process
};

// What the locator saw, for a listing (ListTerminals). Texts are UTF-8.
class LocatorWatcher {
 public:
  virtual void LookedIn(const char16_t* root) = 0;
  virtual void Found(const FoundTerminal& terminal) = 0;
  virtual void Skipped(const char16_t* folder, const char* why) = 0;
  // index counts the Found calls; SIZE_MAX when none qualifies, why then being the setup
  // text initialize() would give.
  virtual void Picked(size_t index, const char* why) = 0;

 protected:
  ~LocatorWatcher() = default;
};

// Picks a Terminal: the parent process's first; then, with $WINEPREFIX naming a prefix,
// the most recently used data folder of that prefix; then the most recently used native
// one; then that of ~/.wine. False with a setup text in client when none qualifies.
bool LocateTerminal(Session& client, TerminalCandidate* chosen);

// The same search, told to watcher alone: no session, no setup text, nothing connected.
void ListTerminals(LocatorWatcher& watcher);

// LocateTerminal, then client.Connect(...) for the one chosen.
bool LocateAndConnect(Session& client);

// Fills candidate from one data folder; true when it names an existing executable. With
// wine_prefix, the folder belongs to that Wine prefix and its origin is a Windows path.
bool ValidateDataFolder(Session& client, const char16_t* folder, TerminalCandidate* candidate,
                        const char16_t* wine_prefix = nullptr);

// Final path of path into out, or path itself (cut to capacity - 1 units) when it cannot
// be resolved within capacity.
void CanonicalPath(const char16_t* path, char16_t* out, size_t capacity);

}  // namespace orbisyn
