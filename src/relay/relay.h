// orbisyn-relay: the Terminal's named pipe over loopback TCP, both ways (README.md beside
// this file is the contract). Windows only: Winsock and the Win32 pipe calls directly, the
// core for everything a session does (pipe names, Connect).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/compat.h"
#include "platform/platform.h"

namespace relay {

constexpr size_t kTokenBytes = 32;
constexpr size_t kTokenDigits = 2 * kTokenBytes;

struct Token {
  uint8_t bytes[kTokenBytes];
};

// 64 hexadecimal digits (either case) into out; false for anything else.
bool ParseToken(const char* hex, size_t n, Token* out);

// Compares the 32 bytes at a and b in time that does not depend on where they differ.
bool SameToken(const uint8_t* a, const uint8_t* b);

// One line to standard error (and to the log file, when one is set). Never give it a token.
// A log file is emptied, with a note, before it would pass 1 MiB.
void Log(const char* format, ...) ORBISYN_PRINTF(1, 2);
// Also appends every later line to path (instead of standard error when `only`); under
// Wine a Unix path (/...) names the Unix file. False when it cannot be opened.
bool LogToFile(const std::wstring& path, bool only = false);

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

// The folder of this executable, with its trailing separator, and its full path.
std::wstring OwnPath();
std::wstring FolderOf(const std::wstring& path);

// Reads a whole small file (at most max bytes) into out; false when it cannot be read or
// is larger.
bool ReadSmallFile(const std::wstring& path, size_t max, std::string* out);

// Splits "key=value" lines (UTF-8, a byte-order mark skipped, CR LF or LF, '#' comments)
// and calls take(key, value) for each; keys and values keep their inner spaces.
template <class Take>
void ForEachSetting(const std::string& text, Take take) {
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    take(line.substr(0, eq), line.substr(eq + 1));
  }
}

// ---- sockets -------------------------------------------------------------------------------

bool StartSockets();
// A TCP socket that no child process inherits.
SOCKET NewSocket();
void NoDelay(SOCKET s);
bool SendAll(SOCKET s, const void* data, size_t n);
// Exactly n bytes, all of them before deadline (GetTickCount64 time); false on a timeout,
// the end of the stream or an error. *got (when given) counts the bytes that did come.
bool RecvAllBy(SOCKET s, void* data, size_t n, ULONGLONG deadline, size_t* got = nullptr);
// Connects to 127.0.0.1:port; INVALID_SOCKET when nobody answers.
SOCKET ConnectLoopback(uint16_t port);

// Relays bytes both ways between a connected socket and a pipe handle opened for overlapped
// I/O, until either side ends, then ends the other side too: a pipe that broke is passed on
// as the end of the stream (after every byte read from it), a client that went away leaves
// the pipe to be closed at once. Closes neither handle.
void Pump(SOCKET sock, HANDLE pipe);

// Opens a client end of the pipe name for overlapped I/O, waiting while every instance is
// busy, with the session's error numbers (Session::set_pipe_opener).
int OpenPipeOverlapped(const char16_t* name, uint32_t* error, const orbisyn::platform::WaitLimit& limit);

// ---- the two directions ----------------------------------------------------------------------

// "serve-terminal [--idle-exit SECONDS]": loopback clients to the Terminals' pipes.
int ServeTerminal(int argc, wchar_t** argv);
// Installed as terminal64.exe: this path's pipe to a simulated Terminal's loopback port.
int ServePipe();

}  // namespace relay
