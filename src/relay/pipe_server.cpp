// Installed as terminal64.exe beside orbisyn-relay.ini: serves the pipe a Terminal at this
// path would serve and carries each of its clients to the simulated Terminal's loopback
// port. A Windows session (a Windows Python in the same prefix, or on Windows) then meets
// the simulated Terminal exactly as it meets a real one.
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/loopback_proof.h"
#include "link/session.h"
#include "handshake.h"
#include "relay.h"

namespace relay {

namespace {

constexpr char kConfigName[] = "orbisyn-relay.ini";
constexpr uint8_t kSimMagic[4] = {'O', 'R', 'B', 'S'};
constexpr DWORD kDefaultInstances = 4;
constexpr DWORD kMaxInstances = 64;
constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr ULONGLONG kStartWaitMs = 30000;
constexpr DWORD kStartPollMs = 100;
constexpr ULONGLONG kHandshakeMs = 2000;  // from the connect to the proofs exchanged
constexpr int kAttempts = 4;
constexpr DWORD kRetryMs = 50;

struct Config {
  std::wstring endpoint;  // where the simulated Terminal publishes its port and token
  std::wstring start;     // how to start it; empty: never started from here
  DWORD instances = kDefaultInstances;
};

Config g_config;
wchar_t g_pipe_name[orbisyn::kPathUnits];
HANDLE g_free_instances = nullptr;  // a semaphore: instances that may still be created

bool ReadConfig(const std::wstring& path, Config* config) {
  std::string text;
  if (!ReadSmallFile(path, 64 * 1024, &text)) return false;
  bool ok = true;
  ForEachSetting(text, [&](const std::string& key, const std::string& value) {
    if (key == "endpoint") {
      config->endpoint = Wide(value);
    } else if (key == "start") {
      config->start = Wide(value);
    } else if (key == "log") {
      if (!value.empty()) LogToFile(Wide(value));
    } else if (key == "instances") {
      char* end = nullptr;
      unsigned long n = std::strtoul(value.c_str(), &end, 10);
      // At least two: with one, the pipe would vanish for a moment between two clients.
      if (value.empty() || *end != 0 || n < 2 || n > kMaxInstances) {
        Log("instances=%s: must be 2 to %lu", value.c_str(), kMaxInstances);
        ok = false;
      } else {
        config->instances = static_cast<DWORD>(n);
      }
    } else {
      Log("%s: unknown key %s ignored", kConfigName, key.c_str());
    }
  });
  if (config->endpoint.empty()) {
    Log("%s: no endpoint=", kConfigName);
    ok = false;
  }
  return ok;
}

struct Endpoint {
  uint16_t port = 0;
  Token token = {};
};

// The simulated Terminal the watch connection proved; pipe clients go to it alone. Set
// before the pipe exists, read-only after.
Endpoint g_sim;

bool SameEndpoint(const Endpoint& a, const Endpoint& b) {
  return a.port == b.port && SameToken(a.token.bytes, b.token.bytes);
}

bool ReadEndpoint(Endpoint* e) {
  std::string text;
  if (!ReadSmallFile(g_config.endpoint, 4096, &text)) return false;
  bool port = false, token = false;
  ForEachSetting(text, [&](const std::string& key, const std::string& value) {
    if (key == "port") {
      char* end = nullptr;
      unsigned long n = std::strtoul(value.c_str(), &end, 10);
      port = !value.empty() && *end == 0 && n >= 1 && n <= 65535;
      e->port = static_cast<uint16_t>(n);
    } else if (key == "token") {
      token = ParseToken(value.data(), value.size(), &e->token);
    }
  });
  SecureZeroMemory(&text[0], text.size());
  return port && token;
}

// How reaching the simulated Terminal went.
enum class Reach { kOk, kRefused, kClosed, kNoAnswer, kWrongProof, kFailed };

const char* Why(Reach r) {
  switch (r) {
    case Reach::kOk: return "answered";
    case Reach::kRefused: return "refused the connection (nothing listens there)";
    case Reach::kClosed: return "closed the connection during the handshake";
    case Reach::kNoAnswer: return "did not answer the hello within 2 s";
    case Reach::kWrongProof: return "did not prove the token (another program holds the port)";
    case Reach::kFailed: break;
  }
  return "could not be tried (no socket, or no random numbers or HMAC from the system)";
}

// Connects to 127.0.0.1:port by the deadline. Not blocking: a listener whose queue is full
// (or that never accepts) would hold a plain connect for over a minute.
SOCKET ConnectBy(uint16_t port, ULONGLONG deadline, Reach* why) {
  *why = Reach::kFailed;
  SOCKET s = NewSocket();
  if (s == INVALID_SOCKET) return s;
  u_long nonblocking = 1;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ioctlsocket(s, FIONBIO, &nonblocking) == 0;
  if (ok && connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    ok = false;
    *why = Reach::kRefused;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
          *why = Reach::kNoAnswer;
          break;
        }
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait;
        wait.tv_sec = static_cast<long>((deadline - now) / 1000);
        wait.tv_usec = static_cast<long>((deadline - now) % 1000 * 1000);
        int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == SOCKET_ERROR) break;
        if (ready == 0) continue;  // the deadline decides
        int error = 0;
        int size = sizeof error;
        ok = FD_ISSET(s, &writable) &&
             getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
             error == 0;
        break;
      }
    }
  }
  nonblocking = 0;
  if (!ok || ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  NoDelay(s);
  return s;
}

