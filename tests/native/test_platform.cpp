// Driver for the platform layer and the locator, run by test_native.py.
// Usage: test_platform COMMAND [ARGS]; prints results, exits 1 on a failed check.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/locator.h"
#include "link/loopback_proof.h"
#include "link/session.h"
#include "platform/platform.h"
#include "platform/posix_detail.h"
#include "platform/text.h"

using namespace orbisyn;
namespace pf = orbisyn::platform;


static int g_failures = 0;
#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                   \
    }                                                                 \
  } while (0)

static std::u16string U16(const std::string& s) {
  std::vector<char16_t> buf(s.size() + 1);
  Utf8ToUtf16(s.c_str(), buf.data(), buf.size());
  return buf.data();
}

static std::string U8(const char16_t* s) {
  char buf[4096];
  Utf16ToUtf8(s, pf::TextLength(s), buf, sizeof buf);
  return buf;
}

static void OnAlarm(int) {}

// Fires SIGALRM (no SA_RESTART) after ms, so blocking calls see EINTR.
static void InterruptAfter(int ms) {
  struct sigaction sa = {};
  sa.sa_handler = OnAlarm;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval t = {};
  t.it_value.tv_usec = ms * 1000;
  setitimer(ITIMER_REAL, &t, nullptr);
}

static int Listener(const char* path, bool listening) {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
  unlink(path);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  if (listening) listen(s, 4);
  return s;
}

// argv: DIR (becomes XDG_RUNTIME_DIR)
static void Socket(const char* dir) {
  setenv("XDG_RUNTIME_DIR", dir, 1);
  const std::u16string name = u"\\\\.\\pipe\\Zelt.Terminal.T";
  const std::string file = std::string(dir) + "/Zelt.Terminal.T";
  uint32_t err = 0;
  CHECK(pf::PipeOpen(name.c_str(), &err) == pf::kInvalidPipe && err == ENOENT);
  CHECK(pf::PipeOpen(u"Zelt.Terminal.T", &err) == pf::kInvalidPipe && err == EINVAL);
  int dead = Listener(file.c_str(), false);
  CHECK(pf::PipeOpen(name.c_str(), &err) == pf::kInvalidPipe && err == ECONNREFUSED);
  close(dead);

  int srv = Listener(file.c_str(), true);
  std::vector<char> out(300000), in(out.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7);
  pid_t child = fork();
  if (child == 0) {  // echo everything, pausing first so the reader blocks, then hang up
    int c = accept(srv, nullptr, nullptr);
    std::vector<char> buf(out.size());
    pf::PipeRead(c, buf.data(), buf.size());
    usleep(200000);
    pf::PipeWrite(c, buf.data(), buf.size());
    _exit(0);
  }
  pf::PipeHandle h = pf::PipeOpen(name.c_str(), &err);
  CHECK(h != pf::kInvalidPipe);
  CHECK(fcntl(h, F_GETFD) & FD_CLOEXEC);
  CHECK(pf::PipeWrite(h, out.data(), out.size()) == pf::IoResult::kOk);
  InterruptAfter(50);
  bool echoed = pf::PipeRead(h, in.data(), in.size()) == pf::IoResult::kOk;
  CHECK(echoed && in == out);
  if (!echoed) kill(child, SIGKILL);  // it may still be blocked writing to us
  waitpid(child, nullptr, 0);
  CHECK(pf::PipeRead(h, in.data(), 1) == pf::IoResult::kBroken);
  // Peer gone: EPIPE must come back as a result, not as SIGPIPE killing us.
  CHECK(pf::PipeWrite(h, out.data(), 16) == pf::IoResult::kBroken);
  pf::PipeClose(h);
  close(srv);

  namespace pd = pf::posix_detail;
  char buf[4096];
  CHECK(pd::SocketDirectory(buf, sizeof buf) == 0 && std::string(buf) == dir);
  const std::string priv = std::string(dir) + "/priv", link = std::string(dir) + "/link";
  mkdir(priv.c_str(), 0700);
  symlink(priv.c_str(), link.c_str());
  CHECK(pd::CheckPrivateDirectory(priv.c_str()) == 0);
  CHECK(pd::CheckPrivateDirectory(link.c_str()) == EACCES);
  CHECK(pd::CheckPrivateDirectory(file.c_str()) == EACCES);
  CHECK(pd::CheckPrivateDirectory((priv + "/missing").c_str()) == ENOENT);
  for (mode_t mode : {0720, 0702}) {
    chmod(priv.c_str(), mode);
    CHECK(pd::CheckPrivateDirectory(priv.c_str()) == EACCES);
  }
  chmod(priv.c_str(), 0700);
  if (getuid() == 0 && chown(priv.c_str(), 4321, 4321) == 0) {
    CHECK(pd::CheckPrivateDirectory(priv.c_str()) == EACCES);
  }
}

