// The far ends of the relay for the Windows tests and the relay benchmark.
//
//   relay_driver serve NAME          a scripted Terminal pipe: several instances, each client
//                                    driven by the ops below; prints "ready", then
//                                    "accepted N" and "gone N" for each client
//   relay_driver bench NAME ROUNDS BYTES
//                                    the reference: the session's own pipe calls against
//                                    that server; prints "rtt_us=" (median of ROUNDS small
//                                    exchanges) and "bulk_ms=" (best of 3 reads of BYTES)
//   relay_driver probe NAME          "exists=1" while the pipe NAME exists, else "exists=0"
//   relay_driver tcp-echo            Wine's own loopback cost: prints "port=N", echoes one
//                                    client's bytes with blocking Winsock calls
//   relay_driver session PATH RECORDS
//                                    the Windows session to the Terminal at PATH: Initialize,
//                                    then one array exchange (command 121) that must bring
//                                    RECORDS records of Pattern(320 * RECORDS, RECORDS)
//   relay_driver hold PATH MS        Initialize, print "held", keep the link MS ms
//   relay_driver terminal-bench PATH ROUNDS DATE COUNT
//                                    a Windows program's own cost on a real Terminal's pipe:
//                                    "rtt_us=" (median of ROUNDS 1-bar CopyRatesFrom) and
//                                    "bulk_ms=" (best of 3 of COUNT bars ending at DATE)
//   relay_driver terminal PATH DATE COUNT
//                                    the Windows session and the core's own exchanges against
//                                    a real Terminal (the simulated one, through the relay):
//                                    readiness, version, account, COUNT BTCUSD M1 bars ending
//                                    at DATE (their SHA-256), a 0.01 lot buy, positions
//
// Ops, client to server: uint32 op, uint32 n, uint32 seed.
//   1 echo:       the server reads n bytes and writes them back
//   2 send:       the server writes n bytes of Pattern(seed)
//   3 send-close: as send, then the server closes its end at once
//   4 digest:     the server reads n bytes and answers with their SHA-256
//   5 ping:       the server answers with 16 bytes
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>

#include "check.h"
#include "link/channel.h"
#include "link/session.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "protocol/exchanges.h"

namespace pf = orbisyn::platform;
using orbisyn::Session;
using namespace wintest;

namespace {

constexpr DWORD kInstances = 6;
constexpr DWORD kChunk = 1 << 20;

// n bytes through ReadFile or WriteFile, in pieces of at most kChunk.
template <class Byte, class Io>
bool Whole(HANDLE h, Byte* q, size_t n, Io io) {
  while (n > 0) {
    DWORD done = 0;
    DWORD want = n < kChunk ? static_cast<DWORD>(n) : kChunk;
    if (!io(h, q, want, &done, nullptr)) return false;
    q += done;
    n -= done;
  }
  return true;
}

bool ReadAll(HANDLE h, void* p, size_t n) { return Whole(h, static_cast<uint8_t*>(p), n, ReadFile); }

bool WriteAll(HANDLE h, const void* p, size_t n) {
  return Whole(h, static_cast<const uint8_t*>(p), n, WriteFile);
}

// Serves one client's ops until it goes; false when the server closed its end on purpose.
bool ServeOps(HANDLE h) {
  std::vector<uint8_t> buf;
  for (;;) {
    uint32_t op[3];
    if (!ReadAll(h, op, sizeof op)) return true;
    const size_t n = op[1];
    const uint32_t seed = op[2];
    switch (op[0]) {
      case 1:
        buf.resize(n);
        if (!ReadAll(h, buf.data(), n) || !WriteAll(h, buf.data(), n)) return true;
        break;
      case 2:
      case 3: {
        buf.resize(std::min<size_t>(n, kChunk * 4));
        for (size_t i = 0; i < buf.size(); ++i) buf[i] = PatternByte(i, seed);
        // The pattern repeats every 251 bytes: chunks that start on a multiple of 251
        // (and of the buffer) continue it.
        size_t step = buf.size() - buf.size() % 251;
        if (step == 0) step = buf.size();
        for (size_t at = 0; at < n; at += step) {
          if (!WriteAll(h, buf.data(), std::min(step, n - at))) return true;
        }
        if (op[0] == 3) return false;
        break;
      }
      case 4: {
        buf.resize(n);
        uint8_t digest[32];
        if (!ReadAll(h, buf.data(), n)) return true;
        if (!pf::Sha256(buf.data(), n, digest) || !WriteAll(h, digest, sizeof digest)) return true;
        break;
      }
      case 5: {
        uint8_t reply[16] = {16, 0, 0, 0, 5};
        if (!WriteAll(h, reply, sizeof reply)) return true;
        break;
      }
      default:
        return true;
    }
  }
}

int Serve(const std::wstring& name) {
  std::atomic<int> serial{0};
  std::vector<std::thread> threads;
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> created{0};
  for (DWORD i = 0; i < kInstances; ++i) {
    threads.emplace_back([&] {
      for (bool first = true;; first = false) {
        HANDLE h = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, kInstances,
                                    1 << 16, 1 << 16, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
          Say("create failed " + std::to_string(GetLastError()));
          ExitProcess(3);
        }
        if (first && ++created == kInstances) SetEvent(ready);
        if (!ConnectNamedPipe(h, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
          CloseHandle(h);
          continue;
        }
        int id = ++serial;
        Say("accepted " + std::to_string(id));
        bool closed_by_us = !ServeOps(h);
        // Closed, not disconnected: what was written last stays readable.
        CloseHandle(h);
        Say((closed_by_us ? "closed " : "gone ") + std::to_string(id));
      }
    });
  }
  WaitForSingleObject(ready, INFINITE);
  Say("ready");
  // Never outlive a test run that forgot us.
  Sleep(10 * 60 * 1000);
  ExitProcess(0);
}

// Says the median of `rounds` small exchanges and the best of three bulk ones (microseconds
// and milliseconds); false, said by the exchange, when one fails.
bool Measure(int rounds, const std::function<bool()>& small, const std::function<bool()>& bulk) {
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  auto us = [&] { return double(t1.QuadPart - t0.QuadPart) * 1e6 / double(freq.QuadPart); };
  std::vector<double> rtt;
  for (int i = 0; i < rounds; ++i) {
    QueryPerformanceCounter(&t0);
    if (!small()) return false;
    QueryPerformanceCounter(&t1);
    rtt.push_back(us());
  }
  std::sort(rtt.begin(), rtt.end());
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    QueryPerformanceCounter(&t0);
    if (!bulk()) return false;
    QueryPerformanceCounter(&t1);
    best = std::min(best, us());
  }
  Say("rtt_us=" + std::to_string(rtt[rtt.size() / 2]));
  Say("bulk_ms=" + std::to_string(best / 1000));
  return true;
}

