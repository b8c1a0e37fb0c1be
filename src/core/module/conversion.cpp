#include "module/conversion.h"

#include <cmath>
#include <cstring>

#include <datetime.h>

#include "module/state.h"

namespace orbisyn {

namespace {

// Truncates toward zero; refuses NaN, infinities and values outside int64.
bool DoubleToInt64(double d, int64_t* out) {
  if (!std::isfinite(d)) return false;
  d = std::trunc(d);
  // 2^63 is exactly representable; int64 holds [-2^63, 2^63).
  if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

}  // namespace

bool InitConversion() {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return false;
  g_module.datetime_type = PyDateTimeAPI->DateTimeType;
  return true;
}

bool ToTime(PyObject* obj, int64_t* seconds) {
  if (PyLong_Check(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) return false;
    *seconds = v;
    return true;
  }
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    return DoubleToInt64(d, seconds);
  }
  if (g_module.datetime_type && PyObject_TypeCheck(obj, g_module.datetime_type)) {
    PyObject* ts = PyObject_CallMethod(obj, "timestamp", nullptr);
    if (!ts) return false;
    double d = PyFloat_AsDouble(ts);
    Py_DECREF(ts);
    if (d == -1.0 && PyErr_Occurred()) return false;
    return DoubleToInt64(d, seconds);
  }
  return false;
}

bool ToTextUnits(PyObject* obj, char16_t* buffer, size_t max_units) {
  if (!PyUnicode_Check(obj)) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(obj) < 0) return false;
#endif
  const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
  const int kind = PyUnicode_KIND(obj);
  const void* data = PyUnicode_DATA(obj);
  size_t units = 0;
  if (kind == PyUnicode_4BYTE_KIND) {
    for (Py_ssize_t i = 0; i < length; ++i)
      units += PyUnicode_READ(kind, data, i) > 0xFFFF ? 2 : 1;
  } else {
    units = static_cast<size_t>(length);
  }
  if (units > max_units) return false;
  size_t k = 0;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c > 0xFFFF) {
      c -= 0x10000;
      buffer[k++] = static_cast<char16_t>(0xD800 + (c >> 10));
      buffer[k++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      buffer[k++] = static_cast<char16_t>(c);
    }
  }
  buffer[k] = 0;
  return true;
}

bool ToUInt64(PyObject* obj, uint64_t* value) {
  if (!PyLong_Check(obj)) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *value = v;
  return true;
}

bool ToInt64(PyObject* obj, int64_t* value) {
  if (!PyLong_Check(obj)) return false;
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  *value = v;
  return true;
}

bool ToUInt32(PyObject* obj, uint32_t* value) {
  uint64_t v = 0;
  if (!ToUInt64(obj, &v) || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ToFloat(PyObject* obj, double* value) {
  if (!PyFloat_Check(obj)) return false;
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *value = d;
  return true;
}

}  // namespace orbisyn
