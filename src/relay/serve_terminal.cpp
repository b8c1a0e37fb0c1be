// serve-terminal: loopback clients (the Linux module) reach a Terminal's pipe inside Wine.
// Every local user can connect, so each client and the relay prove to each other that they
// hold the token before a pipe is opened for it, exactly as the Windows session opens one.
// One thread carries every unfinished handshake, capped and oldest dropped first: a flood of
// strangers costs sockets, never threads.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "handshake.h"
#include "link/results.h"
#include "link/session.h"
#include "relay.h"

namespace relay {

namespace {

constexpr uint8_t kMagic[4] = {'O', 'R', 'B', 'R'};
constexpr uint32_t kFlagPortable = 1;
constexpr ULONGLONG kHelloMs = 2000;
constexpr unsigned long kDefaultIdleSeconds = 600;
// Clients served at once, each with a thread or three.
constexpr long kMaxClients = 256;
// Unfinished handshakes at once; one more pushes out the oldest.
constexpr size_t kMaxPending = 64;
// Accepts per round, so that clients already in their handshake are read between them.
constexpr int kAcceptsPerRound = 16;
// Lines about dropped clients: this many per window, then one line with the count.
constexpr unsigned kDropLines = 10;
constexpr ULONGLONG kDropWindowMs = 10000;
constexpr int kExitUsage = 2;
constexpr int kExitAnotherRelay = 3;
// Wine keeps named objects per prefix and user (one server each): one relay there.
constexpr wchar_t kOneRelay[] = L"Local\\orbisyn-relay.serve-terminal";

Token g_token;
std::atomic<long> g_clients{0};
std::atomic<ULONGLONG> g_last_client{0};  // when the last client left (or the start)

// The token comes on standard input, one line of 64 hex digits and then the end: an
// environment variable would be copied into every process Wine forks from this one,
// the Terminal's included, where /proc shows it.
bool TakeToken() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
  char text[kTokenDigits + 8];
  size_t have = 0;
  bool ok = true;
  for (;;) {
    if (have == sizeof text) {
      ok = false;  // longer than a token: not one
      break;
    }
    DWORD got = 0;
    if (!ReadFile(in, text + have, static_cast<DWORD>(sizeof text - have), &got, nullptr) ||
        got == 0) {
      break;
    }
    have += got;
  }
  CloseHandle(in);
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
  if (have > 0 && text[have - 1] == '\n') --have;
  if (have > 0 && text[have - 1] == '\r') --have;
  ok = ok && ParseToken(text, have, &g_token);
  SecureZeroMemory(text, sizeof text);
  return ok;
}

uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool SendReply(SOCKET s, int32_t result, const char16_t* text) {
  uint32_t units = static_cast<uint32_t>(orbisyn::platform::TextLength(text));
  std::string reply(8 + size_t{units} * 2, '\0');
  std::memcpy(&reply[0], &result, 4);
  std::memcpy(&reply[4], &units, 4);
  std::memcpy(&reply[8], text, size_t{units} * 2);
  return SendAll(s, reply.data(), reply.size());
}

// A client that has proved itself, on a thread of its own.
struct Proven {
  SOCKET sock;
  unsigned long id;
  bool portable;
  char16_t path[orbisyn::kPathUnits + 1];
};

void Serve(const Proven& c) {
  std::wstring shown(c.path, c.path + orbisyn::platform::TextLength(c.path));
  // A session of its own per client: the pipe name, the busy wait, the Terminal's start
  // and the poll for its pipe are the Windows session's own.
  std::unique_ptr<orbisyn::Session> session(new (std::nothrow) orbisyn::Session);
  if (!session) return;
  session->set_pipe_opener(&OpenPipeOverlapped);
  if (!session->Connect(c.path, c.portable)) {
    const char16_t* why = session->setup_text();
    Log("client %lu: %s: %s", c.id, Utf8(shown).c_str(),
        Utf8(std::wstring(why, why + orbisyn::platform::TextLength(why))).c_str());
    SendReply(c.sock, orbisyn::kIpcInitFailed, why);
    return;
  }
  if (SendReply(c.sock, 0, u"")) {
    Log("client %lu: relaying to %s%s", c.id, Utf8(shown).c_str(), c.portable ? " (portable)" : "");
    Pump(c.sock, LongToHandle(session->pipe().handle()));
  }
  session->Close();
  Log("client %lu: closed", c.id);
}

DWORD WINAPI ClientThread(void* arg) {
  std::unique_ptr<Proven> c(static_cast<Proven*>(arg));
  Serve(*c);
  closesocket(c->sock);
  g_last_client = GetTickCount64();
  --g_clients;
  return 0;
}

// Lines about dropped clients, at most kDropLines per window: a stranger's flood must not
// fill the disk or keep the log writer busy.
class DropLog {
 public:
  void Note(ULONGLONG now, unsigned long id, const char* why) {
    Roll(now);
    if (shown_ < kDropLines) {
      ++shown_;
      Log("client %lu dropped: %s", id, why);
    } else {
      ++hidden_;
    }
  }
  void Roll(ULONGLONG now) {
    if (now - since_ < kDropWindowMs) return;
    if (hidden_ > 0) {
      Log("%lu more clients dropped in %llu s", hidden_,
          static_cast<unsigned long long>((now - since_) / 1000));
    }
    since_ = now;
    shown_ = 0;
    hidden_ = 0;
  }