// The relay's side of the proofs (handshake.h): nothing of a pipe client goes out before the
// simulated Terminal proved the token.
Reach Handshake(SOCKET s, const Token& token, ULONGLONG deadline) {
  switch (ProveToServer(s, token, kSimMagic, nullptr, 0, deadline)) {
    case Proven::kYes: return Reach::kOk;
    case Proven::kClosed: return Reach::kClosed;
    case Proven::kNoAnswer: return Reach::kNoAnswer;
    case Proven::kWrongProof: return Reach::kWrongProof;
    case Proven::kFailed: break;
  }
  return Reach::kFailed;
}

// A connection to the simulated Terminal at e on which both sides have proved the token;
// INVALID_SOCKET (and why) when it was not had within 2 s.
SOCKET ConnectSim(const Endpoint& e, Reach* why) {
  const ULONGLONG deadline = GetTickCount64() + kHandshakeMs;
  SOCKET s = ConnectBy(e.port, deadline, why);
  if (s == INVALID_SOCKET) return s;
  *why = Handshake(s, e.token, deadline);
  if (*why != Reach::kOk) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// ConnectSim, tried again when the connection closed in the handshake: a flood of strangers
// at a live simulated Terminal's port pushes the oldest handshakes out of its queue, and
// that must not pass for its end. A wrong proof and silence are final; refused is final for
// the watch (nothing listens) and tried again for a pipe client (the watch says it lives).
SOCKET ConnectSimPatiently(const Endpoint& e, bool again_if_refused, Reach* why) {
  SOCKET s = INVALID_SOCKET;
  for (int attempt = 0; attempt < kAttempts && s == INVALID_SOCKET; ++attempt) {
    if (attempt > 0) Sleep(kRetryMs * attempt);
    s = ConnectSim(e, why);
    if (*why != Reach::kClosed && !(again_if_refused && *why == Reach::kRefused)) break;
  }
  return s;
}

// Starts start=; false when it could not be. *process: its handle, or nullptr when there
// is none to wait on (Wine gives none for a Unix program).
bool StartSim(HANDLE* process) {
  std::wstring line = g_config.start;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = INVALID_HANDLE_VALUE;
  startup.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION info = {};
  // No handles inherited; the simulated Terminal outlives this process when it wants to.
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE,
                      CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    Log("start=%s failed (error %lu)", Utf8(g_config.start).c_str(), GetLastError());
    return false;
  }
  if (info.hThread != nullptr) CloseHandle(info.hThread);
  *process = info.hProcess;
  return true;
}

// The watch connection. An endpoint whose listener does not prove the token in time is
// stale for good: it is never tried again, start= runs (once) and the endpoint file is
// polled for a fresh one (another port and token), each tried with the same 2 s limit.
SOCKET AwaitSim() {
  constexpr size_t kRemembered = 8;  // start= runs once: a handful of stale ones at most
  Endpoint stale[kRemembered];
  size_t stales = 0;
  bool started = false;
  HANDLE process = nullptr;
  ULONGLONG until = 0;
  SOCKET s = INVALID_SOCKET;
  for (;;) {
    Endpoint e;
    bool found = ReadEndpoint(&e);
    bool known = false;
    for (size_t i = 0; i < stales && i < kRemembered && !known; ++i) {
      known = SameEndpoint(stale[i], e);
    }
    if (found && !known) {
      Reach why;
      s = ConnectSimPatiently(e, false, &why);
      if (s != INVALID_SOCKET) {
        g_sim = e;
        break;
      }
      Log("the simulated Terminal at 127.0.0.1:%u %s: its endpoint is stale, ignored from now on",
          static_cast<unsigned>(e.port), Why(why));
      stale[stales++ % kRemembered] = e;
    }
    SecureZeroMemory(&e, sizeof e);
    if (!started) {
      if (g_config.start.empty()) {
        if (found) {
          Log("no simulated Terminal answers, and there is no start=");
        } else {
          Log("no endpoint at %s, and there is no start=", Utf8(g_config.endpoint).c_str());
        }
        break;
      }
      Log("starting the simulated Terminal: %s", Utf8(g_config.start).c_str());
      started = StartSim(&process);
      if (!started) break;
      until = GetTickCount64() + kStartWaitMs;
    } else if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(process, &code);
      Log("the simulated Terminal exited with code %lu before it answered", code);
      break;
    } else if (GetTickCount64() >= until) {
      Log("no fresh simulated Terminal answered within %llu s of start=",
          static_cast<unsigned long long>(kStartWaitMs / 1000));
      break;
    }
    Sleep(kStartPollMs);
  }
  SecureZeroMemory(stale, sizeof stale);
  if (process != nullptr) CloseHandle(process);
  return s;
}

