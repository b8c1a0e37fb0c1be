// orbisyn-relay.exe: "serve-terminal" carries loopback clients to Terminals' pipes; started
// without a mode (as terminal64.exe, maybe with /portable) it serves its own path's pipe
// for a simulated Terminal. See README.md beside this file.
#include <cwchar>

#include "relay.h"
// after windows.h, which relay.h brings
#include <shellapi.h>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 2;
  if (argc >= 2 && std::wcscmp(argv[1], L"serve-terminal") == 0) {
    return relay::ServeTerminal(argc - 2, argv + 2);
  }
  // A Terminal's own arguments: none, or /portable (its data folder plays no part here).
  if (argc == 1 || (argc == 2 && _wcsicmp(argv[1], L"/portable") == 0)) {
    return relay::ServePipe();
  }
  relay::Log("usage: orbisyn-relay serve-terminal [--idle-exit SECONDS] [--log FILE] (the token "
             "on standard input); or installed as terminal64.exe beside orbisyn-relay.ini, without "
             "arguments");
  return 2;
}
