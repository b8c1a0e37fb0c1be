#include "market_data/dtypes.h"

#include <cstddef>

#include "market_data/records.h"

namespace orbisyn {

PyArray_Descr* g_bar_dtype = nullptr;
PyArray_Descr* g_tick_dtype = nullptr;

namespace {

struct DtypeField {
  const char* name;
  const char* format;
  size_t offset;
};

PyArray_Descr* MakeDtype(const DtypeField (&fields)[8], size_t itemsize) {
  PyObject* names = PyList_New(8);
  PyObject* formats = PyList_New(8);
  PyObject* offsets = PyList_New(8);
  PyObject* layout = nullptr;
  PyArray_Descr* descr = nullptr;
  if (names && formats && offsets) {
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8 && ok; ++i) {
      PyObject* n = PyUnicode_FromString(fields[i].name);
      PyObject* f = PyUnicode_FromString(fields[i].format);
      PyObject* o = PyLong_FromSize_t(fields[i].offset);
      ok = n && f && o;
      if (ok) {
        PyList_SET_ITEM(names, i, n);
        PyList_SET_ITEM(formats, i, f);
        PyList_SET_ITEM(offsets, i, o);
      } else {
        Py_XDECREF(n);
        Py_XDECREF(f);
        Py_XDECREF(o);
      }
    }
    if (ok)
      layout = Py_BuildValue("{sOsOsOsn}", "names", names, "formats", formats, "offsets", offsets,
                           "itemsize", static_cast<Py_ssize_t>(itemsize));
    if (layout && !PyArray_DescrConverter(layout, &descr)) descr = nullptr;
  }
  Py_XDECREF(layout);
  Py_XDECREF(names);
  Py_XDECREF(formats);
  Py_XDECREF(offsets);
  if (!descr) PyErr_Clear();
  return descr;
}

}  // namespace

void BuildMarketDtypes() {
  static const DtypeField kBar[8] = {
      {"time", "<i8", offsetof(BarRecord, time)},
      {"open", "<f8", offsetof(BarRecord, open)},
      {"high", "<f8", offsetof(BarRecord, high)},
      {"low", "<f8", offsetof(BarRecord, low)},
      {"close", "<f8", offsetof(BarRecord, close)},
      {"tick_volume", "<u8", offsetof(BarRecord, tick_volume)},
      {"spread", "<i4", offsetof(BarRecord, spread)},
      {"real_volume", "<u8", offsetof(BarRecord, real_volume)},
  };
  static const DtypeField kTick[8] = {
      {"time", "<i8", offsetof(TickRecord, time)},
      {"bid", "<f8", offsetof(TickRecord, bid)},
      {"ask", "<f8", offsetof(TickRecord, ask)},
      {"last", "<f8", offsetof(TickRecord, last)},
      {"volume", "<u8", offsetof(TickRecord, volume)},
      {"time_msc", "<i8", offsetof(TickRecord, time_msc)},
      {"flags", "<u4", offsetof(TickRecord, flags)},
      {"volume_real", "<f8", offsetof(TickRecord, volume_real)},
  };
  g_bar_dtype = MakeDtype(kBar, sizeof(BarRecord));
  g_tick_dtype = MakeDtype(kTick, sizeof(TickRecord));
}

}  // namespace orbisyn
