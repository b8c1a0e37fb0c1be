// On Windows every path is native: Terminals and their pipes are this system's own.
#include <windows.h>

#include <cstdio>

#include "platform/wine.h"

namespace orbisyn::platform {

WinePath ClassifyWinePath(const char16_t*, WineTarget*) { return WinePath::kNative; }

size_t WinePrefixes(char16_t (*)[kWineFolderBytes], size_t) { return 0; }

bool WineUnixPath(const char16_t*, const char16_t*, char16_t*, size_t) { return false; }

PipeHandle LoopbackConnect(uint16_t, uint32_t* error) {
  *error = ERROR_NOT_SUPPORTED;
  return kInvalidPipe;
}

RelayResult ObtainRelay(const WineTarget&, const RelayEndpoint*, uint32_t, KeepWaiting, void*,
                        RelayEndpoint*, char* why, size_t why_capacity) {
  std::snprintf(why, why_capacity, "No Wine on Windows");
  return RelayResult::kFailed;
}

bool RelayRuns(const RelayEndpoint&) { return false; }

}  // namespace orbisyn::platform
