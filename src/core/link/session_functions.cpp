// initialize, login, shutdown and version.
#include <cstdlib>

#include "link/commands.h"
#include "link/inter_client.h"
#include "link/text.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/functions.h"

namespace orbisyn::py {

namespace {

constexpr const char kAuthModeMessage[] =
    "Unsupported authorization mode, OTP or certificate password needed";

struct Credentials {
  uint64_t login = 0;
  char16_t password[kPasswordCopy + 1] = {};
  char16_t server[kPasswordCopy + 1] = {};
  uint32_t timeout = 0;
};

// The keywords shared by initialize and login, in the order they are checked.
bool ApplyCredentialKeywords(PyObject* kwargs, Credentials* c) {
  PyObject* v;
  if ((v = Keyword(kwargs, "login")) && !ToUInt64(v, &c->login)) {
    SetError(-2, "Invalid \"login\" argument");
    return false;
  }
  if ((v = Keyword(kwargs, "server")) && !ToText(v, c->server, kPasswordCopy)) {
    SetError(-2, "Invalid \"server\" argument");
    return false;
  }
  if ((v = Keyword(kwargs, "password")) && !ToText(v, c->password, kPasswordCopy)) {
    SetError(-2, "Invalid \"password\" argument");
    return false;
  }
  if ((v = Keyword(kwargs, "timeout")) && !ToUInt32(v, &c->timeout)) {
    SetError(-2, "Invalid \"timeout\" argument");
    return false;
  }
  return true;
}

PyObject* LoginFailure(int32_t r) {
  return r == kResultUnsupported ? SetErrorFalse(r, kAuthModeMessage) : SetErrorFalse(r);
}

}  // namespace

PyObject* initialize(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  g_client.Close();

  Credentials c;
  char16_t path[kPathCopy + 1] = {};
  bool portable = false;
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) return SetErrorFalse(-2, "Invalid number of arguments");
  if (n == 1 && !ToText(PyTuple_GET_ITEM(args, 0), path, kPathCopy))
    return SetErrorFalse(-2, "Invalid 1st unnamed argument");
  if (!ApplyCredentialKeywords(kwargs, &c)) Py_RETURN_FALSE;
  PyObject* v;
  if ((v = Keyword(kwargs, "path")) && !ToText(v, path, kPathCopy))
    return SetErrorFalse(-2, "Invalid \"path\" argument");
  if ((v = Keyword(kwargs, "portable"))) {
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return SetErrorFalse(-2, "Invalid arguments");
    portable = truth != 0;
  }

  int32_t r = g_client.Initialize(path, portable);
  if (r < 0) return SetErrorFalse(r);
  if (c.login != 0 || c.password[0] || c.server[0]) {
    r = g_client.Login(c.login, c.password, c.server);
    if (r < 0) {
      g_client.Close();
      return LoginFailure(r);
    }
  }
  r = g_client.WaitReady(c.timeout);
  if (r < 0) {
    g_client.Close();
    return SetErrorFalse(r);
  }
  Py_RETURN_TRUE;
}

PyObject* login(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  Credentials c;
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 3) return SetErrorFalse(-2, "Invalid number of arguments");
  if (n >= 1 && !ToUInt64(PyTuple_GET_ITEM(args, 0), &c.login))
    return SetErrorFalse(-2, "Invalid 1st unnamed argument");
  if (n >= 2 && !ToText(PyTuple_GET_ITEM(args, 1), c.password, kPasswordCopy))
    return SetErrorFalse(-2, "Invalid 2nd unnamed argument");
  if (n >= 3 && !ToText(PyTuple_GET_ITEM(args, 2), c.server, kPasswordCopy))
    return SetErrorFalse(-2, "Invalid 3rd unnamed argument");
  if (!ApplyCredentialKeywords(kwargs, &c)) Py_RETURN_FALSE;
  if (c.login == 0) return SetErrorFalse(-2, "Invalid \"login\" argument");
  if (!g_client.IsOpen()) return SetErrorFalse(kIpcNoConnection);

  int32_t r = g_client.Login(c.login, c.password, c.server);
  if (r < 0) return LoginFailure(r);
  r = g_client.WaitReady(c.timeout);
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* shutdown(PyObject*, PyObject*) {
  ResetError();
  g_client.Close();
  Py_RETURN_TRUE;
}

PyObject* version(PyObject*, PyObject*) {
  ResetError();
  int32_t first = 0;
  int32_t second = 0;
  char utf8[128] = {};
  if (!g_client.IsOpen()) {
    SetError(kIpcNoConnection);
  } else {
    int32_t a = 0, b = 0;
    char16_t* text = nullptr;
    uint32_t units = 0;
    int32_t r = g_client.Version(&a, &b, &text, &units);
    if (r < 0) {
      SetError(r);
    } else if (r > 0) {
      first = a;
      second = b;
      // A text whose UTF-8 form needs more than 127 bytes is dropped, as a whole.
      if (Utf16ToUtf8(text, units, utf8, sizeof utf8) == SIZE_MAX) utf8[0] = '\0';
    }
    std::free(text);
  }
  return Py_BuildValue("(iis)", first, second, utf8);
}

}  // namespace orbisyn::py
