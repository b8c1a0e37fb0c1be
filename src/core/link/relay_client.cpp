// A Terminal inside a Wine prefix: its pipe, carried over loopback TCP by the prefix's
// relay (src/relay/README.md). After the relay's answer the link is a plain byte stream,
// and every exchange runs on it as on the pipe.
#include <cstring>

#include "link/session.h"
#include "platform/text.h"
#include "platform/wine.h"

namespace orbisyn {

namespace {

constexpr uint32_t kRelayStartMs = 60000;  // a new prefix takes Wine tens of seconds
constexpr uint32_t kFlagPortable = 1;
constexpr char kMagic[4] = {'O', 'R', 'B', 'R'};

enum class Greeting { kOpen, kRefused, kFailed, kStopped };

}  // namespace

bool CInterClient::GoOnWaiting(void* self) {
  auto* client = static_cast<CInterClient*>(self);
  if (platform::InterruptRequested()) {
    client->interrupted_ = true;
    return false;
  }
  if (client->MsLeft() == 0) {
    client->NoteTimedOut();
    return false;
  }
  return !client->cancelled_;
}

namespace {

// Sends the hello and reads the relay's answer on the open slot. kFailed: the relay could
// not open the Terminal's pipe, and text holds its reason.
Greeting Greet(PipeSlot& slot, const platform::WaitLimit& limit,
               const platform::RelayEndpoint& relay, const platform::WineTarget& target,
               bool portable, char16_t* text, bool* interrupted, bool* timed_out) {
  uint8_t hello[44 + 2 * platform::kWindowsPathUnits];
  const uint32_t units = static_cast<uint32_t>(platform::TextLength(target.windows_path));
  const uint32_t flags = portable ? kFlagPortable : 0;
  std::memcpy(hello, kMagic, 4);
  std::memcpy(hello + 4, relay.token, platform::kRelayTokenBytes);
  std::memcpy(hello + 36, &flags, 4);
  std::memcpy(hello + 40, &units, 4);
  std::memcpy(hello + 44, target.windows_path, 2 * units);
  const platform::PipeHandle h = slot.handle();
  platform::IoResult io = platform::PipeWrite(h, hello, 44 + 2 * size_t{units}, limit);
  std::memset(hello + 4, 0, platform::kRelayTokenBytes);
  int32_t result = 0;
  uint32_t length = 0;
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, &result, sizeof result, limit);
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, &length, sizeof length, limit);
  if (io == platform::IoResult::kOk && length >= kSetupTextUnits) io = platform::IoResult::kFailed;
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, text, 2 * size_t{length}, limit);
  if (io == platform::IoResult::kInterrupted) *interrupted = true;
  if (io == platform::IoResult::kTimedOut) *timed_out = true;
  if (io == platform::IoResult::kInterrupted || io == platform::IoResult::kTimedOut)
    return Greeting::kStopped;
  if (io != platform::IoResult::kOk) return Greeting::kRefused;
  text[length] = 0;
  return result == 0 ? Greeting::kOpen : Greeting::kFailed;
}

}  // namespace

bool CInterClient::ConnectThroughRelay(const platform::WineTarget& target, bool portable) {
  char why[kSetupTextUnits];
  platform::RelayEndpoint relay, stale;
  bool have_stale = false;
  // A recorded relay may have gone (idle, or its prefix's server ended): one fresh start.
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The relay gets initialize's time, but no more than a start may take.
    const uint64_t left = MsLeft();
    const uint32_t start_ms = left < kRelayStartMs ? static_cast<uint32_t>(left) : kRelayStartMs;
    platform::RelayResult got =
        platform::ObtainRelay(target, have_stale ? &stale : nullptr, start_ms,
                              &CInterClient::GoOnWaiting, this, &relay, why, sizeof why);
    if (got == platform::RelayResult::kStopped) {
      // Neither cancelled nor out of time: then a signal handler asked to stop.
      if (!cancelled_ && !timed_out_) interrupted_ = true;
      return false;
    }
    if (got == platform::RelayResult::kFailed) {
      if (MsLeft() == 0) NoteTimedOut();
      SetSetupText("%s", why);
      return false;
    }
    const bool recorded = got == platform::RelayResult::kRecorded;
    uint32_t error = 0;
    platform::PipeHandle h = platform::LoopbackConnect(relay.port, &error);
    if (h == platform::kInvalidPipe) {
      if (error == platform::kOpenInterrupted) {
        interrupted_ = true;
        return false;
      }
      if (recorded) {
        stale = relay;
        have_stale = true;
        continue;
      }
      SetSetupText("Relay unreachable at 127.0.0.1:%u [%u]", relay.port, error);
      return false;
    }
    // Open before the answer is read, so that shutdown() from another thread ends the
    // wait while the relay starts the Terminal.
    pipe_.Set(h);
    char16_t text[kSetupTextUnits];
    switch (Greet(pipe_, limit(), relay, target, portable, text, &interrupted_, &timed_out_)) {
      case Greeting::kOpen:
        return true;
      case Greeting::kFailed:
        pipe_.Close();
        for (size_t i = 0; i < kSetupTextUnits; ++i) {
          setup_text_[i] = text[i];
          if (!text[i]) break;
        }
        return false;
      case Greeting::kStopped:
        pipe_.Close();
        return false;
      case Greeting::kRefused:
        pipe_.Close();
        if (cancelled_) return false;
        if (recorded) {
          stale = relay;
          have_stale = true;
          continue;
        }
        SetSetupText("The relay at 127.0.0.1:%u refused the connection", relay.port);
        return false;
    }
  }
  SetSetupText("The relay of '%s' could not be reached", target.prefix);
  return false;
}

}  // namespace orbisyn