// The socket folder chosen in this environment, and what would stop a connect:
// "STATE FOLDER" then "PROBLEM TEXT" (errno values, 0 for none).
static void Folder() {
  namespace pd = pf::posix_detail;
  char dir[4096], why[2048] = "";
  int state = pd::SocketDirectory(dir, sizeof dir);
  int problem = pd::SocketFolderProblem(why, sizeof why);
  char again[2048] = "";
  CHECK(pf::PipePlaceProblem(again, sizeof again) == static_cast<uint32_t>(problem));
  CHECK(problem == 0 || std::string(again) == why);
  std::printf("%d %s\n%d %s\n", state, dir, problem, why);
}

struct Seen {
  std::string names;
  int calls = 0, stop_after = 1000;
};

static bool Record(const char16_t* name, bool is_dir, void* ctx) {
  auto* seen = static_cast<Seen*>(ctx);
  seen->names += U8(name) + (is_dir ? "/ " : " ");
  return ++seen->calls < seen->stop_after;
}

// argv: DIR prepared by the test; prints the listing.
static void Files(const char* dir) {
  const std::string d = dir;
  Seen seen;
  CHECK(pf::ListDirectory(U16(d).c_str(), Record, &seen));
  std::printf("%s\n", seen.names.c_str());
  Seen first;
  first.stop_after = 1;
  CHECK(pf::ListDirectory(U16(d).c_str(), Record, &first) && first.calls == 1);
  CHECK(!pf::ListDirectory(U16(d + "/missing").c_str(), Record, &seen));

  uint64_t early = 1, late = 0, negative = 1;
  CHECK(pf::LastWriteTime(U16(d + "/early").c_str(), &early));
  CHECK(pf::LastWriteTime(U16(d + "/late").c_str(), &late));
  CHECK(pf::LastWriteTime(U16(d + "/negative").c_str(), &negative));
  CHECK(early < late && late - early == 1 && negative == 0);
  CHECK(!pf::LastWriteTime(U16(d + "/missing").c_str(), &late));
  CHECK(pf::PathExists(U16(d + "/sub").c_str()) && !pf::PathExists(U16(d + "/dangling").c_str()));

  char head[600];
  size_t got = 99;
  CHECK(pf::ReadFileHead(U16(d + "/big").c_str(), head, 518, &got) && got == 518);
  CHECK(head[0] == 0 && head[517] == static_cast<char>(517 % 251));
  CHECK(pf::ReadFileHead(U16(d + "/early").c_str(), head, 518, &got) && got == 3);
  CHECK(!pf::ReadFileHead(U16(d + "/sub").c_str(), head, 518, &got) && got == 0);
  CHECK(!pf::ReadFileHead(U16(d + "/fifo").c_str(), head, 518, &got));
  CHECK(!pf::ReadFileHead(U16(d + "/missing").c_str(), head, 518, &got));

  // The result must fit with its terminator: len units need capacity len + 1.
  char16_t real[300];
  size_t len = pf::FinalPath(U16(d + "/sub/../link-to-big").c_str(), real, 300);
  CHECK(len > 0 && U8(real) == d + "/big");
  CHECK(pf::FinalPath(U16(d + "/big").c_str(), real, len + 1) == len);
  CHECK(pf::FinalPath(U16(d + "/big").c_str(), real, len) == 0);
  CHECK(pf::FinalPath(U16(d + "/missing").c_str(), real, 300) == 0);

  char16_t app[300];
  setenv("XDG_DATA_HOME", "relative", 1);
  setenv("HOME", "/home/h", 1);
  CHECK(pf::RoamingAppData(app, 300) && U8(app) == "/home/h/.local/share");
  setenv("XDG_DATA_HOME", "/data", 1);
  CHECK(pf::RoamingAppData(app, 300) && U8(app) == "/data");
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  CHECK(!pf::RoamingAppData(app, 300));

  timeval t0, t1;
  gettimeofday(&t0, nullptr);
  InterruptAfter(10);
  pf::SleepMs(60);  // an interrupted sleep goes on for the rest of its time
  gettimeofday(&t1, nullptr);
  CHECK((t1.tv_sec - t0.tv_sec) * 1000000 + (t1.tv_usec - t0.tv_usec) >= 60000);
}

