#include "link/session.h"

#include <cstdarg>
#include <cstdio>

#include "link/locator.h"
#include "platform/text.h"
#include "platform/wine.h"
#include "protocol/exchanges.h"

namespace orbisyn {

Session g_client;

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\Zelt.Terminal.";
constexpr char16_t kClientName[] = u"Python";
constexpr int32_t kHandshakeVersion = 3;
constexpr uint32_t kConnectPollMs = 500;
constexpr uint32_t kConnectPolls = 120;  // 60 s
constexpr uint32_t kReadyPollMs = 100;
constexpr uint32_t kDefaultReadyTimeoutMs = 60000;
constexpr int32_t kStateReady = 2;
constexpr int32_t kStateAuthFailed = 3;

constexpr uint32_t kPauseStepMs = 50;  // how soon a poll notices Cancel

// Closes the link when the library is unloaded or the process exits; touches no Python.
struct CloseAtUnload {
  ~CloseAtUnload() { g_client.CloseAtExit(); }
} close_at_unload;

}  // namespace

Session::Session() { platform::OnForkChild(&Session::ForgetInChild); }

void Session::ForgetInChild() { g_client.ForgetAfterFork(); }

void Session::ForgetAfterFork() {
  // The child starts without a session; the parent's connection is left as it is.
  lock_.Reset();
  pipe_.ForgetAfterFork();
  cancelled_ = false;
  for (auto& b : path_hash_) b = 0;
  setup_text_[0] = 0;
}

void Session::SetLimits(uint32_t idle_ms, uint64_t deadline) {
  pipe_.SetLimit(platform::WaitLimit{idle_ms, deadline, &cancelled_});
}

uint64_t Session::MsLeft() const {
  return platform::WaitLeft(platform::WaitLimit{0, limit().deadline, nullptr}, 0,
                            platform::MonotonicMs());
}

void Session::Cancel() {
  cancelled_ = true;
  pipe_.Wake();
}

bool Session::Pause(uint32_t ms) {
  // A signal that came during the last round, outside any wait, counts here.
  if (platform::InterruptRequested()) {
    interrupted_ = true;
    return false;
  }
  const uint64_t left = MsLeft();
  if (left == 0) {
    timed_out_ = true;
    return false;
  }
  if (left < ms) ms = static_cast<uint32_t>(left);
  while (ms > 0) {
    if (cancelled_) return false;
    const uint32_t step = ms < kPauseStepMs ? ms : kPauseStepMs;
    if (!platform::SleepMs(step)) {
      interrupted_ = true;
      return false;
    }
    ms -= step;
  }
  return !cancelled_;
}

void Session::SetSetupText(const char* format, ...) {
  char narrow[kSetupTextUnits * 3];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(narrow, sizeof narrow, format, args);
  va_end(args);
  if (n < 0) narrow[0] = '\0';
  Utf8ToUtf16(narrow, setup_text_, kSetupTextUnits);
}

int32_t Session::Initialize(const char16_t* path, bool portable) {
  if (IsOpen()) {
    SetSetupText("Session already initialized");
    return kIpcInitFailed;
  }
  interrupted_ = false;
  timed_out_ = false;
  const bool empty = !path || !path[0];
  if (!Connect(path, portable) &&
      !(empty && !interrupted_ && !timed_out_ && LocateAndConnect(*this))) {
    if (interrupted_) return kIpcInterrupted;
    return timed_out_ ? kIpcTimeout : kIpcInitFailed;
  }

  return Exchange(
      pipe_, request::Handshake(kHandshakeVersion, kClientName), [&](PipeReader& r) {
        if (!r.Get(&build_)) return false;
        answered_ = true;
        return true;
      });
}

bool Session::Connect(const char16_t* path, bool portable) {
  if (!path || !path[0]) return false;
  platform::WineTarget wine;
  switch (platform::ClassifyWinePath(path, &wine)) {
    case platform::WinePath::kWine:
      return !MissingUnderWine(wine) && ConnectThroughRelay(wine, portable);
    case platform::WinePath::kNoPrefix: {
      char utf8[kPathUnits * 3 + 1];
      Utf16ToUtf8(path, platform::TextLength(path), utf8, sizeof utf8);
      if (wine.prefix[0] == '\0') {
        SetSetupText("No Wine prefix for the Windows path '%s': set WINEPREFIX to the prefix "
                     "that holds the Terminal", utf8);
      } else {
        const char* problem = platform::PrefixProblem(wine.prefix);
        SetSetupText("No Wine prefix at '%s' for the Windows path '%s': %s (set WINEPREFIX to "
                     "the prefix that holds the Terminal)",
                     wine.prefix, utf8, problem ? problem : "it cannot be used");
      }
      return false;
    }
    case platform::WinePath::kTooLong:
      SetSetupText("Path too long");
      return false;
    case platform::WinePath::kNative:
      break;
  }
  size_t len = platform::TextLength(path);
  if (len > kPathUnits) {
    SetSetupText("Path too long");
    return false;
  }
  char16_t name[kPathUnits];
  if (!PipeNameOf(path, path_hash_, name)) {
    SetSetupText("Hash calculation failed");
    return false;
  }
  if (OpenPipe(name) || interrupted_ || timed_out_) return IsOpen();
  // Where no pipe can be served at all, a started Terminal could only fail too: say why
  // now rather than after the whole wait.
  auto place_refused = [this] {
    char why[kSetupTextUnits];
    uint32_t error = platform::PipePlaceProblem(why, sizeof why);
    if (error != 0) SetSetupText("CreateFile failed [%u]: %s", error, why);
    return error != 0;
  };
  if (place_refused()) return false;

  if (!platform::PathExists(path)) {
    // Say which: a Terminal that is not there, or one meant under Wine in no prefix.
    char utf8[kPathUnits * 3 + 1];
    Utf16ToUtf8(path, len, utf8, sizeof utf8);
    char why[kSetupTextUnits];
    if (platform::MissingPrefixOf(path, why, sizeof why))
      SetSetupText("Process create failed '%s': no such file; %s", utf8, why);
    else
      SetSetupText("Process create failed '%s': no such file", utf8);
    return false;
  }
  if (!platform::SpawnDetached(path, portable)) {
    char utf8[kPathUnits * 3 + 1];
    Utf16ToUtf8(path, len, utf8, sizeof utf8);
    SetSetupText("Process create failed '%s'", utf8);
    return false;
  }
  for (uint32_t i = 0; i < kConnectPolls; ++i) {
    if (!Pause(kConnectPollMs)) return false;
    if (OpenPipe(name)) return true;
    if (interrupted_ || timed_out_ || place_refused()) return false;
  }
  SetSetupText("Pipe server didn't answer in %u sec", kConnectPolls * kConnectPollMs / 1000);
  return false;
}