int Bench(const std::u16string& name, int rounds, size_t bytes) {
  uint32_t error = 0;
  pf::PipeHandle h = pf::PipeOpen(name.c_str(), &error);
  if (h == pf::kInvalidPipe) {
    Say("open failed " + std::to_string(error));
    return 1;
  }
  std::vector<uint8_t> block(bytes);
  auto ping = [&] {
    uint32_t op[3] = {5, 0, 0};
    uint8_t reply[16];
    bool ok = pf::PipeWrite(h, op, sizeof op) == pf::IoResult::kOk &&
              pf::PipeRead(h, reply, sizeof reply) == pf::IoResult::kOk;
    if (!ok) Say("ping failed");
    return ok;
  };
  auto bulk = [&] {
    uint32_t op[3] = {2, static_cast<uint32_t>(bytes), 1};
    bool ok = pf::PipeWrite(h, op, sizeof op) == pf::IoResult::kOk &&
              pf::PipeRead(h, block.data(), bytes) == pf::IoResult::kOk;
    if (!ok) Say("bulk failed");
    return ok;
  };
  if (!Measure(rounds, ping, bulk)) return 1;
  bool intact = true;
  for (size_t i = 0; i < bytes && intact; i += 4093) intact = block[i] == PatternByte(i, 1);
  pf::PipeClose(h);
  Say(std::string("intact=") + (intact ? "1" : "0"));
  return 0;
}

int SessionCase(const std::u16string& path, uint32_t records) {
  Session client;
  ULONGLONG t0 = GetTickCount64();
  int32_t r = client.Initialize(path.c_str(), false);
  Say("result=" + std::to_string(r));
  Say("build=" + std::to_string(client.build()));
  Say("text=" + U8(client.setup_text()));
  if (r >= 0) {
    orbisyn::ArrayBlock block;
    int32_t a = orbisyn::ExchangeArray(client.pipe(), 121, orbisyn::NoPayload, 320, &block);
    bool same = a >= 0 && block.count() == records;
    const auto* p = static_cast<const uint8_t*>(block.data());
    for (size_t i = 0; same && i < size_t{records} * 320; ++i) {
      same = p[i] == PatternByte(i, records);
    }
    Say("array=" + std::to_string(a) + (same ? " intact" : " differs"));
  }
  Say("ms=" + std::to_string(GetTickCount64() - t0));
  client.Close();
  return 0;
}

