// Finds an installed Terminal through its data folders when no path is given.
#pragma once

#include <cstdint>

#include "link/session.h"

namespace orbisyn {

struct TerminalCandidate {
  char16_t exe_path[kPathUnits + 1];
  uint64_t last_used;
  uint8_t portable;
};

// Picks a Terminal: the parent process's first, else the most recently used data folder.
// False with a setup text in client when none qualifies.
bool LocateTerminal(Session& client, TerminalCandidate* chosen);

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
