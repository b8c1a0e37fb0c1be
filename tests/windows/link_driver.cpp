// The Terminal link on Windows: the real session, channel and platform layer against a
// scripted pipe server in the same process. Run under Wine by tests/windows/run.py.
//
//   link_driver channel          in-process cases; one "PASS name" / "FAIL name: why" each
//   link_driver name PATH        Connect's pipe name for PATH (nothing listens)
//   link_driver launch PATH 0|1  Initialize(PATH, portable) against a launched Terminal
//   link_driver locate [NAME BUILD]...  Initialize without a path; NAMEs answer with BUILD
//   link_driver appdata | list DIR | ctrlc MODE
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "link/channel.h"
#include "link/results.h"
#include "link/session.h"
#include "platform/platform.h"
#include "platform/text.h"

using namespace orbisyn;
using namespace wintest;
namespace pf = orbisyn::platform;

namespace {

Bytes I32(int32_t v) {
  Bytes b;
  b << v;
  return b;
}

// Reads an array reply of 320-byte records, as the positions family does.
int32_t ArrayExchange(Session& client, int32_t command, Bytes* records, uint32_t* count) {
  ArrayBlock block;
  int32_t r = ExchangeArray(client.pipe(), command, NoPayload, 320, &block);
  *count = block.count();
  if (r >= 0) {
    const auto* p = static_cast<const uint8_t*>(block.data());
    records->assign(p, p + size_t{*count} * 320);
  }
  return r;
}

// ---- the session's own operations ------------------------------------------------------

void SessionOperations() {
  Case c("session-operations");
  Session client;
  std::u16string exe = OwnPath();
  ServerPipe server(W(SessionPipeName(exe.c_str())));
  std::vector<Bytes> seen;
  server.Start([&](ServerPipe& p) {
    const Bytes replies[] = {
        Reply(4, 0, I32(4321)), Reply(5, 0), Reply(109, 0, I32(1)), Reply(109, 0, I32(2)),
        Reply(1, 5, Bytes() << int32_t{500} << int32_t{4321} << uint32_t{3} << u'3' << u'.' << u'1'),
    };
    for (const Bytes& reply : replies) {
      seen.push_back(p.ReadFrame());
      p.Write(reply);
    }
    p.AwaitHangUp();
  });
  c.Equal(client.Initialize(exe.c_str(), false), 0, "handshake result");
  c.Equal(client.build(), 4321, "build");
  c.Equal(client.Login(123456789, u"p\u00e4ss", u"Demo"), 0, "login");
  ULONGLONG t0 = Now();
  c.Equal(client.WaitReady(1000), int32_t{kResultSuccess}, "ready");
  c.Check(Now() - t0 >= 90, "one 100 ms sleep between the two polls");
  int32_t first = 0, second = 0;
  ArrayBlock text;
  c.Equal(client.Version(&first, &second, &text), 5, "version status");
  c.Check(first == 500 && second == 4321 && text.count() == 3 &&
              std::u16string(static_cast<const char16_t*>(text.data()), 3) == u"3.1",
          "version values");
  client.Close();
  c.Check(!client.IsOpen() && client.build() == 4321, "closed, build kept");
  server.Join();
  const Bytes want[] = {
      Request(4, Bytes() << int32_t{3} << std::u16string(u"Python")),
      Request(5, Bytes() << int32_t{0} << uint64_t{123456789} << std::u16string(u"p\u00e4ss")
                         << std::u16string(u"Demo")),
      Request(109), Request(109), Request(1, I32(0)),
  };
  c.Equal(seen.size(), std::size(want), "requests seen");
  for (size_t i = 0; i < seen.size() && i < std::size(want); ++i) {
    c.Check(seen[i] == want[i], "request " + std::to_string(i) + " bytes");
  }
  // The handshake frame exactly as the Terminal expects it.
  const uint8_t handshake[] = {0x18, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0, 6, 0, 0, 0,
                               'P', 0, 'y', 0, 't', 0, 'h', 0, 'o', 0, 'n', 0};
  c.Check(!seen.empty() && seen[0] == Bytes(handshake, handshake + sizeof handshake),
          "handshake bytes");
}

// ---- exchange rules --------------------------------------------------------------------

struct RuleCase {
  const char* name;
  int32_t command;
  Bytes reply;   // what the server answers
  int32_t want;  // the exchange result
  enum Read { kRecord, kArray, kNothing } read;
};

void ExchangeRules() {
  Bytes record = Pattern(320, 1);
  const RuleCase cases[] = {
      {"complete record", 123, Reply(123, 0, record), 0, RuleCase::kRecord},
      {"negative status only", 123, Reply(123, -5), -5, RuleCase::kRecord},
      {"status 0 without record", 123, Reply(123, 0), kIpcRecvFailed, RuleCase::kRecord},
      {"wrong echo, negative status", 120, Reply(121, -4), kIpcCallFailed, RuleCase::kNothing},
      {"longer than the payload", 123, Reply(123, 0, Bytes(record) << Bytes(10, 0xEE)), kIpcRecvFailed,
       RuleCase::kRecord},
      {"next reply still in step", 123, Reply(123, 7, record), 7, RuleCase::kRecord},
      {"ends before the status", 120, Frame(I32(120)), kIpcRecvFailed, RuleCase::kNothing},
      {"empty array", 121, Reply(121, 0, Bytes() << uint32_t{0}), 0, RuleCase::kArray},
      {"count past the reply's end", 121, Reply(121, 0, Bytes() << uint32_t{1000} << record),
       kIpcRecvFailed, RuleCase::kArray},
      {"after a bad count", 121, Reply(121, 0, Bytes() << uint32_t{1} << record), 0,
       RuleCase::kArray},
  };
  Case c("exchange-rules");
  std::vector<Bytes> seen;
  Link link("rules", [&](ServerPipe& p) {
    for (const RuleCase& rc : cases) {
      seen.push_back(p.ReadFrame());
      p.Write(rc.reply);
    }
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  for (const RuleCase& rc : cases) {
    int32_t r;
    if (rc.read == RuleCase::kArray) {
      Bytes records;
      uint32_t count;
      r = ArrayExchange(client, rc.command, &records, &count);
      if (r >= 0) c.Check(count == records.size() / 320 && records == Bytes(record.begin(),
                              record.begin() + count * 320), std::string(rc.name) + ": records");
    } else {
      Bytes got(320);
      r = Exchange(client.pipe(), rc.command, NoPayload, [&](PipeReader& rd) {
        return rc.read == RuleCase::kNothing || rd.Read(got.data(), 320);
      });
      if (r >= 0 && rc.read == RuleCase::kRecord) c.Check(got == record, std::string(rc.name) + ": record");
    }
    c.Equal(r, rc.want, rc.name);
  }
  c.Check(client.IsOpen(), "none of these closes the link");
  client.Close();
  link.server.Join();
  for (size_t i = 0; i < seen.size(); ++i) {
    c.Check(seen[i] == Request(cases[i].command), std::string(cases[i].name) + ": 8-byte request");
  }
}

// ---- large replies, split writes, a large request --------------------------------------

void LargeAndSplit() {
  struct Shape {
    const char* name;
    uint32_t records;
    std::vector<size_t> cuts;  // where the server pauses inside the reply
  };
  const Shape shapes[] = {
      {"one record", 1, {}},
      {"26 records: direct read of 8320 bytes", 26, {}},
      {"5000 records: 1.6 MB through a 64 KiB pipe", 5000, {}},
      {"split inside the length, the status and a record", 3, {1, 3, 9, 13, 17, 400, 700}},
      {"100 records split at odd places", 100, {2, 5, 4099, 8193, 16385, 16390, 31000}},
  };
  Case c("large-and-split-replies");
  std::vector<Bytes> sent;
  for (const Shape& s : shapes) sent.push_back(Pattern(size_t{s.records} * 320, s.records));
  Link link("large", [&](ServerPipe& p) {
    for (size_t i = 0; i < std::size(shapes); ++i) {
      p.ReadFrame();
      p.Write(Reply(121, 0, Bytes() << shapes[i].records << sent[i]), shapes[i].cuts, 15);
    }
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  for (size_t i = 0; i < std::size(shapes); ++i) {
    Bytes records;
    uint32_t count = 0;
    c.Equal(ArrayExchange(client, 121, &records, &count), 0, shapes[i].name);
    c.Check(count == shapes[i].records && records == sent[i], std::string(shapes[i].name) + ": bytes");
  }
  client.Close();
  link.server.Join();
}

// The largest request goes out whole in one write; a larger one is refused before a byte
// is sent, and the link stays usable.
void LargestRequest() {
  Case c("largest-request-and-one-too-large");
  // Frame: length 4, command 4, count 4, then 8186 units: 16384 bytes in all.
  std::u16string fits(8186, u'x'), too_long(8187, u'y');
  for (size_t i = 0; i < fits.size(); ++i) fits[i] = static_cast<char16_t>(0x41 + i % 26);
  std::vector<Bytes> seen;
  Link link("request", [&](ServerPipe& p) {
    for (int i = 0; i < 2; ++i) {
      seen.push_back(p.ReadFrame());
      p.Write(Reply(175, 0, Bytes() << uint32_t{0}));
    }
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  auto send = [&](const std::u16string& text) {
    ArrayBlock block;
    return ExchangeArray(
        client.pipe(), 175, [&](PipeWriter& w) { return w.PutText(text.c_str()); }, 320, &block);
  };
  c.Equal(send(fits), 0, "16 KiB request");
  c.Equal(send(too_long), int32_t{kIpcSendFailed}, "one unit more");
  c.Equal(send(fits), 0, "the link still works");
  client.Close();
  link.server.Join();
  Bytes want = Request(175, Bytes() << fits);
  c.Equal(want.size(), size_t{16384}, "frame size");
  c.Check(seen.size() == 2 && seen[0] == want && seen[1] == want, "frames as sent");
}

// ---- the peer going away ---------------------------------------------------------------

void BrokenMidReply() {
  Case c("broken-pipe-mid-reply");
  Link link("broken", [&](ServerPipe& p) {
    p.ReadFrame();
    Bytes whole = Reply(123, 0, Pattern(320, 3));
    p.Write(Bytes(whole.begin(), whole.begin() + 112));
    p.Close();  // the Terminal exits in the middle of its reply
  });
  Session& client = link.Open(c);
  Bytes got(320);
  int32_t r = ExchangeRecord(client.pipe(), 123, NoPayload, got.data(), 320);
  c.Equal(r, int32_t{kIpcRecvFailed}, "result");
  c.Check(!client.IsOpen(), "the broken pipe closed the link");
  c.Equal(Exchange(client.pipe(), 120, NoPayload, NoReply), int32_t{kIpcNoConnection}, "next call");
  link.server.Join();
}

void GoneBeforeRequest() {
  Case c("peer-gone-before-request");
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Link link("gone", [&](ServerPipe& p) {
    p.Close();
    SetEvent(closed);
  });
  Session& client = link.Open(c);
  WaitForSingleObject(closed, 5000);
  c.Equal(Exchange(client.pipe(), 120, NoPayload, NoReply), int32_t{kIpcSendFailed}, "write");
  c.Check(!client.IsOpen(), "the link is closed");
  c.Equal(Exchange(client.pipe(), 120, NoPayload, NoReply), int32_t{kIpcNoConnection}, "next call");
  link.server.Join();
  CloseHandle(closed);
}

// ---- opening -----------------------------------------------------------------------------

void BusyPipe() {
  Case c("busy-pipe-waits-for-an-instance");
  Session holder, client;
  std::u16string name = UniqueName("busy");
  ServerPipe server(W(name));  // a single instance
  server.Start([&](ServerPipe& p) {
    p.AwaitHangUp();  // the holder lets go
    p.Disconnect();
    if (p.Accept()) AnswerSession(p, 77);
  });
  c.Check(holder.OpenPipe(name.c_str()), "first client");
  std::atomic<bool> opened{false};
  ULONGLONG t0 = Now(), took = 0;
  std::thread second([&] {
    opened = client.OpenPipe(name.c_str());
    took = Now() - t0;
  });
  Sleep(400);
  c.Check(!opened, "second client waits while the instance is taken");
  holder.Close();
  second.join();
  c.Check(opened, "second client got the instance");
  c.Check(took >= 350 && took < 5000, "waited " + std::to_string(took) + " ms");
  int32_t build = 0;
  c.Equal(ExchangeRecord(client.pipe(), 4, NoPayload, &build, 4), 0, "exchange over it");
  c.Equal(build, 77, "answered by the server");
  client.Close();
  server.Join();
}

void MissingPipe() {
  Case c("missing-pipe");
  Session client;
  std::u16string name = UniqueName("absent");
  c.Check(!client.OpenPipe(name.c_str()) && !client.IsOpen(), "fails");
  c.Check(U8(client.setup_text()) == "CreateFile failed [2]", "text: " + U8(client.setup_text()));
}

// ---- waking a wait from another thread ---------------------------------------------------

// Accepts every client and never says a word, until it goes out of scope.
struct SilentServer {
  std::u16string name = UniqueName("silent");
  std::atomic<bool> stop{false};
  std::atomic<bool> listening{false};
  std::vector<HANDLE> accepted;
  std::thread thread{[this] {
    for (;;) {
      HANDLE h = CreateNamedPipeW(W(name).c_str(), PIPE_ACCESS_DUPLEX,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                  PIPE_UNLIMITED_INSTANCES, 1 << 16, 1 << 16, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return;
      listening = true;
      bool connected = ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
      accepted.push_back(h);
      if (!connected || stop) return;
    }
  }};
  SilentServer() {
    while (!listening) Sleep(1);
  }
  ~SilentServer() {
    stop = true;
    // One more client frees the accept that the thread is blocked in.
    HANDLE last = CreateFileW(W(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    thread.join();
    if (last != INVALID_HANDLE_VALUE) CloseHandle(last);
    for (HANDLE h : accepted) CloseHandle(h);
  }
};

// The session's Cancel, from another thread, wakes the pipe under a waiting exchange.
void CancelBlockedExchange() {
  Case c("cancel-ends-a-blocked-exchange");
  SilentServer server;
  Session client;
  c.Check(client.OpenPipe(server.name.c_str()), "open");
  auto [r, took] = CancelledExchange(client);
  c.Equal(r, int32_t{kIpcRecvFailed}, "result");
  c.Check(!client.IsOpen(), "the waiter closed the link");
  c.Check(took >= 150 && took < 2000, "ended after " + std::to_string(took) + " ms");
}

void WakeBlockedWrite() {
  Case c("wake-ends-a-blocked-write");
  SilentServer server;  // never reads: the write fills the pipe and blocks
  uint32_t error = 0;
  pf::PipeHandle h = pf::PipeOpen(server.name.c_str(), &error);
  c.Check(h != pf::kInvalidPipe, "open");
  Bytes big(4 << 20);
  pf::IoResult r = pf::IoResult::kOk;
  std::thread writer([&] { r = pf::PipeWrite(h, big.data(), big.size()); });
  Sleep(200);
  pf::PipeWake(h);
  writer.join();
  c.Check(r == pf::IoResult::kBroken, "kBroken");
  pf::PipeClose(h);
}

void WakeMarksStay() {
  Case c("wake-holds-for-later-transfers-until-close");
  SilentServer server;
  uint32_t error = 0;
  pf::PipeHandle h = pf::PipeOpen(server.name.c_str(), &error);
  uint8_t buf[4] = {1, 2, 3, 4};
  pf::PipeWake(h);
  c.Check(pf::PipeRead(h, buf, 4) == pf::IoResult::kBroken, "read after the wake");
  c.Check(pf::PipeWrite(h, buf, 4) == pf::IoResult::kBroken, "write after the wake");
  pf::PipeClose(h);
  // Handle numbers come back; a new pipe must not inherit the old mark.
  for (int i = 0; i < 3; ++i) {
    pf::PipeHandle again = pf::PipeOpen(server.name.c_str(), &error);
    c.Check(pf::PipeWrite(again, buf, 4) == pf::IoResult::kOk,
            "write on a new handle " + std::to_string(again) + " (old " + std::to_string(h) + ")");
    pf::PipeClose(again);
  }
}

// The wake may land just before the blocking call starts: it must never be lost.
void WakeRaces() {
  Case c("wake-never-lost-in-a-race");
  SilentServer server;
  int hung = 0, wrong = 0;
  for (int i = 0; i < 150 && hung == 0; ++i) {
    uint32_t error = 0;
    pf::PipeHandle h = pf::PipeOpen(server.name.c_str(), &error);
    if (h == pf::kInvalidPipe) {
      ++wrong;
      continue;
    }
    std::atomic<int> state{0};
    pf::IoResult r = pf::IoResult::kOk;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread reader([&] {
      uint8_t b[4];
      state = 1;
      r = pf::PipeRead(h, b, 4);
      SetEvent(done);
    });
    while (state == 0) {
    }
    for (int spin = 0; spin < (i % 15) * 200; ++spin) YieldProcessor();
    pf::PipeWake(h);
    if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
      ++hung;
      reader.detach();  // cannot end it; the case fails and the driver exits below
      break;
    }
    reader.join();
    CloseHandle(done);
    if (r != pf::IoResult::kBroken) ++wrong;
    pf::PipeClose(h);
  }
  c.Equal(hung, 0, "reads left hanging");
  c.Equal(wrong, 0, "reads that ended otherwise");
  if (hung != 0) {
    std::fflush(stdout);
    ExitProcess(3);
  }
}

// ---- commands run by the runner ----------------------------------------------------------

void PrintSession(const Session& client, int32_t r, ULONGLONG ms) {
  Say("result=" + std::to_string(r));
  Say("build=" + std::to_string(client.build()));
  Say("ms=" + std::to_string(ms));
  Say("text=" + U8(client.setup_text()));
}

int Name(const std::u16string& path) {
  Session client;
  client.Connect(path.c_str(), false);  // nothing listens; the launch fails on a non-program
  char16_t name[kPathUnits];
  Session::PipeName(client.path_hash(), name);
  Say("name=" + U8(name));
  Say("text=" + U8(client.setup_text()));
  return 0;
}

int Launch(const std::u16string& path, bool portable) {
  Session client;
  ULONGLONG t0 = Now();
  int32_t r = client.Initialize(path.c_str(), portable);
  PrintSession(client, r, Now() - t0);
  client.Close();
  return 0;
}

int Locate(const std::vector<std::u16string>& args) {
  // Each NAME is served by a Terminal answering with its BUILD, so the build tells which
  // candidate the locator connected. Unused servers are abandoned at ExitProcess.
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    auto* server = new ServerPipe(W(args[i]));
    int32_t build = std::stoi(U8(args[i + 1]));
    server->Start([build](ServerPipe& p) { AnswerSession(p, build); });
  }
  Session client;
  client.SetSetupText("untouched");  // shows whether the locator wrote a message
  ULONGLONG t0 = Now();
  int32_t r = client.Initialize(u"", false);
  PrintSession(client, r, Now() - t0);
  client.Close();
  std::fflush(stdout);
  ExitProcess(0);
  return 0;
}

int AppData() {
  char16_t folder[kPathUnits + 1];
  Say(pf::RoamingAppData(folder, kPathUnits + 1) ? "appdata=" + U8(folder) : "appdata-failed");
  return 0;
}

int List(const std::u16string& dir) {
  pf::ListDirectory(
      dir.c_str(),
      [](const char16_t* name, bool is_directory, void*) {
        Say(U8(name) + (is_directory ? "/" : ""));
        return true;
      },
      nullptr);
  return 0;
}

// ---- Ctrl-C, sent by the runner as SIGINT to the Wine process ---------------------------

std::atomic<bool> g_tripped{false};
std::atomic<int> g_trip_delay_ms{0};
std::atomic<bool> g_trip{true};

// Stands in for Python's handler: registered first, so it runs after the platform's.
BOOL WINAPI PythonLike(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;
  if (g_trip) {
    Sleep(g_trip_delay_ms);
    g_tripped = true;
  }
  return TRUE;  // handled: the process goes on
}

int CtrlC(const std::string& mode) {
  SetConsoleCtrlHandler(PythonLike, TRUE);
  pf::SetInterruptCheck([] { return g_tripped.load(); });
  if (mode == "read-late") g_trip_delay_ms = 40;
  if (mode == "resume") g_trip = false;
  ULONGLONG t0 = 0, took = 0;
  std::string result;
  if (mode == "sleep") {
    Say("waiting");
    t0 = Now();
    result = pf::SleepMs(20000) ? "slept" : "interrupted";
    took = Now() - t0;
  } else if (mode == "open") {
    std::u16string name = UniqueName("busy");
    ServerPipe server(W(name));
    server.Start([](ServerPipe& p) { p.AwaitHangUp(); });
    uint32_t error = 0;
    pf::PipeHandle holder = pf::PipeOpen(name.c_str(), &error);
    Say("waiting");
    t0 = Now();
    pf::PipeHandle h = pf::PipeOpen(name.c_str(), &error);
    took = Now() - t0;
    result = h != pf::kInvalidPipe          ? "opened"
             : error == pf::kOpenInterrupted ? "interrupted"
                                             : "error " + std::to_string(error);
    pf::PipeClose(h);
    pf::PipeClose(holder);
  } else if (mode == "ready-poll") {
    // The Terminal keeps saying "not ready": WaitReady sleeps between its polls.
    std::u16string name = UniqueName("ready");
    ServerPipe server(W(name));
    server.Start([](ServerPipe& p) {
      while (!p.ReadFrame().empty() && p.Write(Reply(109, 0, I32(1)))) {
      }
    });
    Session client;
    client.OpenPipe(name.c_str());
    Say("waiting");
    t0 = Now();
    int32_t r = client.WaitReady(20000);
    took = Now() - t0;
    result = std::to_string(r) + (client.IsOpen() ? " open" : " closed");
  } else {  // read, read-late, resume: an exchange that the Terminal answers after 2 s
    std::u16string name = UniqueName("ctrl");
    ServerPipe server(W(name));
    server.Start([](ServerPipe& p) {
      p.ReadFrame();
      Sleep(2000);
      p.Write(Reply(120, 0, I32(42)));
      p.AwaitHangUp();
    });
    Session client;
    client.OpenPipe(name.c_str());
    Say("waiting");
    t0 = Now();
    uint32_t value = 0;
    int32_t r = ExchangeRecord(client.pipe(), 120, NoPayload, &value, 4);
    took = Now() - t0;
    result = std::to_string(r) + " " + std::to_string(value) + (client.IsOpen() ? " open" : " closed");
    client.Close();
  }
  Say("result=" + result);
  Say("ms=" + std::to_string(took));
  Say(std::string("tripped=") + (g_tripped ? "1" : "0"));
  return 0;
}

}  // namespace

int main() {
  std::vector<std::u16string> args = Arguments();
  std::string cmd = args.empty() ? "" : U8(args[0]);
  if (cmd == "channel") {
    SessionOperations();
    ExchangeRules();
    LargeAndSplit();
    LargestRequest();
    BrokenMidReply();
    GoneBeforeRequest();
    BusyPipe();
    MissingPipe();
    CancelBlockedExchange();
    WakeBlockedWrite();
    WakeMarksStay();
    WakeRaces();
    return 0;
  }
  if (cmd == "name" && args.size() == 2) return Name(args[1]);
  if (cmd == "launch" && args.size() == 3) return Launch(args[1], args[2] == u"1");
  if (cmd == "locate") return Locate(std::vector<std::u16string>(args.begin() + 1, args.end()));
  if (cmd == "appdata") return AppData();
  if (cmd == "list" && args.size() == 2) return List(args[1]);
  if (cmd == "ctrlc" && args.size() == 2) return CtrlC(U8(args[1]));
  std::fprintf(stderr, "usage: link_driver channel|name|launch|locate|appdata|list|ctrlc ...\n");
  return 2;
}
