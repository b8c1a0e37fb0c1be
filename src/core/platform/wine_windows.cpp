// On Windows every path is native: Terminals and their pipes are this system's own.
#include <windows.h>

#include <cstdio>

#include "platform/wine.h"

namespace orbisyn::platform {

WinePath ClassifyWinePath(const char16_t*, WineTarget*) { return WinePath::kNative; }

PrefixState EnvWinePrefix(char16_t* out, size_t capacity) {
  if (capacity > 0) out[0] = 0;
  return PrefixState::kUnset;
}

bool HomeWinePrefix(char16_t*, size_t) { return false; }

const char* PrefixProblem(const char*) { return "there is no Wine on Windows"; }

bool MissingPrefixOf(const char16_t*, char*, size_t) { return false; }

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
