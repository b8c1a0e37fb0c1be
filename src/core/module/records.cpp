#include "module/records.h"

#include <cstring>

#include "module/conversion.h"
#include "module/error_state.h"

namespace orbisyn {

namespace {

PyTypeObject g_types[kRecordTypeCount];
bool g_ready[kRecordTypeCount];

PyStructSequence_Desc* const kDescs[kRecordTypeCount] = {
    &kTradePositionDesc, &kTradeOrderDesc,   &kTradeDealDesc,    &kTradeRequestDesc,
    &kOrderSendResultDesc, &kOrderCheckResultDesc, &kTickDesc, &kTerminalInfoDesc,
    &kSymbolInfoDesc,    &kAccountInfoDesc,  &kBookInfoDesc,
};

// Order in which _asdict recognises a record.
constexpr RecordType kAsDictOrder[] = {
    kTradePositionType, kTradeOrderType,  kTradeDealType,    kOrderSendResultType,
    kTradeRequestType,  kOrderCheckResultType, kTickType, kTerminalInfoType,
    kSymbolInfoType,    kAccountInfoType, kBookInfoType,
};

Py_ssize_t FieldCount(const PyStructSequence_Desc* desc) {
  Py_ssize_t n = 0;
  while (desc->fields[n].name) ++n;
  return n;
}

PyObject* AsDict(PyObject* self, PyObject*) {
  const PyStructSequence_Desc* desc = nullptr;
  for (RecordType t : kAsDictOrder) {
    if (!g_ready[t]) continue;
    int is = PyObject_IsInstance(self, reinterpret_cast<PyObject*>(&g_types[t]));
    if (is < 0) return SetErrorNone(-2, "Internal error");
    if (is) {
      desc = kDescs[t];
      break;
    }
  }
  if (!desc) return SetErrorNone(-2, "Invalid object type");
  Py_ssize_t n = FieldCount(desc);
  if (!PyTuple_Check(self) || PyTuple_GET_SIZE(self) != n)
    return SetErrorNone(-2, "Invalid tuple size");
  PyObject* dict = PyDict_New();
  if (!dict) return SetErrorNone(-3, "Can't create dictionary");
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(self, i);
    if (item && PyDict_SetItemString(dict, desc->fields[i].name, item) < 0) {
      Py_DECREF(dict);
      return SetErrorNone(-3, "Can't create dictionary");
    }
  }
  return dict;
}

PyMethodDef kAsDictDef = {"_asdict", AsDict, METH_NOARGS,
                          "Convert named tuple object to dictionary"};

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Most doubles of a symbol record are +0.0 (option, bond and session figures of ordinary
// instruments); floats are immutable, so those fields share one object instead of
// allocating tens of thousands of them for a catalogue. -0.0 keeps its own object.
PyObject* FieldDouble(const uint8_t* p) {
  static PyObject* zero = nullptr;
  if (Load<uint64_t>(p) != 0) return PyFloat_FromDouble(Load<double>(p));
  if (!zero && !(zero = PyFloat_FromDouble(0.0))) return nullptr;
  Py_INCREF(zero);
  return zero;
}

}  // namespace

void RegisterRecordTypes(PyObject* module) {
  for (int t = 0; t < kRecordTypeCount; ++t) {
    PyObject* name = PyUnicode_InternFromString("_asdict");
    if (!name) {
      PyErr_Clear();
      continue;
    }
    if (PyStructSequence_InitType2(&g_types[t], kDescs[t]) != 0) {
      PyErr_Clear();
      Py_DECREF(name);
      continue;
    }
    PyObject* type = reinterpret_cast<PyObject*>(&g_types[t]);
    Py_INCREF(type);
    PyObject* method = PyDescr_NewMethod(&g_types[t], &kAsDictDef);
    if (method) {
      if (PyDict_SetItem(g_types[t].tp_dict, name, method) < 0) PyErr_Clear();
      PyType_Modified(&g_types[t]);
      Py_DECREF(method);
    } else {
      PyErr_Clear();
    }
    // The short type name: the descriptor carries no module prefix.
    if (PyModule_AddObject(module, kDescs[t]->name, type) < 0) {
      PyErr_Clear();
      Py_DECREF(type);
    } else {
      g_ready[t] = true;
    }
    Py_DECREF(name);
  }
}

PyTypeObject* RecordTypeObject(RecordType type) {
  return g_ready[type] ? &g_types[type] : nullptr;
}

PyObject* ConvertField(const uint8_t* record, const FieldSpec& f) {
  const uint8_t* p = record + f.offset;
  switch (f.kind) {
    case FieldKind::kBool: return PyBool_FromLong(*p != 0);
    case FieldKind::kInt32: return PyLong_FromLong(Load<int32_t>(p));
    case FieldKind::kUInt32: return PyLong_FromUnsignedLong(Load<uint32_t>(p));
    case FieldKind::kInt64: return PyLong_FromLongLong(Load<int64_t>(p));
    case FieldKind::kUInt64: return PyLong_FromUnsignedLongLong(Load<uint64_t>(p));
    case FieldKind::kDouble: return FieldDouble(p);
    case FieldKind::kText: {
      // Text fields are not aligned in the packed record: copy before reading units.
      char16_t units[2048];
      size_t n = f.units < 2048 ? f.units : 2048;
      std::memcpy(units, p, n * 2);
      return TextToPy(units, n);
    }
  }
  return nullptr;
}

PyObject* BuildRecord(RecordType type, const FieldSpec* fields, size_t count,
                      const void* record) {
  PyTypeObject* t = RecordTypeObject(type);
  if (!t) return nullptr;
  PyObject* obj = PyStructSequence_New(t);
  if (!obj) return nullptr;
  const auto* rec = static_cast<const uint8_t*>(record);
  for (size_t i = 0; i < count; ++i) {
    PyObject* v = ConvertField(rec, fields[i]);
    if (!v) {
      Py_DECREF(obj);
      return nullptr;
    }
    PyStructSequence_SetItem(obj, static_cast<Py_ssize_t>(i), v);
  }
  return obj;
}

namespace {

// Thousands of new records would otherwise set off repeated collections that walk every
// record made so far; none of them can be garbage while the tuple is being filled.
class PauseCollector {
 public:
  explicit PauseCollector(bool wanted) {
#if PY_VERSION_HEX >= 0x030A0000
    if (wanted) was_enabled_ = PyGC_Disable() == 1;
#else
    (void)wanted;
#endif
  }
  ~PauseCollector() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled_) PyGC_Enable();
#endif
  }

 private:
  bool was_enabled_ = false;
};

}  // namespace

PyObject* BuildRecordTuple(RecordType type, const FieldSpec* fields, size_t field_count,
                           const void* records, uint32_t count, size_t size) {
  PauseCollector pause(count >= 256);
  PyObject* tuple = PyTuple_New(count);
  if (!tuple) return nullptr;
  const auto* p = static_cast<const uint8_t*>(records);
  for (uint32_t i = 0; i < count; ++i) {
    PyObject* rec = BuildRecord(type, fields, field_count, p + size_t{i} * size);
    if (!rec) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, rec);
  }
  return tuple;
}

}  // namespace orbisyn
