#include "module/conversion.h"

#include <cmath>
#include <cstring>

#include <datetime.h>
#include <numpy/arrayscalars.h>

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

bool HasIndex(PyObject* obj) {
  PyNumberMethods* n = Py_TYPE(obj)->tp_as_number;
  return n && n->nb_index;
}

// The int an object stands for exactly (new reference), or null. numpy's bool is no
// integer: numpy 2.3 dropped its __index__, and older numpy must not differ.
PyObject* AsInt(PyObject* obj) {
  if (PyLong_Check(obj)) {
    Py_INCREF(obj);
    return obj;
  }
  return HasIndex(obj) && !IsNumpyBool(obj) ? PyNumber_Index(obj) : nullptr;
}

constexpr char kDateWhy[] = "a date names no instant, give a datetime";

// numpy.datetime64 counts from 1970 in UTC, in its own unit.
bool Datetime64ToSeconds(PyObject* obj, int64_t* seconds, int depth) {
  const auto* scalar = reinterpret_cast<PyDatetimeScalarObject*>(obj);
  const int64_t value = scalar->obval;
  const int64_t num = scalar->obmeta.num;
  if (value == NPY_DATETIME_NAT || num <= 0) return false;
  int64_t per_unit = 0, units_per_second = 0;
  switch (scalar->obmeta.base) {
    case NPY_FR_W: per_unit = 604800; break;
    case NPY_FR_D: per_unit = 86400; break;
    case NPY_FR_h: per_unit = 3600; break;
    case NPY_FR_m: per_unit = 60; break;
    case NPY_FR_s: per_unit = 1; break;
    case NPY_FR_ms: units_per_second = 1000; break;
    case NPY_FR_us: units_per_second = 1000000; break;
    case NPY_FR_ns: units_per_second = 1000000000; break;
    case NPY_FR_Y:
    case NPY_FR_M: {
      // Years and months are of calendar length: numpy converts them to seconds.
      if (depth > 0) return false;
      PyObject* in_seconds = PyObject_CallMethod(obj, "astype", "s", "datetime64[s]");
      if (!in_seconds) return false;
      bool ok = PyArray_IsScalar(in_seconds, Datetime) &&
                Datetime64ToSeconds(in_seconds, seconds, depth + 1);
      Py_DECREF(in_seconds);
      return ok;
    }
    default: return false;  // below nanoseconds, or without a unit
  }
  if (value > INT64_MAX / num || value < INT64_MIN / num) return false;
  int64_t count = value * num;
  if (per_unit) {
    if (count > INT64_MAX / per_unit || count < INT64_MIN / per_unit) return false;
    *seconds = count * per_unit;
  } else {
    *seconds = count / units_per_second;  // toward zero, like a float's seconds
  }
  return true;
}

}  // namespace

bool IsNumpyBool(PyObject* obj) { return PyArray_IsScalar(obj, Bool); }

bool InitConversion() {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return false;
  g_module.datetime_type = PyDateTimeAPI->DateTimeType;
  g_module.date_type = PyDateTimeAPI->DateType;
  // The datetime type's own timestamp: a subclass's (pandas.Timestamp counts a naive time
  // as UTC) would make the rule depend on the class.
  g_module.timestamp = PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_module.datetime_type),
                                              "timestamp");
  return g_module.timestamp != nullptr;
}

bool ToTime(PyObject* obj, int64_t* seconds, const char** why) {
  // A truth value is no instant, Python's or numpy's.
  if (PyBool_Check(obj) || IsNumpyBool(obj)) return false;
  if (PyLong_Check(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) return false;
    *seconds = v;
    return true;
  }
  if (PyFloat_Check(obj)) return DoubleToInt64(PyFloat_AS_DOUBLE(obj), seconds);
  if (PyObject_TypeCheck(obj, g_module.datetime_type)) {
    PyObject* ts = PyObject_CallFunctionObjArgs(g_module.timestamp, obj, nullptr);
    if (!ts) return false;
    double d = PyFloat_AsDouble(ts);
    Py_DECREF(ts);
    if (d == -1.0 && PyErr_Occurred()) return false;
    return DoubleToInt64(d, seconds);
  }
  if (PyObject_TypeCheck(obj, g_module.date_type)) {
    if (why) *why = kDateWhy;
    return false;
  }
  if (PyArray_IsScalar(obj, Datetime)) return Datetime64ToSeconds(obj, seconds, 0);
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return false;
  if (HasIndex(obj)) {
    PyObject* v = PyNumber_Index(obj);
    if (!v) return false;
    bool ok = ToTime(v, seconds);
    Py_DECREF(v);
    return ok;
  }
  PyNumberMethods* n = Py_TYPE(obj)->tp_as_number;
  if (n && n->nb_float) {
    double d = PyFloat_AsDouble(obj);
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
  PyObject* v = AsInt(obj);
  if (!v) return false;
  unsigned long long u = PyLong_AsUnsignedLongLong(v);
  Py_DECREF(v);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *value = u;
  return true;
}

bool ToInt64(PyObject* obj, int64_t* value) {
  PyObject* v = AsInt(obj);
  if (!v) return false;
  int overflow = 0;
  long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
  Py_DECREF(v);
  if (overflow || (s == -1 && PyErr_Occurred())) return false;
  *value = s;
  return true;
}

bool ToUInt32(PyObject* obj, uint32_t* value) {
  int64_t v = 0;
  if (!ToInt64(obj, &v) || v < 0 || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ToInt32(PyObject* obj, int32_t* value) {
  int64_t v = 0;
  if (!ToInt64(obj, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool ToFloat(PyObject* obj, double* value) {
  if (PyFloat_Check(obj)) {
    *value = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  // True is no quantity; a str or complex has no __float__.
  if (PyBool_Check(obj) || IsNumpyBool(obj)) return false;
  PyNumberMethods* n = Py_TYPE(obj)->tp_as_number;
  if (!PyLong_Check(obj) && !(n && (n->nb_float || n->nb_index))) return false;
  double d = PyFloat_AsDouble(obj);  // an int too large for a double fails here
  if (d == -1.0 && PyErr_Occurred()) return false;
  *value = d;
  return true;
}

}  // namespace orbisyn
