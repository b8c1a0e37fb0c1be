// Loopback sockets and the pump that joins one of them to a pipe handle.
#include <atomic>
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

bool RecvAllBy(SOCKET s, void* data, size_t n, ULONGLONG deadline) {
  char* p = static_cast<char*>(data);
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

// ---- the pump ------------------------------------------------------------------------------
//
// Two threads per connection, one per direction, each blocked in its own receive: the
// socket's recv for bytes going to the pipe, the pipe's ReadFile for bytes going to the
// socket. The pipe handle comes from the session (or a server instance) without
// FILE_FLAG_OVERLAPPED, so a thread blocked on it is freed with CancelSynchronousIo; a
// thread blocked on the socket is freed by shutting the socket down.

namespace {

constexpr DWORD kBufferBytes = 64 * 1024;
constexpr DWORD kThreadStack = 256 * 1024;
// After the pipe has ended and its last bytes went out with the socket's end of stream,
// how long the client may take to close its end before the relay cuts it.
constexpr ULONGLONG kLingerMs = 2000;

enum Direction { kToPipe = 0, kToSocket = 1 };

struct Link {
  SOCKET sock;
  HANDLE pipe;
  HANDLE thread[2] = {nullptr, nullptr};
  std::atomic<bool> done[2] = {{false}, {false}};
  std::atomic<bool> pipe_ended{false};    // bytes from the client are dropped from now on
  std::atomic<bool> client_ended{false};  // bytes from the pipe are dropped from now on
};

bool WritePipe(HANDLE pipe, const uint8_t* p, DWORD n) {
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(pipe, p, n, &put, nullptr)) return false;
    p += put;
    n -= put;
  }
  return true;
}

// Ends the other direction's blocking call and waits until that thread has left its loop.
// CancelSynchronousIo only hits a call that is under way, so it is repeated until the
// thread has seen the flag that its caller set.
void AwaitOther(Link& link, Direction other) {
  for (int round = 0; !link.done[other].load(); ++round) {
    CancelSynchronousIo(link.thread[other]);
    if (WaitForSingleObject(link.thread[other], round < 10 ? 0 : 1) == WAIT_OBJECT_0) return;
  }
}

DWORD WINAPI ToPipe(void* arg) {
  Link& link = *static_cast<Link*>(arg);
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kBufferBytes]);
  while (buf) {
    int got = recv(link.sock, reinterpret_cast<char*>(buf.get()), static_cast<int>(kBufferBytes), 0);
    if (got == SOCKET_ERROR || got == 0) break;
    // After the pipe has gone, what the client still sends is read and dropped, so that
    // closing the socket never resets a connection whose last reply is still unread.
    if (link.pipe_ended.load()) continue;
    if (!WritePipe(link.pipe, buf.get(), static_cast<DWORD>(got))) {
      // The pipe broke: the other direction still passes on what it holds, then ends.
      link.pipe_ended = true;
    }
  }
  // The client has gone (or the other direction cut it): the pipe closes at once.
  link.client_ended = true;
  link.done[kToPipe] = true;
  shutdown(link.sock, SD_BOTH);
  AwaitOther(link, kToSocket);
  return 0;
}

DWORD WINAPI ToSocket(void* arg) {
  Link& link = *static_cast<Link*>(arg);
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kBufferBytes]);
  bool client_gone = !buf;
  while (!client_gone && !link.client_ended.load()) {
    DWORD got = 0;
    if (!ReadFile(link.pipe, buf.get(), kBufferBytes, &got, nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {  // a message-mode server: the rest follows
      break;
    }
    if (got > 0 && !SendAll(link.sock, buf.get(), got)) client_gone = true;
  }
  link.done[kToSocket] = true;
  if (client_gone || link.client_ended.load()) {
    shutdown(link.sock, SD_BOTH);
    AwaitOther(link, kToPipe);
    return 0;
  }
  // The pipe has ended: every byte it gave went out; the end of the stream follows them.
  link.pipe_ended = true;
  shutdown(link.sock, SD_SEND);
  ULONGLONG until = GetTickCount64() + kLingerMs;
  while (WaitForSingleObject(link.thread[kToPipe], 10) == WAIT_TIMEOUT) {
    if (GetTickCount64() >= until) {
      shutdown(link.sock, SD_BOTH);
      AwaitOther(link, kToPipe);
      break;
    }
  }
  return 0;
}

}  // namespace

void Pump(SOCKET sock, HANDLE pipe) {
  Link link;
  link.sock = sock;
  link.pipe = pipe;
  const DWORD flags = CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION;
  link.thread[kToPipe] = CreateThread(nullptr, kThreadStack, ToPipe, &link, flags, nullptr);
  link.thread[kToSocket] = CreateThread(nullptr, kThreadStack, ToSocket, &link, flags, nullptr);
  if (link.thread[kToPipe] == nullptr || link.thread[kToSocket] == nullptr) {
    Log("no thread for a connection (error %lu): dropped", GetLastError());
    for (HANDLE& t : link.thread) {
      if (t != nullptr) {
        TerminateThread(t, 0);  // never started: it holds nothing
        CloseHandle(t);
      }
    }
    return;
  }
  ResumeThread(link.thread[kToPipe]);
  ResumeThread(link.thread[kToSocket]);
  WaitForMultipleObjects(2, link.thread, TRUE, INFINITE);
  CloseHandle(link.thread[kToPipe]);
  CloseHandle(link.thread[kToSocket]);
}

}  // namespace relay