int Terminal(const std::u16string& path, int64_t date, int32_t count) {
  Session client;
  int32_t r = client.Initialize(path.c_str(), false);
  Say("result=" + std::to_string(r));
  Say("text=" + U8(client.setup_text()));
  if (r < 0) return 0;
  Say("ready=" + std::to_string(client.WaitReady(30000)));
  int32_t first = 0, second = 0;
  orbisyn::ArrayBlock text;
  client.Version(&first, &second, &text);
  Say("version=" + std::to_string(first) + "/" + std::to_string(second));
  orbisyn::AccountInfoRecord account = {};
  if (orbisyn::exchange::AccountInfo(client.pipe(), &account) >= 0) Say("login=" + std::to_string(account.login));
  orbisyn::ArrayBlock bars;
  int32_t b = orbisyn::exchange::CopyRatesFrom(client.pipe(), u"BTCUSD", 1, date, count, &bars);
  uint8_t digest[32] = {};
  if (b >= 0) pf::Sha256(bars.data(), size_t{bars.count()} * 60, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t d : digest) hex += {kHex[d >> 4], kHex[d & 15]};
  Say("bars=" + std::to_string(b >= 0 ? bars.count() : 0) + " " + hex);
  orbisyn::TradeRequestRecord request = {};
  request.action = 1;  // a market deal
  for (size_t i = 0; u"BTCUSD"[i]; ++i) request.symbol[i] = u"BTCUSD"[i];
  request.volume = 0.01;
  orbisyn::SendResultRecord sent = {};
  int32_t o = orbisyn::exchange::OrderSend(client.pipe(), request, &sent);
  Say("retcode=" + std::to_string(o >= 0 ? sent.retcode : o));
  uint32_t positions = 0;
  orbisyn::exchange::PositionsTotal(client.pipe(), &positions);
  Say("positions=" + std::to_string(positions));
  client.Close();
  return 0;
}

int TerminalBench(const std::u16string& path, int rounds, int64_t date, int32_t count) {
  Session client;
  if (client.Initialize(path.c_str(), false) < 0 || client.WaitReady(30000) < 0) {
    Say("failed=" + U8(client.setup_text()));
    return 1;
  }
  auto bars = [&](int32_t n, const char* what) {
    orbisyn::ArrayBlock block;
    int32_t r = orbisyn::exchange::CopyRatesFrom(client.pipe(), u"BTCUSD", 1, date, n, &block);
    bool ok = r >= 0 && block.count() == static_cast<uint32_t>(n);
    if (!ok) Say(std::string("failed=") + what + ": " + std::to_string(r));
    return ok;
  };
  if (!Measure(rounds, [&] { return bars(1, "1 bar"); }, [&] { return bars(count, "bars"); })) return 1;
  client.Close();
  return 0;
}

int Hold(const std::u16string& path, DWORD ms) {
  Session client;
  int32_t r = client.Initialize(path.c_str(), false);
  Say("held result=" + std::to_string(r));
  Sleep(ms);
  client.Close();
  return 0;
}

int TcpEcho() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof at;
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    return 1;
  }
  Say("port=" + std::to_string(ntohs(at.sin_port)));
  SOCKET s = accept(listener, nullptr, nullptr);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  std::vector<char> buf(1 << 16);
  for (;;) {
    int got = recv(s, buf.data(), static_cast<int>(buf.size()), 0);
    if (got <= 0) break;
    for (int sent = 0; sent < got;) {
      int put = send(s, buf.data() + sent, got - sent, 0);
      if (put <= 0) return 0;
      sent += put;
    }
  }
  return 0;
}

int Probe(const std::wstring& name) {
  bool exists = WaitNamedPipeW(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
  Say(std::string("exists=") + (exists ? "1" : "0"));
  return 0;
}

}  // namespace

int main() {
  std::vector<std::wstring> args;
  for (const std::u16string& a : Arguments()) args.push_back(W(a));
  if (args.size() == 2 && args[0] == L"serve") return Serve(args[1]);
  if (args.size() == 2 && args[0] == L"probe") return Probe(args[1]);
  if (args.size() == 1 && args[0] == L"tcp-echo") return TcpEcho();
  if (args.size() == 3 && args[0] == L"session") {
    return SessionCase(std::u16string(args[1].begin(), args[1].end()),
                   static_cast<uint32_t>(std::stoul(args[2])));
  }
  if (args.size() == 4 && args[0] == L"terminal") {
    return Terminal(std::u16string(args[1].begin(), args[1].end()), std::stoll(args[2]),
                    std::stoi(args[3]));
  }
  if (args.size() == 5 && args[0] == L"terminal-bench") {
    return TerminalBench(std::u16string(args[1].begin(), args[1].end()), std::stoi(args[2]),
                         std::stoll(args[3]), std::stoi(args[4]));
  }
  if (args.size() == 3 && args[0] == L"hold") {
    return Hold(std::u16string(args[1].begin(), args[1].end()),
                static_cast<DWORD>(std::stoul(args[2])));
  }
  if (args.size() == 4 && args[0] == L"bench") {
    return Bench(std::u16string(args[1].begin(), args[1].end()), std::stoi(args[2]),
                 std::stoull(args[3]));
  }
  std::fprintf(stderr, "usage: relay_driver serve|bench|probe|session|hold ...\n");
  return 2;
}
