// Everything the extension keeps between calls, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/python.h"
#include "module/records.h"

namespace orbisyn {

constexpr size_t kMessageBytes = 2048;

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
