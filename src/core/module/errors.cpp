#include "module/errors.h"

#include <cstring>

#include "link/results.h"
#include "platform/text.h"

namespace orbisyn {

namespace {

constexpr char kInitFailedPrefix[] = "IPC initialize failed, ";
constexpr size_t kMessageBytes = 2048;

// One per thread: calls wait without the interpreter lock, so another thread's call could
// otherwise replace a failure before the failing thread reads it. Zero-initialised, so no
// thread pays for setting it up: (0, "") before a thread's first call.
struct ErrorState {
  int32_t code;
  char message[kMessageBytes];
};
thread_local ErrorState t_error;

void StoreMessage(const char* text) {
  size_t n = std::strlen(text);
  if (n > kMessageBytes - 1) {
    n = kMessageBytes - 1;
    // Never half a UTF-8 sequence: last_error must decode what it stored.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(t_error.message, text, n);
  t_error.message[n] = '\0';
}

}  // namespace

const char* ErrorMessage(int32_t code) {
  switch (code) {
    case kResultSuccess: return "Success";
    case kResultFail: return "Terminal: Call failed";
    case kResultInvalidParams: return "Terminal: Invalid params";
    case kResultNoMemory: return "Terminal: Out of memory";
    case kResultNotFound: return "Terminal: Not found";
    case kResultVersion:
      return "Terminal: Incompatible versions, please install the latest version of Terminal "
             "and Python module";
    case kResultAuthFailed: return "Terminal: Authorization failed";
    case kResultUnsupported: return "Terminal: Unsupported function";
    case kIpcCallFailed: return "IPC call failed";
    case kIpcSendFailed: return "IPC send failed";
    case kIpcRecvFailed: return "IPC recv failed";
    case kIpcInitFailed: return kInitFailedPrefix;
    case kIpcNoConnection: return "No IPC connection";
    case kIpcTimeout: return "IPC timeout";
    default: return "Terminal: Call failed";
  }
}

void ResetError() {
  t_error.code = kResultSuccess;
  std::memcpy(t_error.message, "Success", sizeof "Success");
}

PyObject* LastErrorTuple() { return Py_BuildValue("(is)", t_error.code, t_error.message); }

void SetError(int32_t code, const char* message) {
  if (PyErr_Occurred()) PyErr_Clear();
  if (code == kIpcInterrupted) code = kIpcNoConnection;  // a handler that raised nothing
  t_error.code = code;
  StoreMessage(message ? message : ErrorMessage(code));
}

void SetInitError(const char16_t* setup_text) {
  SetError(kIpcInitFailed);
  // The setup text may hold any path: UTF-8, so that last_error can decode it.
  const size_t used = sizeof kInitFailedPrefix - 1;
  size_t units = 0;
  while (setup_text[units]) ++units;
  Utf16ToUtf8(setup_text, units, t_error.message + used, kMessageBytes - used);
}

namespace {

// An interrupted wait: the handler's exception propagates, the link is closed.
bool Interrupted(int32_t code) {
  if (code != kIpcInterrupted || !PyErr_Occurred()) return false;
  t_error.code = kIpcNoConnection;
  StoreMessage(ErrorMessage(kIpcNoConnection));
  return true;
}

}  // namespace

PyObject* SetErrorNone(int32_t code, const char* message) {
  if (Interrupted(code)) return nullptr;
  SetError(code, message);
  Py_RETURN_NONE;
}

PyObject* SetErrorFalse(int32_t code, const char* message) {
  if (Interrupted(code)) return nullptr;
  SetError(code, message);
  Py_RETURN_FALSE;
}

bool SetErrorOrRaise(int32_t code) {
  if (Interrupted(code)) return false;
  SetError(code);
  return true;
}

}  // namespace orbisyn

