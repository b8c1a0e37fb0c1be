// A Terminal inside a Wine prefix: its pipe, carried over loopback TCP by the prefix's
// relay (src/relay/README.md). Whoever listens on the relay's port must first prove that it
// holds the token (link/loopback_proof.h); only then does the path go out, and after the
// relay's answer the link is a plain byte stream on which every exchange runs as on the
// pipe.
#include <cstring>

#include "link/loopback_proof.h"
#include "link/session.h"
#include "platform/text.h"
#include "platform/wine.h"

namespace orbisyn {

namespace {

constexpr uint32_t kRelayStartMs = 60000;  // a new prefix takes Wine tens of seconds
// The relay answers a hello at once; a peer that takes longer is not worth the caller's
// whole time limit.
constexpr uint64_t kProofMs = 2000;
// How long a running relay that keeps dropping us is tried before we say so.
constexpr uint64_t kRetryMs = 15000;
constexpr uint32_t kFlagPortable = 1;
constexpr uint8_t kMagic[proof::kMagicBytes] = {'O', 'R', 'B', 'R'};

enum class Greeting {
  kOpen,      // relaying
  kFailed,    // the relay could not open the Terminal's pipe: text says why
  kClosed,    // closed or refused before a byte came back
  kSilent,    // nothing came back within kProofMs
  kImpostor,  // something came back, but no proof of the token
  kStopped,   // interrupted, cancelled or out of time
};

}  // namespace

bool Session::GoOnWaiting(void* self) {
  auto* client = static_cast<Session*>(self);
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

// The mutual proof, then the path, then the relay's answer, on the open slot.
Greeting Greet(PipeSlot& slot, const platform::WaitLimit& limit,
               const platform::RelayEndpoint& relay, const platform::WineTarget& target,
               bool portable, char16_t* text, bool* interrupted, bool* timed_out) {
  const platform::PipeHandle h = slot.handle();
  platform::WaitLimit short_limit = limit;
  const uint64_t cap = platform::MonotonicMs() + kProofMs;
  if (short_limit.deadline == 0 || short_limit.deadline > cap) short_limit.deadline = cap;
  auto stopped = [&](platform::IoResult io) {
    if (io == platform::IoResult::kInterrupted) *interrupted = true;
    if (io == platform::IoResult::kTimedOut) *timed_out = true;
    return Greeting::kStopped;
  };
  // Ours timed out, or the caller's: only the caller's ends the call.
  auto short_ran_out = [&] {
    return limit.deadline == 0 || platform::MonotonicMs() < limit.deadline;
  };

  uint8_t hello[proof::kHelloBytes];
  std::memcpy(hello, kMagic, proof::kMagicBytes);
  uint8_t* client_nonce = hello + proof::kMagicBytes;
  if (!platform::RandomBytes(client_nonce, proof::kNonceBytes)) return Greeting::kClosed;
  platform::IoResult io = platform::PipeWrite(h, hello, sizeof hello, short_limit);
  uint8_t challenge[proof::kChallengeBytes];
  // The first byte apart: a peer that sends nothing may be a relay pushed to drop us by a
  // flood; one that sends something else is no relay of ours.
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, challenge, 1, short_limit);
  if (io == platform::IoResult::kBroken || io == platform::IoResult::kFailed) return Greeting::kClosed;
  if (io == platform::IoResult::kTimedOut && short_ran_out()) return Greeting::kSilent;
  if (io != platform::IoResult::kOk) return stopped(io);
  io = platform::PipeRead(h, challenge + 1, sizeof challenge - 1, short_limit);
  if (io == platform::IoResult::kBroken || io == platform::IoResult::kFailed ||
      (io == platform::IoResult::kTimedOut && short_ran_out()))
    return Greeting::kImpostor;
  if (io != platform::IoResult::kOk) return stopped(io);
  const uint8_t* server_nonce = challenge;
  if (!proof::Check(proof::Side::kServer, relay.token, kMagic, client_nonce, server_nonce,
                    challenge + proof::kNonceBytes))
    return Greeting::kImpostor;

  // Proven: our proof, then what the relay needs to open the pipe, in one write.
  uint8_t answer[proof::kProofBytes + 8 + 2 * platform::kWindowsPathUnits];
  const uint32_t units = static_cast<uint32_t>(platform::TextLength(target.windows_path));
  const uint32_t flags = portable ? kFlagPortable : 0;
  if (!proof::Prove(proof::Side::kClient, relay.token, kMagic, client_nonce, server_nonce, answer))
    return Greeting::kClosed;
  std::memcpy(answer + proof::kProofBytes, &flags, 4);
  std::memcpy(answer + proof::kProofBytes + 4, &units, 4);
  std::memcpy(answer + proof::kProofBytes + 8, target.windows_path, 2 * units);
  io = platform::PipeWrite(h, answer, proof::kProofBytes + 8 + 2 * size_t{units}, limit);
  // The answer may take as long as the Terminal takes to start: the caller's limit.
  int32_t result = 0;
  uint32_t length = 0;
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, &result, sizeof result, limit);
  // Our proof came too late, after a flood had pushed us out: the relay is ours all the same.
  if (io == platform::IoResult::kBroken || io == platform::IoResult::kFailed) return Greeting::kClosed;
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, &length, sizeof length, limit);
  if (io == platform::IoResult::kOk && length >= kSetupTextUnits) io = platform::IoResult::kFailed;
  if (io == platform::IoResult::kOk) io = platform::PipeRead(h, text, 2 * size_t{length}, limit);
  if (io == platform::IoResult::kInterrupted || io == platform::IoResult::kTimedOut) return stopped(io);
  if (io != platform::IoResult::kOk) {
    text[0] = 0;  // a reply cut short
    return Greeting::kFailed;
  }
  text[length] = 0;
  return result == 0 ? Greeting::kOpen : Greeting::kFailed;
}

}  // namespace

