// initialize, login, shutdown, version and last_error; the time limit of the other calls.
#include <cmath>

#include "link/results.h"
#include "module/args.h"
#include "module/conversion.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/session_call.h"
#include "platform/text.h"
#include "protocol/exchanges.h"

namespace orbisyn {

namespace {

constexpr uint32_t kDefaultInitializeMs = 60000;

// A time limit in seconds as the caller gave it (for get_timeout) and in whole
// milliseconds, rounded up; ms 0 is no limit. Only touched with the interpreter lock held.
struct TimeLimit {
  double seconds = 0;
  uint32_t ms = 0;
};
TimeLimit g_call_limit;
// Set by _set_thread_timeout for the calls of one thread (the aio worker's).
thread_local bool t_own_limit = false;
thread_local TimeLimit t_call_limit;

// None, or a positive finite number of seconds (an int, a float or what converts to one).
// Raises TypeError or ValueError otherwise.
bool ToTimeLimit(PyObject* arg, TimeLimit* out) {
  if (arg == Py_None) {
    *out = TimeLimit();
    return true;
  }
  // A bool is no time, here as in every time argument.
  if (PyUnicode_Check(arg) || PyBytes_Check(arg) || PyByteArray_Check(arg) || PyBool_Check(arg) ||
      IsNumpyBool(arg)) {
    PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds or None, not %.100s",
                 Py_TYPE(arg)->tp_name);
    return false;
  }
  double seconds = PyFloat_AsDouble(arg);
  if (seconds == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds or None, not %.100s",
                   Py_TYPE(arg)->tp_name);
    }
    return false;
  }
  if (!(seconds > 0) || !std::isfinite(seconds)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds or None");
    return false;
  }
  const double ms = std::ceil(seconds * 1000.0);
  out->seconds = seconds;
  out->ms = ms >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(ms);
  return true;
}

constexpr const char kAuthModeMessage[] =
    "Unsupported authorization mode, OTP or certificate password needed";

struct Credentials {
  uint64_t login = 0;
  CredentialText password = {};
  CredentialText server = {};
  uint32_t timeout = 0;
};

constexpr Param kInitializeParams[] = {
    Arg("path", ArgKind::kText, kPathArgUnits).Optional(),
    Arg("login", ArgKind::kUInt64).KeywordOnly(),
    Arg("password", ArgKind::kText, kCredentialUnits).KeywordOnly(),
    Arg("server", ArgKind::kText, kCredentialUnits).KeywordOnly(),
    Arg("timeout", ArgKind::kUInt32).KeywordOnly(),
    Arg("portable", ArgKind::kTruth).KeywordOnly().Optional("False"),
};
// Keywords are checked in this order: login, server, password, timeout, path, portable.
constexpr uint8_t kInitializeOrder[] = {1, 3, 2, 4, 0, 5};
constexpr Signature kInitialize =
    Declare("initialize", kInitializeParams,
            "initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])",
            "Establish connection to Orbisyn terminal")
        .Numbered()
        .KeywordWins()
        .KeywordOrder(kInitializeOrder)
        .RefusedWith(Refusal::kFalse);

constexpr Param kLoginParams[] = {
    Arg("login", ArgKind::kUInt64).Optional(""),  // 0 or missing is refused by login itself
    Arg("password", ArgKind::kText, kCredentialUnits).Optional(),
    Arg("server", ArgKind::kText, kCredentialUnits).Optional(),
    Arg("timeout", ArgKind::kUInt32).KeywordOnly(),
};
constexpr uint8_t kLoginOrder[] = {0, 2, 1, 3};
constexpr Signature kLogin =
    Declare("login", kLoginParams, "login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])",
            "Log in to specific account")
        .Numbered()
        .KeywordWins()
        .KeywordOrder(kLoginOrder)
        .RefusedWith(Refusal::kFalse);

constexpr Signature kShutdown =
    Declare("shutdown", "shutdown()", "Disconnect from Orbisyn terminal").RefusedWith(Refusal::kFalse);
constexpr Signature kVersion =
    Declare("version", "version()", "Get Orbisyn terminal version").RefusedWith(Refusal::kVersion);
constexpr Signature kLastError =
    Declare("last_error", "last_error()", "Return last error code and description")
        .RefusedWith(Refusal::kLastError);

