// The process-wide result of the last module function, reported by last_error().
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

// SetError, then a new reference to None / False for the caller to return.
PyObject* SetErrorNone(int32_t code, const char* message = nullptr);
PyObject* SetErrorFalse(int32_t code, const char* message = nullptr);

// The table message of a code (never null).
const char* ErrorMessage(int32_t code);

}  // namespace orbisyn
