// Result codes of the session operations and exchanges. Zero or more is success.
#pragma once

#include <cstdint>

namespace orbisyn {

enum : int32_t {
  kResultSuccess = 1,
  kResultFail = -1,
  kResultInvalidParams = -2,
  kResultNoMemory = -3,
  kResultNotFound = -4,
  kResultVersion = -5,
  kResultAuthFailed = -6,
  kResultUnsupported = -7,
  kResultAutoTradingDisabled = -8,
  kIpcCallFailed = -10000,   // the reply answers another command
  kIpcSendFailed = -10001,
  kIpcRecvFailed = -10002,
  kIpcInitFailed = -10003,   // the session's setup text says why
  kIpcNoConnection = -10004,
  kIpcTimeout = -10005,
  // Never reported: a wait ended because a signal handler asked to stop. The link is
  // closed and the caller lets the handler's exception propagate.
  kIpcInterrupted = -10100,
};

}  // namespace orbisyn
