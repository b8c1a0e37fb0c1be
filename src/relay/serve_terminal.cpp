// serve-terminal: loopback clients (the Linux module) reach a Terminal's pipe inside Wine.
// Each client proves the token first; only then is a pipe opened for it, exactly as the
// Windows session opens one.
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

#include "link/results.h"
#include "link/session.h"
#include "relay.h"

namespace relay {

namespace {

constexpr wchar_t kTokenVariable[] = L"ORBISYN_RELAY_TOKEN";
constexpr uint8_t kMagic[4] = {'O', 'R', 'B', 'R'};
constexpr uint32_t kFlagPortable = 1;
constexpr size_t kHelloHead = 4 + kTokenBytes + 4 + 4;
constexpr ULONGLONG kHelloMs = 2000;
constexpr unsigned long kDefaultIdleSeconds = 600;
// Clients at once; more are turned away at the door. Each costs a thread or three.
constexpr long kMaxClients = 256;

Token g_token;
std::atomic<long> g_clients{0};
std::atomic<ULONGLONG> g_last_client{0};  // when the last client left (or the start)
std::atomic<unsigned long> g_serial{0};

// Reads the token and takes it out of this process's environment before anything can start
// a child that would inherit it. False when it is missing or not 64 hex digits.
bool TakeToken() {
  wchar_t value[kTokenDigits + 2] = {};
  DWORD n = GetEnvironmentVariableW(kTokenVariable, value, static_cast<DWORD>(kTokenDigits + 2));
  SetEnvironmentVariableW(kTokenVariable, nullptr);
  _wputenv_s(kTokenVariable, L"");  // the C runtime's copy too
  char digits[kTokenDigits] = {};
  bool ok = n == kTokenDigits;
  for (size_t i = 0; ok && i < kTokenDigits; ++i) {
    ok = value[i] < 0x80;
    digits[i] = static_cast<char>(value[i]);
  }
  ok = ok && ParseToken(digits, kTokenDigits, &g_token);
  SecureZeroMemory(value, sizeof value);
  SecureZeroMemory(digits, sizeof digits);
  return ok;
}

uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The hello: magic, token, flags, path. Everything is checked before any pipe is touched;
// a fault leaves nothing but a line in the log.
bool ReadHello(SOCKET s, ULONGLONG deadline, unsigned long id, char16_t* path, bool* portable) {
  uint8_t head[kHelloHead];
  if (!RecvAllBy(s, head, sizeof head, deadline)) {
    Log("client %lu dropped: no complete hello within %llu ms", id,
        static_cast<unsigned long long>(kHelloMs));
    return false;
  }
  // Both looked at before either decides, so the answer takes no longer for one than the
  // other.
  bool magic = std::memcmp(head, kMagic, sizeof kMagic) == 0;
  bool token = SameToken(head + 4, g_token.bytes);
  if (!magic || !token) {
    Log("client %lu dropped: %s", id, !magic ? "not a relay hello" : "wrong token");
    return false;
  }
  uint32_t flags = LoadU32(head + 4 + kTokenBytes);
  uint32_t units = LoadU32(head + 8 + kTokenBytes);
  if ((flags & ~kFlagPortable) != 0 || units == 0 || units > orbisyn::kPathUnits) {
    Log("client %lu dropped: flags %#x, path of %u units", id, flags, units);
    return false;
  }
  if (!RecvAllBy(s, path, size_t{units} * 2, deadline)) {
    Log("client %lu dropped: no complete hello within %llu ms", id,
        static_cast<unsigned long long>(kHelloMs));
    return false;
  }
  path[units] = 0;
  for (uint32_t i = 0; i < units; ++i) {
    if (path[i] == 0) {
      Log("client %lu dropped: a NUL inside the path", id);
      return false;
    }
  }
  *portable = (flags & kFlagPortable) != 0;
  return true;
}

bool SendReply(SOCKET s, int32_t result, const char16_t* text) {
  uint32_t units = static_cast<uint32_t>(orbisyn::platform::TextLength(text));
  std::string reply(8 + size_t{units} * 2, '\0');
  std::memcpy(&reply[0], &result, 4);
  std::memcpy(&reply[4], &units, 4);
  std::memcpy(&reply[8], text, size_t{units} * 2);
  return SendAll(s, reply.data(), reply.size());
}

void Serve(SOCKET s, ULONGLONG accepted, unsigned long id) {
  NoDelay(s);
  char16_t path[orbisyn::kPathUnits + 1];
  bool portable = false;
  if (!ReadHello(s, accepted + kHelloMs, id, path, &portable)) return;
  std::wstring shown(path, path + orbisyn::platform::TextLength(path));
  // A session of its own per client: the pipe name, the busy wait, the Terminal's start
  // and the poll for its pipe are the Windows session's own.
  std::unique_ptr<orbisyn::CInterClient> session(new (std::nothrow) orbisyn::CInterClient);
  if (!session) return;
  session->set_pipe_opener(&OpenPipeOverlapped);
  if (!session->Connect(path, portable)) {
    const char16_t* why = session->setup_text();
    Log("client %lu: %s: %s", id, Utf8(shown).c_str(),
        Utf8(std::wstring(why, why + orbisyn::platform::TextLength(why))).c_str());
    SendReply(s, orbisyn::kIpcInitFailed, why);
    return;
  }
  if (SendReply(s, 0, u"")) {
    Log("client %lu: relaying to %s%s", id, Utf8(shown).c_str(), portable ? " (portable)" : "");
    Pump(s, LongToHandle(session->pipe().handle()));
  }
  session->Close();
  Log("client %lu: closed", id);
}

struct Accepted {
  SOCKET sock;
  ULONGLONG when;
  unsigned long id;
};

DWORD WINAPI ClientThread(void* arg) {
  Accepted a = *static_cast<Accepted*>(arg);
  delete static_cast<Accepted*>(arg);
  Serve(a.sock, a.when, a.id);
  closesocket(a.sock);
  g_last_client = GetTickCount64();
  --g_clients;
  return 0;
}

bool ParseSeconds(const wchar_t* text, unsigned long* out) {
  wchar_t* end = nullptr;
  unsigned long v = std::wcstoul(text, &end, 10);
  if (end == text || *end != 0 || text[0] == L'-' || v == 0 || v > 86400UL * 365) return false;
  *out = v;
  return true;
}

int Usage() {
  Log("usage: orbisyn-relay serve-terminal [--idle-exit SECONDS], with the token in %s",
      Utf8(kTokenVariable).c_str());
  return 2;
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

}  // namespace

int ServeTerminal(int argc, wchar_t** argv) {
  const bool have_token = TakeToken();
  unsigned long idle_seconds = kDefaultIdleSeconds;
  for (int i = 0; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--idle-exit") == 0 && i + 1 < argc &&
        ParseSeconds(argv[i + 1], &idle_seconds)) {
      ++i;
    } else {
      return Usage();
    }
  }
  if (!have_token) {
    Log("no valid token: %s must hold 64 hexadecimal digits", Utf8(kTokenVariable).c_str());
    return 2;
  }
  if (!StartSockets()) {
    Log("Winsock did not start");
    return 1;
  }
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
      getsockname(listener, reinterpret_cast<sockaddr*>(&at), &at_size) == SOCKET_ERROR) {
    Log("cannot listen on 127.0.0.1 (error %d)", WSAGetLastError());
    return 1;
  }
  const uint16_t port = ntohs(at.sin_port);
  AnnouncePort(port);
  Log("listening on 127.0.0.1:%u; exits after %lu s without clients", port, idle_seconds);

  g_last_client = GetTickCount64();
  const ULONGLONG idle_ms = ULONGLONG{idle_seconds} * 1000;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval tick = {0, 200 * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &tick);
    if (ready == SOCKET_ERROR) {
      Log("select failed (error %d)", WSAGetLastError());
      return 1;
    }
    if (ready == 0) {
      if (g_clients.load() == 0 && GetTickCount64() - g_last_client.load() >= idle_ms) {
        Log("no client for %lu s: exiting", idle_seconds);
        return 0;
      }
      continue;
    }
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;
    unsigned long id = ++g_serial;
    if (g_clients.load() >= kMaxClients) {
      Log("client %lu dropped: %ld clients already", id, kMaxClients);
      closesocket(s);
      continue;
    }
    ++g_clients;
    auto* a = new (std::nothrow) Accepted{s, GetTickCount64(), id};
    HANDLE t = a ? CreateThread(nullptr, 256 * 1024, ClientThread, a,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                 : nullptr;
    if (t == nullptr) {
      Log("client %lu dropped: no thread", id);
      delete a;
      closesocket(s);
      --g_clients;
      continue;
    }
    CloseHandle(t);
  }
}

}  // namespace relay
