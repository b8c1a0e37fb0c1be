// Time limits of the Terminal link on Windows: the real session, channel and platform layer
// against scripted pipe servers in the same process. Run under Wine by tests/windows/run.py.
//
//   timeout_driver all    every case; one "PASS name" / "FAIL name: why" line each
//
// (Without arguments it does nothing: the connect-poll case starts this program as the
// Terminal that never opens its pipe.)
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "link/channel.h"
#include "link/results.h"
#include "link/session.h"
#include "platform/platform.h"

using namespace orbisyn;
using namespace wintest;
namespace pf = orbisyn::platform;

namespace {

Bytes Records(uint32_t count) { return Bytes() << count << Pattern(size_t{count} * 320, count); }

// The call took about a second: the limit, not sooner and not much later.
void AboutASecond(Case& c, ULONGLONG ms) {
  c.Check(ms >= 950 && ms < 1500, "took " + std::to_string(ms) + " ms");
}

int32_t ReadArray(Session& client, ArrayBlock* block) {
  return ExchangeArray(client.pipe(), 121, NoPayload, 320, block);
}

// ---- one exchange under the idle limit ---------------------------------------------------

void SilentTerminal() {
  Case c("idle-limit-ends-a-silent-exchange");
  Link link("silent", [](ServerPipe& p) { p.AwaitHangUp(); });  // reads, never answers
  Session& client = link.Open(c);
  client.SetLimits(1000, 0);
  ULONGLONG t0 = Now();
  c.Equal(Exchange(client.pipe(), 120, NoPayload, NoReply), kIpcTimeout, "result");
  AboutASecond(c, Now() - t0);
  c.Check(!client.IsOpen(), "the link is closed");
  c.Equal(Exchange(client.pipe(), 120, NoPayload, NoReply), kIpcNoConnection, "result");
  link.server.Join();
}

void StopsMidReply() {
  Case c("idle-limit-ends-a-reply-that-stops");
  Link link("stops", [](ServerPipe& p) {
    p.ReadFrame();
    Bytes whole = Reply(121, 0, Records(10));
    p.Write(Bytes(whole.begin(), whole.begin() + 1000));
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  client.SetLimits(1000, 0);
  ArrayBlock block;
  ULONGLONG t0 = Now();
  c.Equal(ReadArray(client, &block), kIpcTimeout, "result");
  AboutASecond(c, Now() - t0);
  c.Check(!client.IsOpen() && block.data() == nullptr, "closed, nothing handed back");
  link.server.Join();
}

void FlowingReply() {
  Case c("idle-limit-never-cuts-a-reply-that-keeps-coming");
  const Bytes payload = Records(20000);  // 6.4 MB, in eight pieces 400 ms apart
  Link link("flowing", [&](ServerPipe& p) {
    p.ReadFrame();
    Bytes whole = Reply(121, 0, payload);
    std::vector<size_t> cuts;
    for (size_t k = 1; k < 8; ++k) cuts.push_back(whole.size() * k / 8);
    p.Write(whole, cuts, 400);
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  client.SetLimits(1000, 0);
  ArrayBlock block;
  ULONGLONG t0 = Now();
  c.Equal(ReadArray(client, &block), 0, "result");
  ULONGLONG took = Now() - t0;
  c.Check(took >= 2500, "took only " + std::to_string(took) + " ms");
  const auto* got = static_cast<const uint8_t*>(block.data());
  c.Check(block.count() == 20000 && got != nullptr &&
              Bytes(got, got + 20000 * 320) == Bytes(payload.begin() + 4, payload.end()),
          "records as sent");
  c.Check(client.IsOpen(), "the link stays");
  client.Close();
  link.server.Join();
}

void WriteLimit() {
  Case c("idle-limit-ends-a-write-nobody-reads");
  std::u16string name = UniqueName("full");
  ServerPipe server(W(name));
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  server.Start([stop](ServerPipe&) { WaitForSingleObject(stop, 20000); });
  uint32_t error = 0;
  pf::PipeHandle h = pf::PipeOpen(name.c_str(), &error);
  c.Check(h != pf::kInvalidPipe, "open");
  Bytes big(4 << 20);
  ULONGLONG t0 = Now();
  pf::IoResult r = pf::PipeWrite(h, big.data(), big.size(), pf::WaitLimit{1000, 0, nullptr});
  c.Check(r == pf::IoResult::kTimedOut, "kTimedOut");
  AboutASecond(c, Now() - t0);
  pf::PipeClose(h);
  SetEvent(stop);
  server.Join();
  CloseHandle(stop);
}

// shutdown() from another thread ends a limited wait at once, as a broken link.
void WakeBeforeLimit() {
  Case c("wake-ends-a-limited-wait-at-once");
  Link link("wake", [](ServerPipe& p) { p.AwaitHangUp(); });
  Session& client = link.Open(c);
  client.SetLimits(20000, 0);
  auto [r, took] = CancelledExchange(client);
  c.Equal(r, kIpcRecvFailed, "result");
  c.Check(took >= 150 && took < 1000, "took " + std::to_string(took) + " ms");
  c.Check(!client.IsOpen(), "the link is closed");
  link.server.Join();
}

// Many limited exchanges answered in time: no limit fires late on a later one.
void LimitsThatDoNotRunOut() {
  Case c("answered-exchanges-under-a-limit");
  Link link("answered", [](ServerPipe& p) {
    for (int i = 0; i < 200; ++i) {
      p.ReadFrame();
      if (i % 50 == 0) Sleep(300);
      p.Write(Reply(120, 0, Bytes() << uint32_t(i)));
    }
    p.AwaitHangUp();
  });
  Session& client = link.Open(c);
  client.SetLimits(1000, 0);
  int wrong = 0;
  for (uint32_t i = 0; i < 200; ++i) {
    uint32_t value = 0;
    if (ExchangeRecord(client.pipe(), 120, NoPayload, &value, 4) != 0 || value != i) ++wrong;
  }
  c.Check(wrong == 0, std::to_string(wrong) + " exchanges failed");
  c.Check(client.IsOpen(), "the link stays");
  client.Close();
  link.server.Join();
}

// ---- initialize's deadline, in each phase ------------------------------------------------

void InitializeDeadline(const std::string& phase) {
  Case c("initialize-deadline-" + phase);
  std::u16string exe = OwnPath();
  std::u16string pipe = SessionPipeName(exe.c_str());
  Session client, holder;
  ServerPipe* server = nullptr;
  if (phase == "handshake") {
    server = new ServerPipe(W(pipe));
    server->Start([](ServerPipe& p) { p.AwaitHangUp(); });
  } else if (phase == "readiness") {
    server = new ServerPipe(W(pipe));
    server->Start([](ServerPipe& p) {
      p.ReadFrame();
      p.Write(Reply(4, 0, Bytes() << int32_t{3000}));
      p.AwaitHangUp();  // the readiness poll is never answered
    });
  } else if (phase == "busy-pipe") {
    server = new ServerPipe(W(pipe));  // one instance, taken by the holder
    server->Start([](ServerPipe& p) { p.AwaitHangUp(); });
    c.Check(holder.OpenPipe(pipe.c_str()), "holder");
  }  // connect-poll: nothing serves; the launched program (this one) never will
  client.SetLimits(0, pf::MonotonicMs() + 1000);
  ULONGLONG t0 = Now();
  int32_t r = client.Initialize(exe.c_str(), false);
  if (phase == "readiness") {
    c.Equal(r, 0, "result");
    r = client.WaitReady(0);
  }
  c.Equal(r, kIpcTimeout, "result");
  AboutASecond(c, Now() - t0);
  c.Check(client.MsLeft() == 0, "deadline passed");
  if (phase == "busy-pipe") {
    // It waited for the instance: no failed open, no launch.
    c.Check(client.setup_text()[0] == 0, "no setup text");
  }
  client.Close();
  holder.Close();
  if (server != nullptr) {
    server->Join();
    delete server;
  }
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  bool all = argc == 2 && std::wstring(wargv[1]) == L"all";
  LocalFree(wargv);
  if (!all) return 0;
  SilentTerminal();
  StopsMidReply();
  FlowingReply();
  WriteLimit();
  WakeBeforeLimit();
  LimitsThatDoNotRunOut();
  for (const char* phase : {"connect-poll", "busy-pipe", "handshake", "readiness"}) {
    InitializeDeadline(phase);
  }
  return 0;
}