bool Session::ConnectThroughRelay(const platform::WineTarget& target, bool portable) {
  char why[kSetupTextUnits];
  platform::RelayEndpoint relay, stale;
  bool have_stale = false;
  // A recorded relay that is not ours, or does not answer: forgotten, and one fresh start.
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The relay gets initialize's time, but no more than a start may take.
    const uint64_t left = MsLeft();
    const uint32_t start_ms = left < kRelayStartMs ? static_cast<uint32_t>(left) : kRelayStartMs;
    platform::RelayResult got =
        platform::ObtainRelay(target, have_stale ? &stale : nullptr, start_ms,
                              &Session::GoOnWaiting, this, &relay, why, sizeof why);
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
    Greeting greeting = Greeting::kClosed;
    int silent = 0;
    const uint64_t first_try = platform::MonotonicMs();
    for (uint32_t pause_ms = 20;; pause_ms = pause_ms < 320 ? 2 * pause_ms : pause_ms) {
      uint32_t error = 0;
      platform::PipeHandle h = platform::LoopbackConnect(relay.port, &error);
      if (h == platform::kInvalidPipe) {
        if (error == platform::kOpenInterrupted) {
          interrupted_ = true;
          return false;
        }
        greeting = Greeting::kClosed;
      } else {
        // Open before the answer is read, so that shutdown() from another thread ends the
        // wait while the relay starts the Terminal.
        pipe_.Set(h);
        char16_t text[kSetupTextUnits];
        greeting = Greet(pipe_, limit(), relay, target, portable, text, &interrupted_, &timed_out_);
        if (greeting == Greeting::kOpen) return true;
        pipe_.Close();
        if (greeting == Greeting::kFailed) {
          if (text[0] == 0) {
            SetSetupText("The relay at 127.0.0.1:%u broke off its answer", relay.port);
          } else {
            for (size_t i = 0; i < kSetupTextUnits; ++i) {
              setup_text_[i] = text[i];
              if (!text[i]) break;
            }
          }
          return false;
        }
        if (greeting == Greeting::kStopped || cancelled_) return false;
      }
      // Our own relay, still running, that dropped us or has not answered yet: strangers
      // flooding its port push unfinished handshakes out. Try it again; a second relay
      // could not serve the prefix beside it anyway.
      if (greeting == Greeting::kImpostor || !platform::RelayRuns(relay)) break;
      if (greeting == Greeting::kSilent && ++silent == 2) break;
      if (platform::MonotonicMs() - first_try > kRetryMs) {
        SetSetupText("The relay at 127.0.0.1:%u (process %d) kept closing our connection for "
                     "%u s: a flood of connections from another program?",
                     relay.port, static_cast<int>(relay.pid), static_cast<unsigned>(kRetryMs / 1000));
        return false;
      }
      if (!GoOnWaiting(this) || !platform::SleepMs(pause_ms)) {
        if (!cancelled_ && !timed_out_) interrupted_ = true;
        return false;
      }
    }
    if (got == platform::RelayResult::kRecorded) {
      stale = relay;
      have_stale = true;
      continue;
    }
    switch (greeting) {
      case Greeting::kImpostor:
        SetSetupText("The listener at 127.0.0.1:%u did not prove that it is the relay started "
                     "for '%s'", relay.port, target.prefix);
        break;
      case Greeting::kSilent:
        SetSetupText("The relay at 127.0.0.1:%u did not answer within %u s", relay.port,
                     static_cast<unsigned>(kProofMs / 1000));
        break;
      default:
        SetSetupText("The relay at 127.0.0.1:%u exited before it answered", relay.port);
        break;
    }
    return false;
  }
  SetSetupText("The relay of '%s' could not be reached", target.prefix);
  return false;
}

}  // namespace orbisyn
