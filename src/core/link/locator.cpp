#include "link/locator.h"

#include <cstdarg>
#include <cstdio>
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
constexpr size_t kPlaces = 3;
constexpr size_t kNone = SIZE_MAX;

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

// A path of at most Units units as UTF-8, for messages.
template <size_t Units = platform::kWineFolderBytes>
struct Utf8 {
  explicit Utf8(const char16_t* path) {
    Utf16ToUtf8(path, platform::TextLength(path), text, sizeof text);
  }
  char text[Units * 3 + 1];
};

// A message built in pieces, cut where it no longer fits.
class Message {
 public:
  Message(char* out, size_t capacity) : out_(out), capacity_(capacity) { out_[0] = '\0'; }
  void Add(const char* format, ...) ORBISYN_PRINTF(2, 3) {
    if (used_ + 1 >= capacity_) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out_ + used_, capacity_ - used_, format, args);
    va_end(args);
    if (n <= 0) return;
    const size_t wrote = static_cast<size_t>(n);
    used_ = used_ + wrote < capacity_ ? used_ + wrote : capacity_ - 1;
  }

 private:
  char* out_;
  size_t capacity_;
  size_t used_ = 0;
};

enum class Verdict { kOk, kNoScrivel, kNoOrigin, kBadOrigin, kNoExecutable };