DWORD WINAPI ClientThread(void* arg) {
  HANDLE pipe = arg;
  // Nothing is read from the pipe before the simulated Terminal has proved itself.
  Reach why = Reach::kFailed;
  SOCKET s = ConnectSimPatiently(g_sim, true, &why);
  if (s == INVALID_SOCKET) {
    Log("a pipe client dropped: the simulated Terminal %s", Why(why));
  } else {
    Pump(s, pipe);
    closesocket(s);
  }
  // Closed, not disconnected: the client still reads what the simulated Terminal sent last.
  CloseHandle(pipe);
  ReleaseSemaphore(g_free_instances, 1, nullptr);
  return 0;
}

// Waits on an overlapped instance until a client has connected to it.
bool AwaitClient(HANDLE pipe) {
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return false;
  bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
  if (!connected) {
    DWORD error = GetLastError();
    DWORD unused = 0;
    connected = error == ERROR_PIPE_CONNECTED ||
                (error == ERROR_IO_PENDING && GetOverlappedResult(pipe, &ov, &unused, TRUE));
  }
  CloseHandle(ov.hEvent);
  return connected;
}

// Keeps one instance listening while fewer than the maximum are connected; with all of
// them taken, clients find the pipe busy and wait, as at a real Terminal.
DWORD WINAPI Listen(void*) {
  for (bool first = true;; first = false) {
    WaitForSingleObject(g_free_instances, INFINITE);
    HANDLE pipe = CreateNamedPipeW(
        g_pipe_name,
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        g_config.instances, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (first) {
        // Another server holds the name (it won a race to it).
        Log("cannot create the pipe (error %lu)", error);
        ExitProcess(error == ERROR_ACCESS_DENIED ? 0 : 1);
      }
      Log("cannot create a pipe instance (error %lu)", error);
      ReleaseSemaphore(g_free_instances, 1, nullptr);
      Sleep(100);
      continue;
    }
    if (!AwaitClient(pipe)) {
      CloseHandle(pipe);
      ReleaseSemaphore(g_free_instances, 1, nullptr);
      continue;
    }
    HANDLE t = CreateThread(nullptr, 256 * 1024, ClientThread, pipe,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (t == nullptr) {
      CloseHandle(pipe);
      ReleaseSemaphore(g_free_instances, 1, nullptr);
      continue;
    }
    CloseHandle(t);
  }
}

}  // namespace

int ServePipe() {
  const std::wstring self = OwnPath();
  const std::wstring config_path = FolderOf(self) + Wide(kConfigName);
  if (self.empty() || self.size() > orbisyn::kPathUnits) {
    Log("own path unknown or longer than %u units", static_cast<unsigned>(orbisyn::kPathUnits));
    return 2;
  }
  if (!ReadConfig(config_path, &g_config)) {
    Log("no usable %s; as a relay to Terminals: orbisyn-relay serve-terminal",
        Utf8(config_path).c_str());
    return 2;
  }
  uint8_t hash[32];
  char16_t name[orbisyn::kPathUnits];
  std::u16string path(self.begin(), self.end());
  if (!orbisyn::Session::PipeNameOf(path.c_str(), hash, name)) {
    Log("cannot hash the own path");
    return 1;
  }
  std::memcpy(g_pipe_name, name, sizeof name);

  // One server per pipe: a second copy (started by a second client's Connect) leaves it to
  // the first. A named mutex decides, since Wine does not enforce the first-instance flag.
  static const char kHex[] = "0123456789abcdef";
  std::wstring lock_name = L"Local\\orbisyn-relay.";
  for (uint8_t b : hash) {
    lock_name.push_back(static_cast<wchar_t>(kHex[b >> 4]));
    lock_name.push_back(static_cast<wchar_t>(kHex[b & 15]));
  }
  HANDLE lock = CreateMutexW(nullptr, FALSE, lock_name.c_str());
  if (lock == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    Log("the pipe of %s is served already", Utf8(self).c_str());
    return 0;
  }
  if (WaitNamedPipeW(g_pipe_name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
    Log("the pipe of %s exists already", Utf8(self).c_str());
    return 0;
  }
  if (!StartSockets()) {
    Log("Winsock did not start");
    return 1;
  }
  SOCKET watch = AwaitSim();
  if (watch == INVALID_SOCKET) return 1;

  g_free_instances = CreateSemaphoreW(nullptr, static_cast<LONG>(g_config.instances),
                                      static_cast<LONG>(g_config.instances), nullptr);
  HANDLE listener = g_free_instances ? CreateThread(nullptr, 0, Listen, nullptr, 0, nullptr)
                                     : nullptr;
  if (listener == nullptr) {
    Log("cannot start serving (error %lu)", GetLastError());
    return 1;
  }
  CloseHandle(listener);
  Log("serving %s for %s", Utf8(std::wstring(g_pipe_name)).c_str(), Utf8(self).c_str());

  // The simulated Terminal closes the watch connection when it goes; a Terminal that
  // quits takes its pipe with it, and so does this process.
  char sink[512];
  while (recv(watch, sink, sizeof sink, 0) > 0) {
  }
  Log("the simulated Terminal has gone: the pipe closes");
  ExitProcess(0);
}

}  // namespace relay
