#include "module/records.h"

#include <cstring>
#include <new>

#include "module/docs.h"
#include "module/errors.h"
#include "module/state.h"
#include "platform/text.h"

namespace orbisyn {

namespace {

const RecordDesc* const kDescs[kRecordTypeCount] = {
#define ORBISYN_RECORD_DESC(name) &k##name##Desc,
    ORBISYN_RECORD_TYPES(ORBISYN_RECORD_DESC)
#undef ORBISYN_RECORD_DESC
};

PyObject* AsDict(PyObject* self, PyObject*) {
  const RecordDesc* desc = nullptr;
  for (int t = 0; t < kRecordTypeCount; ++t) {
    if (!g_module.record_ready[t]) continue;
    int is = PyObject_IsInstance(self, reinterpret_cast<PyObject*>(&g_module.record_types[t]));
    if (is < 0) return SetErrorNone(-2, "Internal error");
    if (is) {
      desc = kDescs[t];
      break;
    }
  }
  if (!desc) return SetErrorNone(-2, "Invalid object type");
  const auto n = static_cast<Py_ssize_t>(desc->field_count);
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

// The struct-sequence description of a record type, made from its rows, with the stubs'
// docstrings where they have them; lives as long as the process, like the type.
PyStructSequence_Desc* MakeTypeDesc(const RecordDesc& desc) {
  auto* fields = new (std::nothrow) PyStructSequence_Field[desc.field_count + 1];
  auto* type_desc = new (std::nothrow) PyStructSequence_Desc;
  if (!fields || !type_desc) {
    delete[] fields;
    delete type_desc;
    return nullptr;
  }
  for (uint32_t i = 0; i < desc.field_count; ++i) {
    const char* doc = StubDoc(desc.name, desc.fields[i].name);
    fields[i] = {desc.fields[i].name, doc ? doc : desc.fields[i].doc};
  }
  fields[desc.field_count] = {nullptr, nullptr};
  const char* doc = StubDoc(desc.name, nullptr);
  *type_desc = {desc.name, doc ? doc : desc.doc, fields, static_cast<int>(desc.field_count)};
  return type_desc;
}

// "iiisf...": the kind of each field, for the package (frames) to build columns from.
PyObject* KindLetters(const RecordDesc& desc) {
  char letters[128];
  uint32_t n = 0;
  for (; n < desc.field_count && n + 1 < sizeof letters; ++n)
    letters[n] = kKinds[static_cast<int>(desc.fields[n].kind)].letter;
  return PyUnicode_FromStringAndSize(letters, n);
}

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

// A new str of n UTF-16 units (no terminator among them).
PyObject* DecodeUnits(const uint8_t* at, uint32_t n) {
  // Record texts are nearly always ASCII: look at four units at a time, and fill a compact
  // string directly.
  uint64_t high = 0;
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint64_t w;
    std::memcpy(&w, at + 2 * i, sizeof w);
    high |= w;
  }
  for (; i < n; ++i) high |= uint64_t{at[2 * i]} | uint64_t{at[2 * i + 1]} << 8;
  if ((high & 0xFF80FF80FF80FF80ull) == 0) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (!s) return nullptr;
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(s);
    for (i = 0; i + 4 <= n; i += 4) {
      uint64_t w;
      std::memcpy(&w, at + 2 * i, sizeof w);
      dst[i] = static_cast<Py_UCS1>(w);
      dst[i + 1] = static_cast<Py_UCS1>(w >> 16);
      dst[i + 2] = static_cast<Py_UCS1>(w >> 32);
      dst[i + 3] = static_cast<Py_UCS1>(w >> 48);
    }
    for (; i < n; ++i) dst[i] = at[2 * i];
    return s;
  }
  int byteorder = -1;  // little-endian units
  // "surrogatepass" keeps lone surrogates instead of failing the whole record.
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(n) * 2,
                               "surrogatepass", &byteorder);
}

}  // namespace

void RegisterRecordTypes(PyObject* module) {
  for (int t = 0; t < kRecordTypeCount; ++t) {
    g_module.record_descs[t] = kDescs[t];
    PyStructSequence_Desc* type_desc = MakeTypeDesc(*kDescs[t]);
    if (!type_desc) continue;
    PyTypeObject* type = &g_module.record_types[t];
    if (PyStructSequence_InitType2(type, type_desc) != 0) {
      PyErr_Clear();
      continue;
    }
    PyObject* method = PyDescr_NewMethod(type, &kAsDictDef);
    if (!method || PyDict_SetItemString(type->tp_dict, "_asdict", method) < 0) PyErr_Clear();
    Py_XDECREF(method);
    PyObject* kinds = KindLetters(*kDescs[t]);
    if (!kinds || PyDict_SetItemString(type->tp_dict, "_kinds", kinds) < 0) PyErr_Clear();
    Py_XDECREF(kinds);
    PyType_Modified(type);
    // The short type name: the descriptor carries no module prefix.
    Py_INCREF(type);
    if (PyModule_AddObject(module, kDescs[t]->name, reinterpret_cast<PyObject*>(type)) < 0) {
      PyErr_Clear();
      Py_DECREF(type);
      continue;
    }
    g_module.record_ready[t] = true;
  }
}