 private:
  ULONGLONG since_ = 0;
  unsigned shown_ = 0;
  unsigned long hidden_ = 0;
};

// One client in its handshake: hello (magic, nonce), then our challenge out, then its
// proof, flags and path length, then the path. Read without blocking, stage by stage, so
// that nothing after the proof is looked at before the proof checked out.
class Handshake {
 public:
  enum class Step { kMore, kProven, kDropped };

  Handshake(SOCKET s, unsigned long id, ULONGLONG deadline) : sock_(s), id_(id), deadline_(deadline) {}

  SOCKET sock() const { return sock_; }
  unsigned long id() const { return id_; }
  ULONGLONG deadline() const { return deadline_; }
  const char* why() const { return why_; }

  Step Advance() {
    int got = recv(sock_, reinterpret_cast<char*>(buf_) + have_, static_cast<int>(Wanted() - have_), 0);
    if (got == 0) return Drop("closed before its handshake ended");
    if (got == SOCKET_ERROR) {
      return WSAGetLastError() == WSAEWOULDBLOCK ? Step::kMore : Drop("its connection failed");
    }
    have_ += static_cast<size_t>(got);
    if (stage_ == kHello && have_ >= sizeof kMagic && std::memcmp(buf_, kMagic, sizeof kMagic) != 0) {
      return Drop("not a relay hello");
    }
    if (have_ < Wanted()) return Step::kMore;
    switch (stage_) {
      case kHello: {
        if (!MakeChallenge(g_token, kMagic, buf_ + proof::kMagicBytes, &challenge_)) {
          return Drop("no challenge (random bytes or HMAC failed)");
        }
        // 64 bytes on a fresh connection fit its buffer: anything less is a broken link.
        int put = send(sock_, reinterpret_cast<const char*>(challenge_.bytes), sizeof challenge_.bytes, 0);
        if (put != static_cast<int>(sizeof challenge_.bytes)) return Drop("its connection failed");
        stage_ = kProof;
        have_ = 0;
        return Step::kMore;
      }
      case kProof: {
        if (!ClientProved(g_token, kMagic, challenge_, buf_)) return Drop("wrong proof");
        flags_ = LoadU32(buf_ + proof::kProofBytes);
        units_ = LoadU32(buf_ + proof::kProofBytes + 4);
        if ((flags_ & ~kFlagPortable) != 0 || units_ == 0 || units_ > orbisyn::kPathUnits) {
          std::snprintf(reason_, sizeof reason_, "flags %#x, path of %u units", flags_, units_);
          return Drop(reason_);
        }
        stage_ = kPath;
        have_ = 0;
        return Step::kMore;
      }
      case kPath:
        for (size_t i = 0; i < have_; i += 2) {
          if (buf_[i] == 0 && buf_[i + 1] == 0) return Drop("a NUL inside the path");
        }
        return Step::kProven;
    }
    return Drop("lost its place");
  }

  // The proven client for its thread.
  void Fill(Proven* out) const {
    out->sock = sock_;
    out->id = id_;
    out->portable = (flags_ & kFlagPortable) != 0;
    std::memcpy(out->path, buf_, have_);
    out->path[units_] = 0;
  }

