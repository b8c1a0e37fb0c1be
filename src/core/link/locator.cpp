#include "link/locator.h"

#include <cstring>
#include <initializer_list>

#include "platform/text.h"
#include "platform/platform.h"
#include "platform/wine.h"

namespace orbisyn {
namespace {

constexpr size_t kPathBuffer = kPathUnits + 1;
constexpr size_t kOriginBytes = 518;
constexpr size_t kParentCapacity = kPathUnits - 1;  // the parent's path is one unit shorter
constexpr size_t kCandidateCapacity = kPathUnits;

// Concatenates parts into out, always terminated, cut at capacity - 1 units.
void Join(char16_t* out, size_t capacity, std::initializer_list<const char16_t*> parts) {
  size_t used = 0;
  for (const char16_t* part : parts) {
    for (size_t i = 0; part[i] != 0 && used + 1 < capacity; ++i) out[used++] = part[i];
  }
  out[used] = 0;
}

// base, then relative with each '/' written as the platform's separator.
void JoinPath(char16_t* out, size_t capacity, const char16_t* base, const char16_t* relative) {
  Join(out, capacity, {base, relative});
  const size_t end = platform::TextLength(out);
  for (size_t i = platform::TextLength(base); i < end; ++i) {
    if (out[i] == u'/') out[i] = platform::kPathSeparator;
  }
}

bool SameText(const char16_t* a, const char16_t* b) {
  size_t i = 0;
  for (; a[i] != 0 && a[i] == b[i]; ++i) {
  }
  return a[i] == b[i];
}

// Writes a message with one path argument; the path goes in as UTF-8.
void SetPathMessage(Session& client, const char* format, const char16_t* path) {
  char path8[kPathBuffer * 3 + 1];
  Utf16ToUtf8(path, platform::TextLength(path), path8, sizeof path8);
  client.SetSetupText(format, path8);
}

struct Search {
  Session* client;
  const char16_t* root;
  const char16_t* wine_prefix;  // the prefix whose folders these are, or null
  char16_t parent[kParentCapacity];  // empty when the parent is unknown
  TerminalCandidate working;
  TerminalCandidate best;
};

bool VisitDataFolder(const char16_t* name, bool is_directory, void* context) {
  auto* s = static_cast<Search*>(context);
  if (!is_directory || name[0] == u'.') return true;
  char16_t folder[kPathBuffer];
  Join(folder, kPathBuffer, {s->root, name});  // the root ends with a separator
  if (!ValidateDataFolder(*s->client, folder, &s->working, s->wine_prefix)) return true;
  if (s->parent[0] != 0) {
    char16_t exe[kCandidateCapacity];
    CanonicalPath(s->working.exe_path, exe, kCandidateCapacity);
    if (SameText(exe, s->parent)) {
      s->best = s->working;
      return false;
    }
  }
  if (s->best.exe_path[0] == 0 || s->best.last_used < s->working.last_used) {
    s->best = s->working;
  }
  return true;
}

}  // namespace

void CanonicalPath(const char16_t* path, char16_t* out, size_t capacity) {
  if (capacity == 0) return;
  if (platform::FinalPath(path, out, capacity) == 0) Join(out, capacity, {path});
}

bool ValidateDataFolder(Session& client, const char16_t* folder,
                        TerminalCandidate* candidate, const char16_t* wine_prefix) {
  std::memset(candidate, 0, sizeof *candidate);
  char16_t path[kPathBuffer];

  JoinPath(path, kPathBuffer, folder, u"/portable.txt");
  if (platform::LastWriteTime(path, &candidate->last_used)) {
    candidate->portable = 1;
  } else {
    JoinPath(path, kPathBuffer, folder, u"/Scrivel");
    if (!platform::PathExists(path)) {
      SetPathMessage(client, "No Scrivel folder in '%s'", folder);
      return false;
    }
    uint64_t time = 0;
    JoinPath(path, kPathBuffer, folder, u"/config/accounts.dat");
    if (platform::LastWriteTime(path, &time)) candidate->last_used = time;
    JoinPath(path, kPathBuffer, folder, u"/config/terminal.ini");
    if (platform::LastWriteTime(path, &time) && candidate->last_used < time) {
      candidate->last_used = time;
    }
  }

  // Room for 518 bytes plus a terminator unit; char16_t keeps the units aligned.
  char16_t origin[kOriginBytes / 2 + 1];
  size_t got = 0;
  JoinPath(path, kPathBuffer, folder, u"/origin.txt");
  if (!platform::ReadFileHead(path, origin, kOriginBytes, &got)) {
    SetPathMessage(client, "No origin.txt in '%s'", folder);
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(origin);
  if (got < 8 || bytes[0] != 0xFF || bytes[1] != 0xFE) return false;
  origin[got / 2] = 0;  // the install folder is used verbatim, line breaks included

  if (wine_prefix != nullptr) {
    // A Windows path inside the prefix: the candidate is its POSIX form, which Connect
    // knows to reach through the prefix's relay.
    char16_t windows[kPathBuffer];
    Join(windows, kPathBuffer, {origin + 1, u"\\terminal64.exe"});
    if (platform::WineUnixPath(wine_prefix, windows, path, kPathBuffer) &&
        platform::PathExists(path))
      Join(candidate->exe_path, kPathBuffer, {path});
    return candidate->exe_path[0] != 0;
  }
  JoinPath(path, kPathBuffer, origin + 1, u"/terminal64.exe");
  if (platform::PathExists(path)) Join(candidate->exe_path, kPathBuffer, {path});
  return candidate->exe_path[0] != 0;
}

namespace {

struct Users {
  char16_t names[16][kPathBuffer];
  size_t count;
};

bool VisitUser(const char16_t* name, bool is_directory, void* context) {
  auto* users = static_cast<Users*>(context);
  if (is_directory && name[0] != u'.' && users->count < 16)
    Join(users->names[users->count++], kPathBuffer, {name});
  return true;
}

// Terminals installed under Wine: the data folders of every user of each prefix.
void SearchWinePrefixes(Search* search) {
  static char16_t prefixes[2][platform::kWineFolderBytes];
  const size_t n = platform::WinePrefixes(prefixes, 2);
  search->parent[0] = 0;  // a Windows Terminal never starts this process
  for (size_t p = 0; p < n; ++p) {
    char16_t users_dir[kPathBuffer];
    JoinPath(users_dir, kPathBuffer, prefixes[p], u"/drive_c/users");
    static Users users;
    users.count = 0;
    platform::ListDirectory(users_dir, VisitUser, &users);
    for (size_t u = 0; u < users.count; ++u) {
      char16_t root[kPathBuffer];
      Join(root, kPathBuffer, {users_dir, u"/", users.names[u], u"/AppData/Roaming/Quillmark/Terminal/"});
      search->root = root;
      search->wine_prefix = prefixes[p];
      platform::ListDirectory(root, VisitDataFolder, search);
    }
  }
}

}  // namespace

bool LocateTerminal(Session& client, TerminalCandidate* chosen) {
  char16_t appdata[kPathBuffer];
  if (!platform::RoamingAppData(appdata, kPathBuffer) || appdata[0] == 0) return false;
  char16_t root[kPathBuffer];
  JoinPath(root, kPathBuffer, appdata, u"/Quillmark/Terminal/");

  Search search;
  std::memset(&search, 0, sizeof search);
  search.client = &client;
  search.root = root;
  char16_t image[kPathUnits];
  if (platform::ParentImagePath(image, kPathUnits)) {
    CanonicalPath(image, search.parent, kParentCapacity);
  }
  platform::ListDirectory(root, VisitDataFolder, &search);
  if (search.best.exe_path[0] == 0) SearchWinePrefixes(&search);

  if (search.best.exe_path[0] != 0) {
    *chosen = search.best;
    return true;
  }
  client.SetSetupText("Orbisyn x64 not found");
  return false;
}

bool LocateAndConnect(Session& client) {
  TerminalCandidate chosen;
  return LocateTerminal(client, &chosen) && client.Connect(chosen.exe_path, chosen.portable != 0);
}

}  // namespace orbisyn
