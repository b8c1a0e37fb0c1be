// How a module function reaches the session: with the interpreter lock released, so that
// other Python threads run while it waits on the Terminal, and with the session lock
// held, so that exchanges of different threads never interleave.
#pragma once

#include <cstdint>

#include "link/session.h"
#include "module/python.h"

namespace orbisyn {

// How long, in milliseconds (0: no limit), an exchange of the calling thread may wait
// without a byte moving: the thread's own limit when it set one, else the process-wide
// one. Called with the interpreter lock held (defined with set_timeout).
uint32_t CallIdleLimitMs();

// Runs op(session) -> result code for one module function, after its arguments have been
// checked. op must not touch Python objects: what needs the interpreter inside it (numpy
// allocation, signal handlers) takes the lock itself (WithInterpreter). An op on a closed
// link gets kIpcNoConnection from its exchange; one whose wait ran out of the time
// limit, kIpcTimeout (the link is closed then).
template <class Op>
int32_t OnSession(Op&& op) {
  int32_t r;
  const uint32_t idle_ms = CallIdleLimitMs();
  // The interpreter lock goes first: a thread never waits for the session while holding
  // it, so a session holder that needs the interpreter cannot deadlock with it. The
  // session is let go before the interpreter is waited for again.
  Py_BEGIN_ALLOW_THREADS
  {
    platform::Hold hold(g_client.lock());
    g_client.SetLimits(idle_ms, 0);
    r = op(g_client);
    g_client.SetLimits(0, 0);
  }
  Py_END_ALLOW_THREADS
  return r;
}

// Holds the interpreter lock for its scope, from any thread, whether or not that thread
// held it already.
class WithInterpreter {
 public:
  WithInterpreter() : state_(PyGILState_Ensure()) {}
  ~WithInterpreter() { PyGILState_Release(state_); }
  WithInterpreter(const WithInterpreter&) = delete;
  WithInterpreter& operator=(const WithInterpreter&) = delete;

 private:
  PyGILState_STATE state_;
};

// Installs the check that lets a signal handler (Ctrl-C) end a wait on the Terminal.
void InstallInterruptCheck();

}  // namespace orbisyn
