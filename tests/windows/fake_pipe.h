// The Terminal's end of the named pipe, scripted byte for byte, for the Windows drivers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace wintest {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes* b, const void* p, size_t n) {
  if (n == 0) return;
  size_t at = b->size();
  b->resize(at + n);
  std::memcpy(b->data() + at, p, n);
}

template <class T>
Bytes& operator<<(Bytes& b, T v) {
  Append(&b, &v, sizeof v);
  return b;
}

inline Bytes& operator<<(Bytes& b, const Bytes& more) {
  Append(&b, more.data(), more.size());
  return b;
}

inline Bytes& operator<<(Bytes& b, const std::u16string& text) {
  b << static_cast<int32_t>(text.size());
  Append(&b, text.data(), text.size() * 2);
  return b;
}

// Chains that start from a temporary: Bytes() << a << b.
template <class T>
Bytes operator<<(Bytes&& b, const T& v) {
  b << v;
  return std::move(b);
}

// A frame: uint32 length of what follows, then the fields.
inline Bytes Frame(const Bytes& body) {
  Bytes out;
  out << static_cast<uint32_t>(body.size()) << body;
  return out;
}

inline Bytes Reply(int32_t echo, int32_t status, const Bytes& payload = {}) {
  Bytes body;
  body << echo << status << payload;
  return Frame(body);
}

inline Bytes Request(int32_t command, const Bytes& payload = {}) {
  Bytes body;
  body << command << payload;
  return Frame(body);
}

// One instance of a byte-mode pipe, served on its own thread.
class ServerPipe {
 public:
  explicit ServerPipe(const std::wstring& name, DWORD instances = 1)
      : handle_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances,
                                 1 << 16, 1 << 16, 0, nullptr)) {}
  ~ServerPipe() {
    if (thread_.joinable()) thread_.join();
    Close();
  }
  ServerPipe(const ServerPipe&) = delete;
  ServerPipe& operator=(const ServerPipe&) = delete;

  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

  // Accepts one client on a thread of its own, then runs script.
  void Start(std::function<void(ServerPipe&)> script) {
    thread_ = std::thread([this, script] {
      if (Accept()) script(*this);
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  bool Accept() {
    return ConnectNamedPipe(handle_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  }

  bool ReadExact(void* p, size_t n) {
    auto* q = static_cast<uint8_t*>(p);
    while (n > 0) {
      DWORD got = 0;
      if (!ReadFile(handle_, q, static_cast<DWORD>(n), &got, nullptr)) return false;
      q += got;
      n -= got;
    }
    return true;
  }

  // A whole request, its length field included; empty when the client went away.
  Bytes ReadFrame() {
    uint32_t length = 0;
    if (!ReadExact(&length, 4)) return {};
    Bytes frame(4 + size_t{length});
    std::memcpy(frame.data(), &length, 4);
    if (!ReadExact(frame.data() + 4, length)) return {};
    return frame;
  }

  // Writes b in pieces cut at the given offsets, pausing between them, so that the
  // client's reads come back short.
  bool Write(const Bytes& b, const std::vector<size_t>& cuts = {}, DWORD pause_ms = 0) {
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      size_t to = i < cuts.size() ? cuts[i] : b.size();
      while (from < to) {
        DWORD put = 0;
        if (!WriteFile(handle_, b.data() + from, static_cast<DWORD>(to - from), &put, nullptr)) {
          return false;
        }
        from += put;
      }
      if (pause_ms != 0 && i < cuts.size()) Sleep(pause_ms);
    }
    return true;
  }

  // Lets go of the client as a Terminal that exits does.
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }

  // Drops the client so that the instance can accept the next one.
  void Disconnect() { DisconnectNamedPipe(handle_); }

  // Waits until the client has gone (its end closed), so that the next instance is free.
  void AwaitHangUp() {
    uint8_t byte;
    DWORD got;
    while (ReadFile(handle_, &byte, 1, &got, nullptr)) {
    }
  }

 private:
  HANDLE handle_;
  std::thread thread_;
};

// Answers the session's own commands (handshake with build, login, ready state 2) until
// the client goes; used where a test needs a Terminal that simply says yes.
inline void AnswerSession(ServerPipe& pipe, int32_t build) {
  for (;;) {
    Bytes frame = pipe.ReadFrame();
    if (frame.size() < 8) return;
    int32_t command;
    std::memcpy(&command, frame.data() + 4, 4);
    Bytes payload;
    if (command == 4) payload << build;
    if (command == 109) payload << int32_t{2};
    if (!pipe.Write(Reply(command, 0, payload))) return;
  }
}

}  // namespace wintest