// The stepped replay's step, for orbisyn.sleep and orbisyn.wait_bar, which send it only to
// a simulated Terminal that said it replays stepped: private, so not in the stubs.
constexpr Param kReplayWaitParams[] = {Arg("symbol", ArgKind::kText, kSymbolUnits),
                                       Arg("timeframe", ArgKind::kInt32),
                                       Arg("wait_ms", ArgKind::kInt64)};
constexpr Signature kReplayWait =
    Declare("_replay_wait", kReplayWaitParams, "_replay_wait(symbol, timeframe, wait_ms)",
            "Move a stepped replay's present; (present_ms, bar_open, over)");

PyObject* LoginFailure(int32_t r) {
  return r == kResultUnsupported ? SetErrorFalse(r, kAuthModeMessage) : SetErrorFalse(r);
}

// Connect, handshake, optional login and the readiness wait, as one piece of work on the
// session, all within the timeout. A failure after the handshake closes the link again.
int32_t Open(Session& s, const char16_t* path, bool portable, const Credentials& c,
             uint64_t deadline, bool* login_failed) {
  s.SetLimits(0, deadline);
  int32_t r = s.Initialize(path, portable);
  if (r < 0) {
    // A handshake that failed in step keeps its link; one that ran out of time does not.
    if (r == kIpcTimeout) s.Close();
    return r;
  }
  if (c.login != 0 || c.password[0] || c.server[0]) {
    r = s.Login(c.login, c.password, c.server);
    if (r < 0) {
      s.Close();
      *login_failed = true;
      return r;
    }
  }
  r = s.WaitReady(c.timeout);
  if (r < 0) s.Close();
  return r;
}

PyObject* initialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  // Closed first, whatever the arguments: a refused call leaves no link either.
  OnSession([](Session& s) {
    s.Close();
    return kResultSuccess;
  });

  Credentials c;
  PathText path = {};
  bool portable = false;
  if (!ReadArgs(kInitialize, args, nargs, kwnames,
                {path, &c.login, c.password, c.server, &c.timeout, &portable}))
    return Refused(kInitialize);

  bool login_failed = false;
  char16_t setup_text[kSetupTextUnits] = {};
  // The whole call, from here: finding and starting the Terminal included.
  const uint64_t deadline =
      platform::MonotonicMs() + (c.timeout != 0 ? c.timeout : kDefaultInitializeMs);
  int32_t r = OnSession([&](Session& s) {
    int32_t result = Open(s, path, portable, c, deadline, &login_failed);
    if (result == kIpcInitFailed) {
      for (size_t i = 0; i + 1 < kSetupTextUnits && s.setup_text()[i]; ++i)
        setup_text[i] = s.setup_text()[i];
    }
    return result;
  });
  if (r == kIpcInitFailed) {
    SetInitError(setup_text);
    Py_RETURN_FALSE;
  }
  if (login_failed) return LoginFailure(r);
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* login(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  Credentials c;
  if (!ReadArgs(kLogin, args, nargs, kwnames, {&c.login, c.password, c.server, &c.timeout}))
    return Refused(kLogin);
  if (c.login == 0) return SetErrorFalse(kResultInvalidParams, "Invalid \"login\" argument");

  bool login_failed = false;
  int32_t r = OnSession([&](Session& s) {
    if (!s.IsOpen()) return int32_t{kIpcNoConnection};
    int32_t result = s.Login(c.login, c.password, c.server);
    if (result < 0) {
      login_failed = true;
      return result;
    }
    return s.WaitReady(c.timeout);
  });
  if (login_failed) return LoginFailure(r);
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* shutdown(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  if (!ReadArgs(kShutdown, args, nargs, kwnames, {})) return Refused(kShutdown);
  // A call of another thread that holds the session is ended first, as if the link had
  // broken: this is how a watchdog stops a stuck call.
  if (g_client.lock().TryAcquire()) {
    g_client.Close();
    g_client.lock().Release();
    Py_RETURN_TRUE;
  }
  g_client.Cancel();
  OnSession([](Session& s) {
    s.Close();
    return kResultSuccess;
  });
  Py_RETURN_TRUE;
}

PyObject* set_timeout(PyObject*, PyObject* seconds) {
  TimeLimit limit;
  if (!ToTimeLimit(seconds, &limit)) return nullptr;
  g_call_limit = limit;
  Py_RETURN_NONE;
}

PyObject* get_timeout(PyObject*, PyObject*) {
  if (g_call_limit.ms == 0) Py_RETURN_NONE;
  return PyFloat_FromDouble(g_call_limit.seconds);
}

// For one thread's calls: a limit of their own, or (None) the process-wide one again.
PyObject* set_thread_timeout(PyObject*, PyObject* seconds) {
  TimeLimit limit;
  if (!ToTimeLimit(seconds, &limit)) return nullptr;
  t_own_limit = limit.ms != 0;
  t_call_limit = limit;
  Py_RETURN_NONE;
}

PyObject* version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  if (!ReadArgs(kVersion, args, nargs, kwnames, {})) return Refused(kVersion);
  int32_t first = 0, second = 0;
  ArrayBlock text;
  int32_t r = OnSession([&](Session& s) { return s.Version(&first, &second, &text); });
  char utf8[128] = {};
  if (r < 0) {
    first = second = 0;
    if (!SetErrorOrRaise(r)) return nullptr;
  } else if (r > 0) {
    // A text whose UTF-8 form needs more than 127 bytes is dropped, as a whole.
    if (Utf16ToUtf8(static_cast<const char16_t*>(text.data()), text.count(), utf8, sizeof utf8) ==
        SIZE_MAX)
      utf8[0] = '\0';
  } else {
    first = second = 0;
  }
  return Py_BuildValue("(iis)", first, second, utf8);
}