// argv: PATH PORTABLE EXPECT(0/1) CWD
static void Spawn(const char* path, const char* portable, const char* expect, const char* cwd) {
  int stray = open("/dev/zero", O_RDONLY);  // inheritable; must not reach the child
  CHECK(stray > 2);
  CHECK(chdir(cwd) == 0);
  setenv("ORBISYN_SPAWN_MARK", "kept", 1);
  bool ok = pf::SpawnDetached(U16(path).c_str(), portable[0] == '1');
  CHECK(ok == (expect[0] == '1'));
  // Neither the Terminal nor an intermediate may be our child.
  CHECK(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
  std::printf("%d\n", static_cast<int>(getpid()));
}

static void Lower() {
  std::vector<char16_t> all(0x10000);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char16_t>(i);
  pf::LowerCase(all.data(), all.size());
  fwrite(all.data(), 2, all.size(), stdout);
}

// The pipe-name digest of a path, as the session derives it.
static void Digest(const char* path) {
  std::u16string p = U16(path);
  char16_t norm[kPathUnits + 1];
  size_t n = pf::FinalPath(p.c_str(), norm, kPathUnits + 1);
  if (n == 0) {
    std::memcpy(norm, p.c_str(), (p.size() + 1) * 2);
    n = p.size();
  }
  pf::LowerCase(norm, n);
  uint8_t d[32];
  CHECK(pf::Sha256(norm, 2 * n, d));
  for (uint8_t b : d) std::printf("%02x", b);
  std::printf("\n");
}

// Proofs over the bytes 0..31 (token), "ORBR", 32..63 and 64..95 (nonces), both sides;
// then the HMAC of argv's text under the key "Jefe".
static void Proofs(const char* text) {
  uint8_t token[32], client[32], server[32], proof[32];
  for (int i = 0; i < 32; ++i) {
    token[i] = static_cast<uint8_t>(i);
    client[i] = static_cast<uint8_t>(32 + i);
    server[i] = static_cast<uint8_t>(64 + i);
  }
  const uint8_t magic[4] = {'O', 'R', 'B', 'R'};
  for (proof::Side side : {proof::Side::kServer, proof::Side::kClient}) {
    CHECK(proof::Prove(side, token, magic, client, server, proof));
    for (uint8_t b : proof) std::printf("%02x", b);
    std::printf("\n");
    CHECK(proof::Check(side, token, magic, client, server, proof));
    proof[31] ^= 1;
    CHECK(!proof::Check(side, token, magic, client, server, proof));
  }
  CHECK(pf::HmacSha256("Jefe", 4, text, std::strlen(text), proof));
  for (uint8_t b : proof) std::printf("%02x", b);
  std::printf("\n");
  uint8_t a[64] = {}, b[64] = {};
  CHECK(pf::RandomBytes(a, sizeof a) && pf::RandomBytes(b, sizeof b));
  CHECK(!proof::SameBytes(a, b, sizeof a));
}

static void Locate() {
  Session client;
  client.SetSetupText("untouched");
  TerminalCandidate chosen;
  const bool ok = LocateTerminal(client, &chosen);
  const std::string found =
      ok ? U8(chosen.exe_path) + (chosen.portable ? " portable" : " installed") : "-";
  std::printf("%s\n%s\n", found.c_str(), U8(client.setup_text()).c_str());
}

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "socket" && argc == 3) Socket(argv[2]);
  else if (cmd == "files" && argc == 3) Files(argv[2]);
  else if (cmd == "folder") Folder();
  else if (cmd == "spawn" && argc == 6) Spawn(argv[2], argv[3], argv[4], argv[5]);
  else if (cmd == "lower") Lower();
  else if (cmd == "digest" && argc == 3) Digest(argv[2]);
  else if (cmd == "locate") Locate();
  else if (cmd == "proofs" && argc == 3) Proofs(argv[2]);
  else return 2;
  std::fflush(stdout);
  return g_failures == 0 ? 0 : 1;
}
