// How a module function reaches the session.
#pragma once

#include <cstdint>

#include "link/session.h"

namespace orbisyn {

// Runs op(session) -> result code for one module function, after its arguments have been
// checked. An op on a closed link gets kIpcNoConnection from its exchange.
template <class Op>
int32_t OnSession(Op&& op) {
  return op(g_client);
}

}  // namespace orbisyn
