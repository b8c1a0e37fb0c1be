// Bars and ticks: one table each gives the numpy dtype (and for ticks the Tick record
// type); numpy arrays serve as reply blocks.
#include "market_data/records.h"

#include <cstring>

#include "module/records.h"
#include "module/session_call.h"
#include "module/state.h"
#include "protocol/records.h"

namespace orbisyn {

namespace {

constexpr Field kTickRows[] = {ORBISYN_ROWS_TickRecord(ORBISYN_ROW)};
static_assert(Tiles(kTickRows, sizeof(TickRecord)), "every byte is a field");

constexpr Field kBarRows[] = {ORBISYN_ROWS_BarRecord(ORBISYN_ROW)};
static_assert(Tiles(kBarRows, sizeof(BarRecord)), "every byte is a field");

// numpy's name for a kind (little-endian, as on the wire).
const char* NumpyFormat(FieldKind kind) {
  switch (kind) {
    case FieldKind::kInt32: return "<i4";
    case FieldKind::kUInt32: return "<u4";
    case FieldKind::kInt64: return "<i8";
    case FieldKind::kUInt64: return "<u8";
    case FieldKind::kDouble: return "<f8";
    default: return nullptr;
  }
}

template <size_t N>
PyArray_Descr* MakeDtype(const Field (&fields)[N], size_t itemsize) {
  PyObject* names = PyList_New(N);
  PyObject* formats = PyList_New(N);
  PyObject* offsets = PyList_New(N);
  PyObject* layout = nullptr;
  PyArray_Descr* descr = nullptr;
  if (names && formats && offsets) {
    bool ok = true;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(N) && ok; ++i) {
      PyObject* n = PyUnicode_FromString(fields[i].name);
      const char* format = NumpyFormat(fields[i].kind);
      PyObject* f = format ? PyUnicode_FromString(format) : nullptr;
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

const RecordDesc kTickDesc =
    MakeDesc<TickRecord, kTickRows>("Tick", "This is a structure for storing latest symbol prices");

void BuildMarketDtypes() {
  g_module.bar_dtype = MakeDtype(kBarRows, sizeof(BarRecord));
  g_module.tick_dtype = MakeDtype(kTickRows, sizeof(TickRecord));
}

// Both run inside an exchange, where the interpreter lock is released.
void* NumpyArrayAllocator::Allocate(uint32_t count, size_t element_size) {
  if (!dtype_ || static_cast<size_t>(PyDataType_ELSIZE(dtype_)) != element_size) {
    failed_ = true;
    return nullptr;
  }
  // A short reply is read into the allocator's own room, and the array made after the
  // exchange: taking the interpreter lock in the middle costs more than copying a few bars.
  small_count_ = -1;
  if (size_t{count} * element_size <= sizeof small_) {
    small_count_ = static_cast<int64_t>(count);
    return small_;
  }
  WithInterpreter interpreter;
  Py_CLEAR(array_);
  array_ = NewArray(count);
  if (!array_) {
    failed_ = true;
    return nullptr;
  }
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_));
}

void NumpyArrayAllocator::Release(void* block) {
  if (block == small_) {
    small_count_ = -1;
    return;
  }
  WithInterpreter interpreter;
  Py_CLEAR(array_);
}

PyObject* NumpyArrayAllocator::NewArray(uint32_t count) {
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  // PyArray_NewFromDescr steals a reference to the dtype; numpy's own allocator gives
  // the block, so the array owns it on every numpy version without touching its flags.
  Py_INCREF(dtype_);
  PyObject* array =
      PyArray_NewFromDescr(&PyArray_Type, dtype_, 1, dims, nullptr, nullptr, 0, nullptr);
  if (!array) PyErr_Clear();
  return array;
}

PyObject* NumpyArrayAllocator::Take() {
  if (small_count_ >= 0) {
    const auto count = static_cast<uint32_t>(small_count_);
    small_count_ = -1;
    PyObject* array = NewArray(count);
    if (array) {
      std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), small_,
                  size_t{count} * static_cast<size_t>(PyDataType_ELSIZE(dtype_)));
    }
    return array;
  }
  PyObject* a = array_;
  array_ = nullptr;
  return a;
}

}  // namespace orbisyn
