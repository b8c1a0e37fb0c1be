// Installed as terminal64.exe beside orbisyn-relay.ini: serves the pipe a Terminal at this
// path would serve and carries each of its clients to the simulated Terminal's loopback
// port. A Windows session (a Windows Python in the same prefix, or on Windows) then meets
// the simulated Terminal exactly as it meets a real one.
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/session.h"
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
  return port && token;
}

// A connection to the simulated Terminal that has been given the hello; INVALID_SOCKET
// when the endpoint is missing or nobody listens there.
SOCKET ConnectSim() {
  Endpoint e;
  if (!ReadEndpoint(&e)) return INVALID_SOCKET;
  SOCKET s = ConnectLoopback(e.port);
  if (s == INVALID_SOCKET) return s;
  uint8_t hello[sizeof kSimMagic + kTokenBytes];
  std::memcpy(hello, kSimMagic, sizeof kSimMagic);
  std::memcpy(hello + sizeof kSimMagic, e.token.bytes, kTokenBytes);
  bool sent = SendAll(s, hello, sizeof hello);
  SecureZeroMemory(hello, sizeof hello);
  SecureZeroMemory(&e, sizeof e);
  if (!sent) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

bool StartSim() {
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
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

// The watch connection: the simulated Terminal answers, or it is started and waited for.
SOCKET AwaitSim() {
  SOCKET s = ConnectSim();
  if (s != INVALID_SOCKET) return s;
  if (g_config.start.empty()) {
    Log("nothing answers at the endpoint %s, and there is no start=",
        Utf8(g_config.endpoint).c_str());
    return INVALID_SOCKET;
  }
  Log("starting the simulated Terminal: %s", Utf8(g_config.start).c_str());
  if (!StartSim()) return INVALID_SOCKET;
  const ULONGLONG until = GetTickCount64() + kStartWaitMs;
  while (GetTickCount64() < until) {
    Sleep(kStartPollMs);
    s = ConnectSim();
    if (s != INVALID_SOCKET) return s;
  }
  Log("the simulated Terminal did not answer within %llu s",
      static_cast<unsigned long long>(kStartWaitMs / 1000));
  return INVALID_SOCKET;
}

DWORD WINAPI ClientThread(void* arg) {
  HANDLE pipe = arg;
  SOCKET s = ConnectSim();
  if (s == INVALID_SOCKET) {
    Log("a pipe client dropped: the simulated Terminal did not answer");
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
  if (!orbisyn::CInterClient::PipeNameOf(path.c_str(), hash, name)) {
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
