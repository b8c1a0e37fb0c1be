#include "link/inter_client.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "link/commands.h"
#include "link/pipe_channel.h"
#include "link/terminal_locator.h"
#include "link/text.h"

namespace orbisyn {

CInterClient g_client;

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

// Closes the link when the library is unloaded or the process exits; touches no Python.
struct CloseAtUnload {
  ~CloseAtUnload() { g_client.Close(); }
} close_at_unload;

}  // namespace

void CInterClient::SetSetupText(const char* format, ...) {
  char narrow[kSetupTextUnits * 3];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(narrow, sizeof narrow, format, args);
  va_end(args);
  if (n < 0) narrow[0] = '\0';
  Utf8ToUtf16(narrow, setup_text, kSetupTextUnits);
}

int32_t CInterClient::Initialize(const char16_t* path, bool portable) {
  if (IsOpen()) {
    SetSetupText("CInterClient already initialized");
    return kIpcInitFailed;
  }
  bool empty = !path || !path[0];
  if (!Connect(path, portable) && !(empty && LocateAndConnect(*this))) return kIpcInitFailed;

  const uint32_t units = sizeof(kClientName) / 2 - 1;
  return Exchange(
      pipe, cmd::kHandshake, 4 + TextWireSize(units),
      [&](PipeWriter& w) { return w.PutInt32(kHandshakeVersion) && w.PutText(kClientName, units); },
      [&](PipeReader& r) { return r.Get(&build); });
}

bool CInterClient::Connect(const char16_t* path, bool portable) {
  if (!path || !path[0]) return false;
  size_t len = platform::TextLength(path);
  if (len > kPathUnits) {
    SetSetupText("Path too long");
    return false;
  }
  char16_t normal[kPathUnits + 1];
  size_t n = platform::FinalPath(path, normal, kPathUnits + 1);
  if (n == 0) {
    for (n = 0; n < len; ++n) normal[n] = path[n];
    normal[n] = 0;
  }
  platform::LowerCase(normal, n);
  if (!platform::Sha256(normal, n * 2, path_hash)) {
    SetSetupText("Hash calculation failed");
    return false;
  }
  char16_t name[kPathUnits];
  PipeName(path_hash, name);
  if (OpenPipe(name)) return true;

  if (!platform::SpawnDetached(path, portable)) {
    char utf8[kPathUnits * 3 + 1];
    Utf16ToUtf8(path, len, utf8, sizeof utf8);
    SetSetupText("Process create failed '%s'", utf8);
    return false;
  }
  for (uint32_t i = 0; i < kConnectPolls; ++i) {
    platform::SleepMs(kConnectPollMs);
    if (OpenPipe(name)) return true;
  }
  SetSetupText("Pipe server didn't answer in %u sec", kConnectPolls * kConnectPollMs / 1000);
  return false;
}

bool CInterClient::OpenPipe(const char16_t* name) {
  uint32_t error = 0;
  pipe = platform::PipeOpen(name, &error);
  if (IsOpen()) return true;
  SetSetupText("CreateFile failed [%u]", error);
  return false;
}

void CInterClient::PipeName(const uint8_t hash[32], char16_t* name) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t i = 0;
  for (; kPipePrefix[i]; ++i) name[i] = kPipePrefix[i];
  for (int b = 0; b < 32; ++b) {
    name[i++] = static_cast<char16_t>(kHex[hash[b] >> 4]);
    name[i++] = static_cast<char16_t>(kHex[hash[b] & 0xF]);
  }
  name[i] = 0;
}

int32_t CInterClient::Login(uint64_t login, const char16_t* password, const char16_t* server) {
  uint32_t pw = TextUnits(password);
  uint32_t sv = TextUnits(server);
  return Exchange(
      pipe, cmd::kLogin, 4 + 8 + TextWireSize(pw) + TextWireSize(sv),
      [&](PipeWriter& w) {
        return w.PutInt32(0) && w.PutUInt64(login) && w.PutText(password, pw) &&
               w.PutText(server, sv);
      },
      NoReply);
}

int32_t CInterClient::WaitReady(uint32_t timeout_ms) {
  uint64_t limit = timeout_ms ? timeout_ms : kDefaultReadyTimeoutMs;
  uint64_t elapsed = 0;
  for (;;) {
    if (!IsOpen()) return kIpcNoConnection;
    int32_t state = 0;
    int32_t r = Exchange(pipe, cmd::kConnectionState, 0, NoPayload,
                         [&](PipeReader& rd) { return rd.Get(&state); });
    if (r < 0) return r;
    if (state == kStateReady) return kResultSuccess;
    if (state == kStateAuthFailed) return kResultAuthFailed;
    elapsed += kReadyPollMs;
    platform::SleepMs(kReadyPollMs);
    if (elapsed >= limit) return kIpcTimeout;
  }
}

int32_t CInterClient::Version(int32_t* first, int32_t* second, char16_t** text, uint32_t* units) {
  MallocAllocator alloc;
  void* block = nullptr;
  uint32_t count = 0;
  int32_t r = Exchange(
      pipe, cmd::kVersion, 4, [](PipeWriter& w) { return w.PutInt32(0); },
      [&](PipeReader& rd) {
        return rd.Get(first) && rd.Get(second) && rd.ReadArray(alloc, 2, &block, &count);
      });
  if (r <= 0) {
    std::free(block);
    return r;
  }
  *text = static_cast<char16_t*>(block);
  *units = count;
  return r;
}

void CInterClient::Close() {
  if (IsOpen()) {
    platform::PipeClose(pipe);
    pipe = platform::kInvalidPipe;
  }
  for (auto& b : path_hash) b = 0;
  setup_text[0] = 0;
}

}  // namespace orbisyn
