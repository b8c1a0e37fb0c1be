// The result of the last module function called by this thread, reported by last_error()
// in the same thread.
#pragma once

#include <cstdint>

#include "module/python.h"

namespace orbisyn {

// Code 1, "Success": every module function starts with this.
void ResetError();

// Stores code with message, or with the table message for code when message is null.
// Clears any pending Python exception: a failing module function never leaves one.
void SetError(int32_t code, const char* message = nullptr);

// -10003 with the session's setup text (why the link could not be set up).
void SetInitError(const char16_t* setup_text);

// SetError, then a new reference to None / False for the caller to return. For
// kIpcInterrupted the exception that a signal handler raised is left pending and null is
// returned, so that it propagates; the error state records the closed link.
PyObject* SetErrorNone(int32_t code, const char* message = nullptr);
PyObject* SetErrorFalse(int32_t code, const char* message = nullptr);

// SetError, except for kIpcInterrupted with an exception pending: false, and the caller
// returns null.
bool SetErrorOrRaise(int32_t code);

// last_error()'s tuple (code, message) of this thread (new reference, or null).
PyObject* LastErrorTuple();

// The table message of a code (never null).
const char* ErrorMessage(int32_t code);

}  // namespace orbisyn