 private:
  enum Stage { kHello, kProof, kPath };

  size_t Wanted() const {
    switch (stage_) {
      case kHello:
        return proof::kHelloBytes;
      case kProof:
        return proof::kProofBytes + 8;
      case kPath:
        return size_t{units_} * 2;
    }
    return 0;
  }
  Step Drop(const char* why) {
    why_ = why;
    return Step::kDropped;
  }

  SOCKET sock_;
  unsigned long id_;
  ULONGLONG deadline_;
  Stage stage_ = kHello;
  uint8_t buf_[2 * orbisyn::kPathUnits];
  size_t have_ = 0;
  Challenge challenge_ = {};
  uint32_t flags_ = 0, units_ = 0;
  const char* why_ = "";
  char reason_[64] = "";
};
static_assert(2 * orbisyn::kPathUnits >= proof::kHelloBytes, "the hello fits the buffer");

bool Blocking(SOCKET s, bool on) {
  u_long nonblocking = on ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

void StartClient(const Handshake& h, ULONGLONG now, DropLog* drops) {
  if (g_clients.load() >= kMaxClients) {
    char why[48];
    std::snprintf(why, sizeof why, "%ld clients already", kMaxClients);
    drops->Note(now, h.id(), why);
    closesocket(h.sock());
    return;
  }
  std::unique_ptr<Proven> c(new (std::nothrow) Proven);
  if (!c || !Blocking(h.sock(), true)) {
    drops->Note(now, h.id(), "no memory");
    closesocket(h.sock());
    return;
  }
  h.Fill(c.get());
  // Only now: each call is a trip to Wine's server, and strangers need none of them.
  NoDelay(h.sock());
  ++g_clients;
  HANDLE t = CreateThread(nullptr, 256 * 1024, ClientThread, c.get(),
                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (t == nullptr) {
    --g_clients;
    drops->Note(now, h.id(), "no thread");
    closesocket(h.sock());
    return;
  }
  c.release();
  CloseHandle(t);
}

bool ParseSeconds(const wchar_t* text, unsigned long* out) {
  wchar_t* end = nullptr;
  unsigned long v = std::wcstoul(text, &end, 10);
  if (end == text || *end != 0 || text[0] == L'-' || v == 0 || v > 86400UL * 365) return false;
  *out = v;
  return true;
}

int Usage() {
  Log("usage: orbisyn-relay serve-terminal [--idle-exit SECONDS] [--log FILE], with the token "
      "on standard input (64 hexadecimal digits, then the end of input)");
  return kExitUsage;
}

// "port=N" on standard output, then standard output is closed: the one line the starter
// waits for.
void AnnouncePort(uint16_t port) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::fprintf(stdout, "port=%u\n", static_cast<unsigned>(port));
  std::fflush(stdout);
  std::fclose(stdout);
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
}

SOCKET Listen(uint16_t* port) {
  SOCKET listener = NewSocket();
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = 0;
  int at_size = sizeof at;
  BOOL exclusive = TRUE;
  if (listener == INVALID_SOCKET ||
      setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive) == SOCKET_ERROR ||
      bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) == SOCKET_ERROR ||
      listen(listener, SOMAXCONN) == SOCKET_ERROR ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&at), &at_size) == SOCKET_ERROR ||
      !Blocking(listener, false)) {
    Log("cannot listen on 127.0.0.1 (error %d)", WSAGetLastError());
    if (listener != INVALID_SOCKET) closesocket(listener);
    return INVALID_SOCKET;
  }
  *port = ntohs(at.sin_port);
  return listener;
}

}  // namespace