// One data folder into found; why it does not qualify otherwise (why, UTF-8, for a listing).
Verdict Validate(const char16_t* folder, const char16_t* wine_prefix, FoundTerminal* found,
                 char* why, size_t why_capacity) {
  std::memset(found, 0, sizeof *found);
  TerminalCandidate* candidate = &found->candidate;
  Join(found->data_folder, kPathBuffer, {folder});
  char16_t path[kPathBuffer];

  JoinPath(path, kPathBuffer, folder, u"/portable.txt");
  if (platform::LastWriteTime(path, &candidate->last_used)) {
    candidate->portable = 1;
  } else {
    JoinPath(path, kPathBuffer, folder, u"/Scrivel");
    if (!platform::PathExists(path)) {
      std::snprintf(why, why_capacity, "no Scrivel folder (nor portable.txt)");
      return Verdict::kNoScrivel;
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
    std::snprintf(why, why_capacity, "no origin.txt");
    return Verdict::kNoOrigin;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(origin);
  if (got < 8 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
    std::snprintf(why, why_capacity, "origin.txt is not UTF-16 text with a byte-order mark");
    return Verdict::kBadOrigin;
  }
  origin[got / 2] = 0;  // the install folder is used verbatim, line breaks included

  if (wine_prefix != nullptr) {
    // A Windows path inside the prefix: the candidate is its POSIX form, which Connect
    // knows to reach through the prefix's relay.
    Join(found->windows_path, platform::kWindowsPathUnits + 1, {origin + 1, u"\\terminal64.exe"});
    if (platform::WineUnixPath(wine_prefix, found->windows_path, path, kPathBuffer) &&
        platform::PathExists(path))
      Join(candidate->exe_path, kPathBuffer, {path});
  } else {
    JoinPath(path, kPathBuffer, origin + 1, u"/terminal64.exe");
    if (platform::PathExists(path)) Join(candidate->exe_path, kPathBuffer, {path});
  }
  if (candidate->exe_path[0] != 0) return Verdict::kOk;
  std::snprintf(why, why_capacity, "origin.txt names '%s', which holds no terminal64.exe",
                Utf8<kPathBuffer>(origin + 1).text);
  return Verdict::kNoExecutable;
}

// Writes the locator's own message about a skipped folder, as the setup text keeps it.
void NoteSkipped(Session* client, Verdict verdict, const char16_t* folder) {
  if (client == nullptr) return;
  if (verdict == Verdict::kNoScrivel)
    client->SetSetupText("No Scrivel folder in '%s'", Utf8<kPathBuffer>(folder).text);
  if (verdict == Verdict::kNoOrigin)
    client->SetSetupText("No origin.txt in '%s'", Utf8<kPathBuffer>(folder).text);
}

struct Search {
  Session* client;  // null: a listing, which writes no setup text
  LocatorWatcher* watcher;
  const char16_t* root;
  const char16_t* wine_prefix;  // the prefix whose folders these are, or null
  TerminalPlace place;
  char16_t parent[kParentCapacity];  // empty when the parent is unknown
  size_t found;                      // Terminals found so far
  FoundTerminal working;
  FoundTerminal best[kPlaces];  // by place; empty exe_path: none there
  size_t best_index[kPlaces];
  size_t parent_index;  // the parent's Terminal among those found, or kNone
  FoundTerminal parent_terminal;
};

bool VisitDataFolder(const char16_t* name, bool is_directory, void* context) {
  auto* s = static_cast<Search*>(context);
  if (!is_directory || name[0] == u'.') return true;
  char16_t folder[kPathBuffer];
  Join(folder, kPathBuffer, {s->root, name});  // the root ends with a separator
  char why[kPathBuffer * 3 + 64];
  const Verdict verdict = Validate(folder, s->wine_prefix, &s->working, why, sizeof why);
  if (verdict != Verdict::kOk) {
    NoteSkipped(s->client, verdict, folder);
    if (s->watcher) s->watcher->Skipped(folder, why);
    return true;
  }
  FoundTerminal& t = s->working;
  t.place = s->place;
  t.prefix = s->wine_prefix;
  if (s->place == TerminalPlace::kNative && s->parent[0] != 0) {
    char16_t exe[kCandidateCapacity];
    CanonicalPath(t.candidate.exe_path, exe, kCandidateCapacity);
    t.parent = SameText(exe, s->parent);
  }
  const size_t index = s->found++;
  if (s->watcher) s->watcher->Found(t);
  if (t.parent) {
    s->parent_terminal = t;
    s->parent_index = index;
    return s->watcher != nullptr;  // nothing else can win: stop unless listing
  }
  const size_t p = static_cast<size_t>(s->place);
  if (s->best[p].candidate.exe_path[0] == 0 || s->best[p].candidate.last_used < t.candidate.last_used) {
    s->best[p] = t;
    s->best_index[p] = index;
  }
  return true;
}

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

constexpr char16_t kUsersPattern[] = u"/drive_c/users/*/AppData/Roaming/Quillmark/Terminal/";

// Terminals installed under Wine: the data folders of every user of the prefix.
void SearchWinePrefix(Search* search, const char16_t* prefix, TerminalPlace place) {
  char16_t pattern[kPathBuffer];
  Join(pattern, kPathBuffer, {prefix, kUsersPattern});
  if (search->watcher) search->watcher->LookedIn(pattern);
  char16_t users_dir[kPathBuffer];
  JoinPath(users_dir, kPathBuffer, prefix, u"/drive_c/users");
  Users users;
  users.count = 0;
  platform::ListDirectory(users_dir, VisitUser, &users);
  for (size_t u = 0; u < users.count; ++u) {
    char16_t root[kPathBuffer];
    Join(root, kPathBuffer, {users_dir, u"/", users.names[u], u"/AppData/Roaming/Quillmark/Terminal/"});
    search->root = root;
    search->wine_prefix = prefix;
    search->place = place;
    platform::ListDirectory(root, VisitDataFolder, search);
  }
}

// What $WINEPREFIX says, when it names no prefix the search could use.
void AddPrefixNote(Message* m, platform::PrefixState state, const char16_t* env_prefix) {
  if (state == platform::PrefixState::kMissing) {
    m->Add("; WINEPREFIX names '%s', which does not exist", Utf8<>(env_prefix).text);
  } else if (state == platform::PrefixState::kNotPrefix) {
    char folder[platform::kWineFolderBytes * 3 + 1];
    Utf16ToUtf8(env_prefix, platform::TextLength(env_prefix), folder, sizeof folder);
    const char* problem = platform::PrefixProblem(folder);
    m->Add("; WINEPREFIX names '%s', which is no Wine prefix (%s)", folder,
           problem ? problem : "it cannot be used");
  }
}

// The search; client (null for a listing) gets the setup texts.
bool Locate(Session* client, TerminalCandidate* chosen, LocatorWatcher* watcher);

}  // namespace

void CanonicalPath(const char16_t* path, char16_t* out, size_t capacity) {
  if (capacity == 0) return;
  if (platform::FinalPath(path, out, capacity) == 0) Join(out, capacity, {path});
}

bool ValidateDataFolder(Session& client, const char16_t* folder,
                        TerminalCandidate* candidate, const char16_t* wine_prefix) {
  FoundTerminal found;
  char why[kPathBuffer * 3 + 64];
  const Verdict verdict = Validate(folder, wine_prefix, &found, why, sizeof why);
  NoteSkipped(&client, verdict, folder);
  *candidate = found.candidate;
  return verdict == Verdict::kOk;
}

bool LocateTerminal(Session& client, TerminalCandidate* chosen) {
  return Locate(&client, chosen, nullptr);
}

void ListTerminals(LocatorWatcher& watcher) {
  TerminalCandidate chosen;
  Locate(nullptr, &chosen, &watcher);
}

namespace {

bool Locate(Session* client, TerminalCandidate* chosen, LocatorWatcher* watcher) {
  Search search;
  std::memset(&search, 0, sizeof search);
  search.client = client;
  search.watcher = watcher;
  search.parent_index = kNone;
  for (size_t& i : search.best_index) i = kNone;

  char16_t appdata[kPathBuffer];
  const bool native = platform::RoamingAppData(appdata, kPathBuffer) && appdata[0] != 0;
  char16_t root[kPathBuffer] = {};
  if (native) {
    JoinPath(root, kPathBuffer, appdata, u"/Quillmark/Terminal/");
    char16_t image[kPathUnits];
    if (platform::ParentImagePath(image, kPathUnits)) {
      CanonicalPath(image, search.parent, kParentCapacity);
    }
    if (watcher) watcher->LookedIn(root);
    search.root = root;
    search.place = TerminalPlace::kNative;
    platform::ListDirectory(root, VisitDataFolder, &search);
  }

  // Wine prefixes: the one the user names first, ~/.wine last. A Windows Terminal never
  // starts this process, so the parent rule is the native folders' alone.
  static_assert(platform::kWineFolderBytes >= kPathBuffer, "prefix buffers hold a path");
  char16_t env_prefix[platform::kWineFolderBytes];
  char16_t home_prefix[platform::kWineFolderBytes];
  const platform::PrefixState env = platform::EnvWinePrefix(env_prefix, platform::kWineFolderBytes);
  const bool home = platform::HomeWinePrefix(home_prefix, platform::kWineFolderBytes);
  if (search.parent_index == kNone || watcher) {
    if (env == platform::PrefixState::kPrefix)
      SearchWinePrefix(&search, env_prefix, TerminalPlace::kWinePrefixEnv);
    if (home) SearchWinePrefix(&search, home_prefix, TerminalPlace::kWineHome);
  }

  const FoundTerminal* pick = nullptr;
  size_t index = kNone;
  char why[kSetupTextUnits * 3];
  Message m(why, sizeof why);
  const auto best = [&](TerminalPlace place) {
    const size_t p = static_cast<size_t>(place);
    if (search.best_index[p] == kNone) return false;
    pick = &search.best[p];
    index = search.best_index[p];
    return true;
  };
  if (search.parent_index != kNone) {
    pick = &search.parent_terminal;
    index = search.parent_index;
    m.Add("it started this Python process");
  } else if (best(TerminalPlace::kWinePrefixEnv)) {
    m.Add("WINEPREFIX names its prefix '%s', used last there",
          Utf8<>(env_prefix).text);
  } else if (best(TerminalPlace::kNative)) {
    m.Add("it was used last of the Terminals in '%s'", Utf8<>(root).text);
    if (env == platform::PrefixState::kPrefix)
      m.Add("; the Wine prefix WINEPREFIX names ('%s') holds none", Utf8<>(env_prefix).text);
    AddPrefixNote(&m, env, env_prefix);
  } else if (best(TerminalPlace::kWineHome)) {
    m.Add("of the Terminals in the Wine prefix '%s' it was used last; ", Utf8<>(home_prefix).text);
    if (native)
      m.Add("'%s' holds none", Utf8<>(root).text);
    else
      m.Add("there is no application-data folder");
    if (env == platform::PrefixState::kPrefix)
      m.Add(", nor does the Wine prefix WINEPREFIX names ('%s')", Utf8<>(env_prefix).text);
    AddPrefixNote(&m, env, env_prefix);
  } else {
    // Where it looked, and the three ways out.
    m.Add("Orbisyn x64 not found");
    const char* joint = ": looked in ";
    if (native) {
      m.Add("%s'%s'", joint, Utf8<>(root).text);
      joint = ", ";
    }
    for (const char16_t* prefix : {env == platform::PrefixState::kPrefix ? env_prefix : nullptr,
                                   home ? home_prefix : nullptr}) {
      if (prefix == nullptr) continue;
      char16_t pattern[kPathBuffer];
      Join(pattern, kPathBuffer, {prefix, kUsersPattern});
      m.Add("%s'%s'", joint, Utf8<>(pattern).text);
      joint = ", ";
    }
    AddPrefixNote(&m, env, env_prefix);
#ifdef _WIN32
    m.Add("; install the Terminal (or the simulated one: orbisyn-terminal install), or pass "
          "its path: initialize(path=...)");
#else
    m.Add("; install the simulated Terminal (orbisyn-terminal install), set WINEPREFIX to the "
          "Wine prefix that holds your Terminal, or pass its path: initialize(path=...)");
#endif
  }
  if (watcher) watcher->Picked(index, why);
  if (pick != nullptr) {
    *chosen = pick->candidate;
    return true;
  }
  // Without an application-data folder the text stays as it was.
  if (client != nullptr && (native || env != platform::PrefixState::kUnset))
    client->SetSetupText("%s", why);
  return false;
}

}  // namespace

bool LocateAndConnect(Session& client) {
  TerminalCandidate chosen;
  return LocateTerminal(client, &chosen) && client.Connect(chosen.exe_path, chosen.portable != 0);
}

}  // namespace orbisyn
