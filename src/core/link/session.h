// The one session between this process and a Terminal: pipe naming, starting the
// Terminal, handshake, login, readiness and close. The command families add their
// exchanges as free functions over it (see each family's client.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/channel.h"
#include "platform/compat.h"
#include "platform/wine.h"

namespace orbisyn {

constexpr size_t kPathUnits = 260;  // Windows path limit, kept on every platform
constexpr size_t kSetupTextUnits = 2048;

class Session {
 public:
  Session();

  // Held for a whole exchange, and across initialize's connect, handshake, login and
  // wait, so that exchanges of different threads never interleave. Everything below
  // except Cancel belongs to the thread that holds it.
  platform::Lock& lock() { return lock_; }
  // Any thread, while another holds the session: its transfer, connect poll or readiness
  // poll ends promptly, as on a broken link. Close clears the request.
  void Cancel();

  // The limits of the current call, set by the thread that holds the session before it
  // begins: idle_ms bounds every wait of an exchange in which no byte moves, deadline (a
  // platform::MonotonicMs value) every wait of the call, the connect's included. Zero:
  // no limit.
  void SetLimits(uint32_t idle_ms, uint64_t deadline);
  // What the waits of the current call honour. A wait outside the pipe (another route to
  // the Terminal) passes it to the platform, or asks MsLeft, and on running out calls
  // NoteTimedOut.
  const platform::WaitLimit& limit() const { return pipe_.limit(); }
  // Milliseconds left before the deadline: platform::kNoLimit without one, 0 once passed.
  uint64_t MsLeft() const;
  // A wait of the connect ended at the deadline: Initialize reports kIpcTimeout.
  void NoteTimedOut() { timed_out_ = true; }

  bool IsOpen() const { return pipe_.IsOpen(); }
  // The slot every exchange of this session runs on.
  PipeSlot& pipe() { return pipe_; }
  // Why the last connect attempt failed; empty after a close.
  const char16_t* setup_text() const { return setup_text_; }
  // The Terminal build of the last handshake (0 before the first); survives Close.
  int32_t build() const { return build_; }
  // True once a Terminal has answered a handshake (its build was read).
  bool answered() const { return answered_; }
  const uint8_t* path_hash() const { return path_hash_; }

  // Connects (locating the Terminal when path is empty) and performs the handshake.
  // Returns the handshake status (>= 0) or a negative result code; kIpcInitFailed with
  // the reason in the setup text when no link could be set up, kIpcTimeout when the
  // deadline came first.
  int32_t Initialize(const char16_t* path, bool portable);
  // Opens the pipe of the Terminal at path, starting the Terminal when its pipe is absent.
  // On failure the setup text says why.
  bool Connect(const char16_t* path, bool portable);
  bool OpenPipe(const char16_t* name);
  // How OpenPipe opens a pipe: platform::PipeOpen unless set (the relay opens the pipe for
  // overlapped I/O and moves the bytes itself; the exchanges here need the default).
  using PipeOpener = platform::PipeHandle (*)(const char16_t* name, uint32_t* error,
                                              const platform::WaitLimit& limit);
  void set_pipe_opener(PipeOpener open) { open_pipe_ = open; }
  // Writes "\\.\pipe\Zelt.Terminal." and 64 upper-case hex digits into name.
  static void PipeName(const uint8_t hash[32], char16_t (&name)[kPathUnits]);
  // The pipe of the Terminal at path (at most kPathUnits units): its final form,
  // lower-cased and hashed into hash, then named. False when hashing fails.
  static bool PipeNameOf(const char16_t* path, uint8_t hash[32], char16_t (&name)[kPathUnits]);
  int32_t Login(uint64_t login, const char16_t* password, const char16_t* server);
  // Polls until the Terminal is ready: at most timeout_ms (0: 60 s) counted in poll
  // rounds, and never past the deadline (kIpcTimeout either way).
  int32_t WaitReady(uint32_t timeout_ms);
  // On a status > 0, text holds the version text's units.
  int32_t Version(int32_t* first, int32_t* second, ArrayBlock* text);
  void Close();
  // At unload or process exit: never waits for a lock that a vanished thread held.
  void CloseAtExit() { pipe_.CloseAtExit(); }

  // Formats a printf-style UTF-8 message into the setup text.
  void SetSetupText(const char* format, ...) ORBISYN_PRINTF(2, 3);

 private:
  // The Terminal inside a Wine prefix, through the prefix's relay (link/relay_client.cpp).
  bool ConnectThroughRelay(const platform::WineTarget& target, bool portable);
  // True, with the setup text, when the Terminal's file is missing from its prefix.
  bool MissingUnderWine(const platform::WineTarget& target);
  static bool GoOnWaiting(void* self);

  // Sleeps ms (less when the deadline comes first), in short steps; false when the wait
  // must end early: cancelled, interrupted_ when a signal handler asked, timed_out_ when
  // the deadline had passed.
  bool Pause(uint32_t ms);
  void ForgetAfterFork();
  static void ForgetInChild();

  platform::Lock lock_;
  PipeOpener open_pipe_ = &platform::PipeOpen;
  std::atomic<bool> cancelled_{false};
  PipeSlot pipe_;
  uint8_t path_hash_[32] = {};
  char16_t setup_text_[kSetupTextUnits] = {};
  int32_t build_ = 0;
  bool answered_ = false;
  // True when the poll ended because the interrupt check asked to stop.
  bool interrupted_ = false;
  // True when a wait of the connect ended at the deadline.
  bool timed_out_ = false;
};

// The process-wide session.
extern Session g_client;

}  // namespace orbisyn
