#include "module/error_state.h"

#include <cstring>

#include "link/commands.h"
#include "link/inter_client.h"
#include "link/text.h"

namespace orbisyn {

namespace {

constexpr size_t kMessageBytes = 2048;

struct ErrorState {
  int32_t code = 0;
  char message[kMessageBytes] = {};
} g_error;

void StoreMessage(const char* text) {
  size_t n = std::strlen(text);
  if (n > kMessageBytes - 1) n = kMessageBytes - 1;
  std::memcpy(g_error.message, text, n);
  g_error.message[n] = '\0';
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
    case kIpcInitFailed: return "IPC initialize failed, ";
    case kIpcNoConnection: return "No IPC connection";
    case kIpcTimeout: return "IPC timeout";
    default: return "Terminal: Call failed";
  }
}

void ResetError() {
  g_error.code = kResultSuccess;
  StoreMessage("Success");
}

void SetError(int32_t code, const char* message) {
  if (PyErr_Occurred()) PyErr_Clear();
  g_error.code = code;
  if (message) {
    StoreMessage(message);
    return;
  }
  if (code == kIpcInitFailed) {
    // The setup text may hold any path: convert it to UTF-8 so last_error can decode it.
    static const char kPrefix[] = "IPC initialize failed, ";
    std::memcpy(g_error.message, kPrefix, sizeof kPrefix);
    size_t used = sizeof kPrefix - 1;
    const char16_t* setup = g_client.setup_text;
    size_t units = 0;
    while (units < kSetupTextUnits && setup[units]) ++units;
    Utf16ToUtf8(setup, units, g_error.message + used, kMessageBytes - used);
    return;
  }
  StoreMessage(ErrorMessage(code));
}

PyObject* SetErrorNone(int32_t code, const char* message) {
  SetError(code, message);
  Py_RETURN_NONE;
}

PyObject* SetErrorFalse(int32_t code, const char* message) {
  SetError(code, message);
  Py_RETURN_FALSE;
}

namespace py {

PyObject* last_error(PyObject*, PyObject*) {
  return Py_BuildValue("(is)", g_error.code, g_error.message);
}

}  // namespace py

}  // namespace orbisyn