PyObject* replay_wait(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  SymbolText symbol = {};
  int32_t timeframe = 0;
  int64_t wait_ms = 0;
  if (!ReadArgs(kReplayWait, args, nargs, kwnames, {symbol, &timeframe, &wait_ms}))
    return Refused(kReplayWait);
  int64_t present = 0, bar_open = 0;
  uint8_t over = 0;
  int32_t r = OnSession([&](Session& s) {
    return exchange::ReplayWait(s.pipe(), symbol, timeframe, wait_ms, &present, &bar_open, &over);
  });
  if (r < 0) return SetErrorNone(r);
  return Py_BuildValue("(LLN)", static_cast<long long>(present), static_cast<long long>(bar_open),
                       PyBool_FromLong(over != 0));
}

PyObject* link_serial(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(g_client.pipe().serial());
}

// For the waits written in Python: their failures go where last_error() reads them.
PyObject* set_error(PyObject*, PyObject* args) {
  int code = 0;
  const char* message = nullptr;
  if (!PyArg_ParseTuple(args, "is:_set_error", &code, &message)) return nullptr;
  SetError(code, message);
  Py_RETURN_NONE;
}

// Reads the state without resetting it; a bad call records its own refusal first.
PyObject* last_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if ((nargs > 0 || kwnames) && !ReadArgs(kLastError, args, nargs, kwnames, {}))
    return Refused(kLastError);
  return LastErrorTuple();
}

}  // namespace

const Function kSessionFunctions[] = {
    {&kInitialize, initialize},
    {&kShutdown, shutdown},
    {&kLogin, login},
    {&kVersion, version},
    {&kLastError, last_error},
    {&kReplayWait, replay_wait},
    {nullptr, nullptr},
};

uint32_t CallIdleLimitMs() { return t_own_limit ? t_call_limit.ms : g_call_limit.ms; }

// Settings, not Terminal calls: they raise on a bad value as Python's own settings do.
const PyMethodDef kSettingsMethods[] = {
    {"set_timeout", set_timeout, METH_O,
     "set_timeout($module, seconds, /)\n--\n\nset_timeout(seconds)\n\n"
     "Limit how long a call may wait on the Terminal without progress (None: no limit)"},
    {"get_timeout", get_timeout, METH_NOARGS,
     "get_timeout($module, /)\n--\n\nget_timeout()\n\n"
     "Return the time limit of a call in seconds, or None"},
    {"_set_thread_timeout", set_thread_timeout, METH_O, nullptr},
    {"_link_serial", link_serial, METH_NOARGS, nullptr},
    {"_set_error", set_error, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