int ServeTerminal(int argc, wchar_t** argv) {
  // First of all, so that the starter's pipe is drained and closed whatever happens next.
  const bool have_token = TakeToken();
  unsigned long idle_seconds = kDefaultIdleSeconds;
  const wchar_t* log = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--idle-exit") == 0 && i + 1 < argc &&
        ParseSeconds(argv[i + 1], &idle_seconds)) {
      ++i;
    } else if (std::wcscmp(argv[i], L"--log") == 0 && i + 1 < argc && argv[i + 1][0] != 0) {
      log = argv[++i];
    } else {
      return Usage();
    }
  }
  if (log != nullptr && !LogToFile(log, true)) {
    Log("cannot open the log file %s (error %lu): lines go to standard error",
        Utf8(log).c_str(), GetLastError());
  }
  if (!have_token) {
    Log("no valid token: standard input must hold 64 hexadecimal digits, then end");
    return kExitUsage;
  }
  // Held until the process ends.
  HANDLE one = CreateMutexW(nullptr, FALSE, kOneRelay);
  if (one == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    Log("another serve-terminal relay runs in this Wine prefix for this user: exiting");
    return kExitAnotherRelay;
  }
  if (!StartSockets()) {
    Log("Winsock did not start");
    return 1;
  }
  uint16_t port = 0;
  SOCKET listener = Listen(&port);
  if (listener == INVALID_SOCKET) return 1;
  AnnouncePort(port);
  Log("listening on 127.0.0.1:%u; exits after %lu s without clients", port, idle_seconds);

  g_last_client = GetTickCount64();
  const ULONGLONG idle_ms = ULONGLONG{idle_seconds} * 1000;
  std::vector<std::unique_ptr<Handshake>> pending;  // oldest first
  std::vector<WSAPOLLFD> polled;
  DropLog drops;
  unsigned long serial = 0;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    polled.assign(1, WSAPOLLFD{listener, POLLRDNORM, 0});
    ULONGLONG wait = 200;
    for (const auto& h : pending) {
      polled.push_back(WSAPOLLFD{h->sock(), POLLRDNORM, 0});
      if (h->deadline() <= now) {
        wait = 0;
      } else if (h->deadline() - now < wait) {
        wait = h->deadline() - now;
      }
    }
    int ready = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), static_cast<INT>(wait));
    if (ready == SOCKET_ERROR) {
      Log("poll failed (error %d)", WSAGetLastError());
      return 1;
    }
    now = GetTickCount64();
    // Those already in their handshake go first: a flood arriving meanwhile must not push
    // out a client that has answered.
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      std::unique_ptr<Handshake>& h = pending[i];
      Handshake::Step step = Handshake::Step::kMore;
      if (polled[i + 1].revents != 0) step = h->Advance();
      if (step == Handshake::Step::kMore && h->deadline() <= now) {
        step = Handshake::Step::kDropped;
        drops.Note(now, h->id(), "no complete handshake within 2000 ms");
      } else if (step == Handshake::Step::kDropped) {
        drops.Note(now, h->id(), h->why());
      }
      if (step == Handshake::Step::kMore) {
        pending[kept++] = std::move(h);
        continue;
      }
      if (step == Handshake::Step::kProven) {
        StartClient(*h, now, &drops);
      } else {
        closesocket(h->sock());
      }
      g_last_client = now;
    }
    pending.resize(kept);
    for (int i = 0; i < kAcceptsPerRound && (polled[0].revents & POLLRDNORM) != 0; ++i) {
      SOCKET s = accept(listener, nullptr, nullptr);
      if (s == INVALID_SOCKET) break;  // WSAEWOULDBLOCK: none waiting
      const unsigned long id = ++serial;
      // Non-blocking like the listener it came from (accept passes the mode on): no call
      // to Wine's server per stranger for it.
      std::unique_ptr<Handshake> h(new Handshake(s, id, now + kHelloMs));
      // A client's hello comes right behind its connect: read now, not a poll later.
      Handshake::Step step = h->Advance();
      if (step == Handshake::Step::kDropped) {
        drops.Note(now, id, h->why());
        closesocket(s);
        continue;
      }
      if (pending.size() == kMaxPending) {
        drops.Note(now, pending.front()->id(), "the oldest of too many unfinished handshakes");
        closesocket(pending.front()->sock());
        pending.erase(pending.begin());
      }
      pending.push_back(std::move(h));
    }
    drops.Roll(now);
    // A client thread may have noted its end after now was read.
    const ULONGLONG last = g_last_client.load();
    if (pending.empty() && g_clients.load() == 0 && now > last && now - last >= idle_ms) {
      Log("no client for %lu s: exiting", idle_seconds);
      return 0;
    }
  }
}

}  // namespace relay