RecordBuilder::~RecordBuilder() {
  if (!slots_) return;
  for (uint32_t i = 0; i < kSlots; ++i) Py_XDECREF(slots_[i].text);
  PyMem_Free(slots_);
}

RecordBuilder::RecordBuilder() {
  if (!g_module.zero) g_module.zero = PyFloat_FromDouble(0.0);
  if (!g_module.zero) PyErr_Clear();  // every 0.0 is then a float of its own
  zero_ = g_module.zero;
}

PyObject* RecordBuilder::Text(const uint8_t* at, uint32_t units) {
  // Texts of up to 32 units (symbols, currencies, comments) repeat across the records of a
  // tuple; longer ones hardly ever do.
  if (slots_ && units <= FieldKey::kMaxUnits) return Cached(at, units);
  const uint32_t n = FieldUnits(at, units);
  if (n == 0) return PyUnicode_New(0, 0);  // the shared empty string
  return DecodeUnits(at, n);
}

PyObject* RecordBuilder::Cached(const uint8_t* at, uint32_t units) {
  FieldKey key;
  key.Load(at, units);
  if (key.units == 0) return PyUnicode_New(0, 0);
  for (uint32_t probe = 0; probe < kSlots; ++probe) {
    Slot& s = slots_[(key.hash + probe) & (kSlots - 1)];
    if (!s.text) {
      PyObject* text = DecodeUnits(at, key.units);
      // Half full is full: the probes stay short, and the rest is decoded each time.
      if (text && used_ < kSlots / 2) {
        s.text = text;
        s.key = key;
        ++used_;
        Py_INCREF(text);
      }
      return text;
    }
    if (s.key == key) {
      Py_INCREF(s.text);
      return s.text;
    }
  }
  return DecodeUnits(at, key.units);
}

PyObject* RecordBuilder::Make(const RecordDesc& desc, PyTypeObject* type,
                              const uint8_t* record, PyObject* nested) {
  // What PyStructSequence_New does, without looking the field counts up in the type's
  // dict for every record: every field of our types is visible.
  PyTupleObject* obj =
      PyObject_GC_NewVar(PyTupleObject, type, static_cast<Py_ssize_t>(desc.field_count));
  if (!obj) {
    Py_XDECREF(nested);
    return nullptr;
  }
  bool complete = desc.fill(*this, record, obj->ob_item);
  if (desc.nested >= 0) {
    obj->ob_item[desc.nested] = nested;
    complete = complete && nested;
  } else {
    Py_XDECREF(nested);
  }
  if (!complete) {
    Py_DECREF(obj);  // frees the items that were made
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(obj);
}

PyObject* RecordBuilder::One(RecordType type, const void* record, PyObject* nested) {
  if (!g_module.record_ready[type]) {
    Py_XDECREF(nested);
    PyErr_SetString(PyExc_RuntimeError, "record type not registered");
    return nullptr;
  }
  return Make(*g_module.record_descs[type], &g_module.record_types[type],
              static_cast<const uint8_t*>(record), nested);
}

PyObject* RecordBuilder::Tuple(RecordType type, const void* records, uint32_t count,
                               const uint32_t* pick) {
  if (!g_module.record_ready[type]) {
    PyErr_SetString(PyExc_RuntimeError, "record type not registered");
    return nullptr;
  }
  PauseCollector pause(count >= 256);
  PyObject* tuple = PyTuple_New(count);
  if (!tuple || count == 0) return tuple;
  // Texts repeat across records, not within one: share them in tuples long enough to
  // repay the table.
  if (count >= kShareFrom && !slots_) slots_ = static_cast<Slot*>(PyMem_Calloc(kSlots, sizeof(Slot)));
  const RecordDesc& desc = *g_module.record_descs[type];
  PyTypeObject* record_type = &g_module.record_types[type];
  const auto* p = static_cast<const uint8_t*>(records);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = pick ? pick[i] : i;
    PyObject* rec = Make(desc, record_type, p + at * desc.size, nullptr);
    if (!rec) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, rec);
  }
  return tuple;
}

}  // namespace orbisyn