bool Session::MissingUnderWine(const platform::WineTarget& target) {
  // Known before any relay starts (a fresh prefix takes Wine tens of seconds): the
  // Terminal's file, through the prefix's drive links.
  char16_t prefix[platform::kWineFolderBytes];
  char16_t unix_path[platform::kWineFolderBytes];
  if (Utf8ToUtf16(target.prefix, prefix, platform::kWineFolderBytes) == SIZE_MAX ||
      !platform::WineUnixPath(prefix, target.windows_path, unix_path, platform::kWineFolderBytes) ||
      platform::PathExists(unix_path))
    return false;
  char windows[platform::kWindowsPathUnits * 3 + 1];
  Utf16ToUtf8(target.windows_path, platform::TextLength(target.windows_path), windows, sizeof windows);
  SetSetupText("Process create failed '%s': no such file in the Wine prefix '%s'", windows,
               target.prefix);
  return true;
}

bool Session::OpenPipe(const char16_t* name) {
  uint32_t error = 0;
  pipe_.Set(open_pipe_(name, &error, limit()));
  if (IsOpen()) return true;
  if (error == platform::kOpenInterrupted) {
    interrupted_ = true;
    return false;
  }
  if (error == platform::kOpenTimedOut) {
    timed_out_ = true;
    return false;
  }
  SetSetupText("CreateFile failed [%u]", error);
  return false;
}

bool Session::PipeNameOf(const char16_t* path, uint8_t hash[32],
                              char16_t (&name)[kPathUnits]) {
  const size_t len = platform::TextLength(path);
  char16_t normal[kPathUnits + 1];
  size_t n = platform::FinalPath(path, normal, kPathUnits + 1);
  if (n == 0) {
    for (n = 0; n < len && n < kPathUnits; ++n) normal[n] = path[n];
    normal[n] = 0;
  }
  platform::LowerCase(normal, n);
  if (!platform::Sha256(normal, n * 2, hash)) return false;
  PipeName(hash, name);
  return true;
}

void Session::PipeName(const uint8_t hash[32], char16_t (&name)[kPathUnits]) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t i = 0;
  for (; kPipePrefix[i]; ++i) name[i] = kPipePrefix[i];
  for (int b = 0; b < 32; ++b) {
    name[i++] = static_cast<char16_t>(kHex[hash[b] >> 4]);
    name[i++] = static_cast<char16_t>(kHex[hash[b] & 0xF]);
  }
  name[i] = 0;
}

int32_t Session::Login(uint64_t login, const char16_t* password, const char16_t* server) {
  return exchange::Login(pipe_, 0, login, password, server);
}

int32_t Session::WaitReady(uint32_t timeout_ms) {
  uint64_t limit = timeout_ms ? timeout_ms : kDefaultReadyTimeoutMs;
  uint64_t elapsed = 0;
  for (;;) {
    if (!IsOpen()) return kIpcNoConnection;
    int32_t state = 0;
    int32_t r = exchange::ConnectionState(pipe_, &state);
    if (r < 0) return r;
    if (state == kStateReady) return kResultSuccess;
    if (state == kStateAuthFailed) return kResultAuthFailed;
    elapsed += kReadyPollMs;
    timed_out_ = false;
    if (!Pause(kReadyPollMs)) {
      if (timed_out_) return kIpcTimeout;
      // Cancelled: as if the link broke. Interrupted: the caller raises; either way the
      // session is given up.
      Close();
      return interrupted_ ? kIpcInterrupted : kIpcNoConnection;
    }
    if (elapsed >= limit || MsLeft() == 0) return kIpcTimeout;
  }
}

int32_t Session::Version(int32_t* first, int32_t* second, ArrayBlock* text) {
  int32_t r = exchange::Version(pipe_, 0, first, second, text);
  if (r == 0) text->Reset();  // status 0: no version text to show
  return r;
}

void Session::Close() {
  pipe_.Close();
  cancelled_ = false;
  ReleaseKeptBlocks();
  for (auto& b : path_hash_) b = 0;
  setup_text_[0] = 0;
}

}  // namespace orbisyn
