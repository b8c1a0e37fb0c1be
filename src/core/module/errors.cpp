#include "module/errors.h"

#include <cstring>

#include "link/results.h"
#include "module/functions.h"
#include "module/state.h"
#include "platform/text.h"

namespace orbisyn {

namespace {

constexpr char kInitFailedPrefix[] = "IPC initialize failed, ";

void StoreMessage(const char* text) {
  size_t n = std::strlen(text);
  if (n > kMessageBytes - 1) n = kMessageBytes - 1;
  std::memcpy(g_module.error_message, text, n);
  g_module.error_message[n] = '\0';
}

PyObject* LastError(PyObject*, PyObject*) {
  return Py_BuildValue("(is)", g_module.error_code, g_module.error_message);
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
  g_module.error_code = kResultSuccess;
  StoreMessage("Success");
}

void SetError(int32_t code, const char* message) {
  if (PyErr_Occurred()) PyErr_Clear();
  if (code == kIpcInterrupted) code = kIpcNoConnection;  // a handler that raised nothing
  g_module.error_code = code;
  StoreMessage(message ? message : ErrorMessage(code));
}

void SetInitError(const char16_t* setup_text) {
  SetError(kIpcInitFailed);
  // The setup text may hold any path: UTF-8, so that last_error can decode it.
  const size_t used = sizeof kInitFailedPrefix - 1;
  size_t units = 0;
  while (setup_text[units]) ++units;
  Utf16ToUtf8(setup_text, units, g_module.error_message + used, kMessageBytes - used);
}

namespace {

// An interrupted wait: the handler's exception propagates, the link is closed.
bool Interrupted(int32_t code) {
  if (code != kIpcInterrupted || !PyErr_Occurred()) return false;
  g_module.error_code = kIpcNoConnection;
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

const PyMethodDef kErrorMethods[] = {
    {"last_error", LastError, METH_NOARGS,
     ORBISYN_DOC("last_error($module, /)", "last_error()", "Return last error code and description")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
