// Everything the extension keeps between calls, in one place (the session itself is
// link/session.h's g_client).
//
// Process-wide on purpose, not per module object (m_size -1): a process has one link to
// one Terminal (one pipe, one lock that serialises its exchanges, closed at fork and at
// exit), numpy's C API is imported once per process, and the record types are static
// struct sequences. Per-module state would suggest that two imports could hold two links;
// they could not. CPython 3.12+ refuses the module in isolated sub-interpreters.
#pragma once

#include "module/python.h"
#include "module/record_types.h"

namespace orbisyn {

struct ModuleState {
  // Record types; a type whose registration failed is not ready and never built.
  PyTypeObject record_types[kRecordTypeCount];
  const RecordDesc* record_descs[kRecordTypeCount];
  bool record_ready[kRecordTypeCount];
  // numpy record types of bars and ticks; null when they could not be built.
  PyArray_Descr* bar_dtype;
  PyArray_Descr* tick_dtype;
  // datetime.datetime, datetime.date and datetime.datetime.timestamp, for time arguments.
  PyTypeObject* datetime_type;
  PyTypeObject* date_type;
  PyObject* timestamp;
  // Shared by every 0.0 field.
  PyObject* zero;
};

extern ModuleState g_module;

}  // namespace orbisyn
