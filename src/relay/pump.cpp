// Loopback sockets and the pump that joins one of them to a pipe handle.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "relay.h"

namespace relay {

bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SOCKET NewSocket() {
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

void NoDelay(SOCKET s) {
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool SendAll(SOCKET s, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    int chunk = n < (1u << 30) ? static_cast<int>(n) : 1 << 30;
    int put = send(s, p, chunk, 0);
    if (put == SOCKET_ERROR || put == 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool RecvAllBy(SOCKET s, void* data, size_t n, ULONGLONG deadline, size_t* got_total) {
  char* p = static_cast<char*>(data);
  if (got_total) *got_total = 0;
  while (n > 0) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    ULONGLONG left = deadline - now;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait;
    wait.tv_sec = static_cast<long>(left / 1000);
    wait.tv_usec = static_cast<long>(left % 1000 * 1000);
    int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return false;
    if (ready == 0) continue;  // the deadline decides
    int chunk = n < (1u << 30) ? static_cast<int>(n) : 1 << 30;
    int got = recv(s, p, chunk, 0);
    if (got == SOCKET_ERROR || got == 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    if (got_total) *got_total += static_cast<size_t>(got);
  }
  return true;
}

SOCKET ConnectLoopback(uint16_t port) {
  SOCKET s = NewSocket();
  if (s == INVALID_SOCKET) return s;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  NoDelay(s);
  return s;
}

int OpenPipeOverlapped(const char16_t* name, uint32_t* error, const orbisyn::platform::WaitLimit&) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(name);
  for (;;) {
    HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) return HandleToLong(h);
    DWORD err = GetLastError();
    // Every instance is taken: wait for one without limit, then race for it again.
    if (err == ERROR_PIPE_BUSY && WaitNamedPipeW(wide, NMPWAIT_WAIT_FOREVER)) continue;
    *error = err == ERROR_PIPE_BUSY ? GetLastError() : err;
    return -1;
  }
}

// ---- the pump ------------------------------------------------------------------------------
//
// Two threads per connection, one per direction, each waiting in its own receive: on the
// socket for bytes going to the pipe, on the pipe for bytes going to the socket (two reads
// there, so that the next one is under way while a buffer is sent). Every transfer is
// overlapped and waited for together with the link's stop event, which either direction
// sets when the client has gone: a blocking send under Wine is not freed by shutting the
// socket down. The pipe handle must be overlapped anyway: Windows serializes the calls on a
// handle opened without FILE_FLAG_OVERLAPPED, so a read waiting for the Terminal would hold
// back the request it waits for.

namespace {

// Bytes to the pipe: requests, small. Bytes from it: replies up to tens of megabytes; under
// Wine every ReadFile is a round trip to its server, and reads of 1 MiB made the relay
// faster than a Windows program's own read of the pipe, 64 KiB half as fast
// (bench/relay_bench.py).
constexpr DWORD kToPipeBytes = 64 * 1024;
constexpr DWORD kToSocketBytes = 1024 * 1024;
constexpr DWORD kThreadStack = 256 * 1024;
// After the pipe has ended and its last bytes went out with the socket's end of stream,
// how long the client may take to close its end before the relay cuts it.
constexpr DWORD kLingerMs = 2000;

enum Direction { kToPipe = 0, kToSocket = 1 };

struct Link {
  SOCKET sock;
  HANDLE pipe;
  HANDLE stop;  // set: every transfer ends at once (the client has gone)
  HANDLE thread[2] = {nullptr, nullptr};
  std::atomic<bool> pipe_ended{false};  // bytes from the client are dropped from now on
};

// One overlapped transfer on the pipe or the socket, waited for together with the link's
// stop event. End returns the bytes moved (0 from a receive: the end of the stream),
// kFailed when the transfer failed, kStopped when the stop event came first (the transfer
// is then cancelled and complete, its buffer free).
constexpr long kFailed = -1;
constexpr long kStopped = -2;

class Transfer {
 public:
  Transfer(Link& link, bool on_socket) : link_(link), socket_(on_socket) {
    std::memset(&ov_, 0, sizeof ov_);
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Transfer() {
    if (ov_.hEvent != nullptr) CloseHandle(ov_.hEvent);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  bool ok() const { return ov_.hEvent != nullptr; }

  void StartReceive(uint8_t* p, DWORD n) {
    if (socket_) {
      WSABUF buf = {n, reinterpret_cast<char*>(p)};
      DWORD flags = 0;
      StartSocket(WSARecv(link_.sock, &buf, 1, nullptr, &flags, &ov_, nullptr));
    } else {
      StartPipe(ReadFile(link_.pipe, p, n, nullptr, &ov_));
    }
  }
  // Everything, unless the transfer fails or is stopped.
  long SendAll(const uint8_t* p, DWORD n) {
    for (DWORD at = 0; at < n;) {
      if (socket_) {
        WSABUF buf = {n - at, reinterpret_cast<char*>(const_cast<uint8_t*>(p + at))};
        StartSocket(WSASend(link_.sock, &buf, 1, nullptr, 0, &ov_, nullptr));
      } else {
        StartPipe(WriteFile(link_.pipe, p + at, n - at, nullptr, &ov_));
      }
      long put = End();
      if (put < 0) return put;
      if (put == 0) return kFailed;
      at += static_cast<DWORD>(put);
    }
    return static_cast<long>(n);
  }

  long End() {
    if (state_ == kFailedAtOnce) return kFailed;
    HANDLE events[2] = {ov_.hEvent, link_.stop};
    // A transfer that completed at once needs no wait (under Wine each wait is a call to
    // its server).
    if (state_ == kPending &&
        WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      Cancel();
      return kStopped;
    }
    state_ = kDone;
    DWORD moved = 0;
    if (socket_) {
      DWORD flags = 0;
      if (!WSAGetOverlappedResult(link_.sock, &ov_, &moved, FALSE, &flags)) return kFailed;
    } else if (!GetOverlappedResult(link_.pipe, &ov_, &moved, FALSE) &&
               GetLastError() != ERROR_MORE_DATA) {  // message mode: the rest follows
      return kFailed;
    }
    return static_cast<long>(moved);
  }

  // Ends a transfer that was started and is not wanted any more.
  void Cancel() {
    if (state_ != kPending) return;
    state_ = kDone;
    HANDLE h = socket_ ? reinterpret_cast<HANDLE>(link_.sock) : link_.pipe;
    CancelIoEx(h, &ov_);
    DWORD moved = 0, flags = 0;
    if (socket_) {
      WSAGetOverlappedResult(link_.sock, &ov_, &moved, TRUE, &flags);
    } else {
      GetOverlappedResult(link_.pipe, &ov_, &moved, TRUE);
    }
  }

 private:
  enum State { kDone, kPending, kFailedAtOnce };

  void StartPipe(BOOL done) {
    state_ = kDone;
    if (!done) {
      DWORD error = GetLastError();
      state_ = error == ERROR_IO_PENDING ? kPending
               : error == ERROR_MORE_DATA ? kDone
                                          : kFailedAtOnce;
    }
  }
  void StartSocket(int result) {
    state_ = kDone;
    if (result == SOCKET_ERROR) {
      state_ = WSAGetLastError() == WSA_IO_PENDING ? kPending : kFailedAtOnce;
    }
  }

  Link& link_;
  const bool socket_;
  OVERLAPPED ov_;
  State state_ = kDone;
};

// The client has gone: the other direction ends at once, wherever it waits.
void CutClient(Link& link) {
  SetEvent(link.stop);
  shutdown(link.sock, SD_BOTH);
}

DWORD WINAPI ToPipe(void* arg) {
  Link& link = *static_cast<Link*>(arg);
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kToPipeBytes]);
  Transfer from(link, true), to(link, false);
  while (buf && from.ok() && to.ok()) {
    from.StartReceive(buf.get(), kToPipeBytes);
    long got = from.End();
    if (got == kStopped) return 0;  // cut by the other direction
    if (got <= 0) break;
    // After the pipe has gone, what the client still sends is read and dropped, so that
    // closing the socket never resets a connection whose last reply is still unread.
    if (link.pipe_ended.load()) continue;
    long put = to.SendAll(buf.get(), static_cast<DWORD>(got));
    if (put == kStopped) return 0;
    // The pipe broke: the other direction still passes on what it holds, then ends.
    if (put < 0) link.pipe_ended = true;
  }
  // The client has gone: the pipe closes at once.
  CutClient(link);
  return 0;
}

DWORD WINAPI ToSocket(void* arg) {
  Link& link = *static_cast<Link*>(arg);
  // Two buffers: the next read is under way while the last one is sent.
  std::unique_ptr<uint8_t[]> bufs(new (std::nothrow) uint8_t[2 * kToSocketBytes]);
  Transfer read0(link, false), read1(link, false), to(link, true);
  Transfer* read[2] = {&read0, &read1};
  long got = kStopped;
  if (bufs && read0.ok() && read1.ok() && to.ok()) {
    int at = 0;
    read[at]->StartReceive(bufs.get(), kToSocketBytes);
    for (;;) {
      got = read[at]->End();
      if (got < 0) break;
      uint8_t* data = bufs.get() + at * kToSocketBytes;
      at ^= 1;
      // A full buffer: more is on its way, read on while this one is sent. Less: a reply
      // has ended, and its last bytes go out before anything else is asked of Wine.
      const bool more = got == static_cast<long>(kToSocketBytes);
      if (more) read[at]->StartReceive(bufs.get() + at * kToSocketBytes, kToSocketBytes);
      if (got > 0 && to.SendAll(data, static_cast<DWORD>(got)) < 0) {
        read[at]->Cancel();
        got = kStopped;
        break;
      }
      if (!more) read[at]->StartReceive(bufs.get() + at * kToSocketBytes, kToSocketBytes);
    }
  }
  if (got != kFailed) {
    CutClient(link);  // the client has gone (or the link had no memory)
    return 0;
  }
  // The pipe has ended: every byte it gave went out; the end of the stream follows them.
  link.pipe_ended = true;
  shutdown(link.sock, SD_SEND);
  if (WaitForSingleObject(link.thread[kToPipe], kLingerMs) == WAIT_TIMEOUT) CutClient(link);
  return 0;
}

}  // namespace

void Pump(SOCKET sock, HANDLE pipe) {
  Link link;
  link.sock = sock;
  link.pipe = pipe;
  link.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD flags = CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION;
  if (link.stop != nullptr) {
    link.thread[kToPipe] = CreateThread(nullptr, kThreadStack, ToPipe, &link, flags, nullptr);
    link.thread[kToSocket] = CreateThread(nullptr, kThreadStack, ToSocket, &link, flags, nullptr);
  }
  if (link.thread[kToPipe] == nullptr || link.thread[kToSocket] == nullptr) {
    Log("no thread for a connection (error %lu): dropped", GetLastError());
    for (HANDLE& t : link.thread) {
      if (t != nullptr) {
        TerminateThread(t, 0);  // never started: it holds nothing
        CloseHandle(t);
      }
    }
  } else {
    ResumeThread(link.thread[kToPipe]);
    ResumeThread(link.thread[kToSocket]);
    WaitForMultipleObjects(2, link.thread, TRUE, INFINITE);
    CloseHandle(link.thread[kToPipe]);
    CloseHandle(link.thread[kToSocket]);
  }
  if (link.stop != nullptr) CloseHandle(link.stop);
}

}  // namespace relay
