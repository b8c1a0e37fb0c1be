#include "market_data/numpy_allocator.h"

namespace orbisyn {

void* NumpyArrayAllocator::Allocate(uint32_t count, size_t element_size) {
  Py_CLEAR(array_);
  if (!dtype_ || static_cast<size_t>(PyDataType_ELSIZE(dtype_)) != element_size) {
    failed_ = true;
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  // PyArray_NewFromDescr steals a reference to the dtype; numpy's own allocator gives
  // the block, so the array owns it on every numpy version without touching its flags.
  Py_INCREF(dtype_);
  array_ = PyArray_NewFromDescr(&PyArray_Type, dtype_, 1, dims, nullptr, nullptr, 0, nullptr);
  if (!array_) {
    PyErr_Clear();
    failed_ = true;
    return nullptr;
  }
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_));
}

void NumpyArrayAllocator::Release(void*) { Py_CLEAR(array_); }

PyObject* NumpyArrayAllocator::Take() {
  PyObject* a = array_;
  array_ = nullptr;
  return a;
}

}  // namespace orbisyn
