// Reply blocks that are already numpy arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/channel.h"
#include "module/python.h"

namespace orbisyn {

// Allocate makes a 1-D array of count records of the dtype and hands out its data, so the
// records are read from the pipe straight into memory that numpy allocated and frees.
// Holds the array until Take; an array not taken dies with the allocator. A reply of a few
// KiB goes into the allocator's own room instead, and Take makes its array (with the
// interpreter lock held, as Take always is).
class NumpyArrayAllocator final : public ArrayAllocator {
 public:
  // dtype may be null (not built at import): every Allocate then fails.
  explicit NumpyArrayAllocator(PyArray_Descr* dtype) : dtype_(dtype) {}
  ~NumpyArrayAllocator() { Py_XDECREF(array_); }  // with the interpreter lock held
  NumpyArrayAllocator(const NumpyArrayAllocator&) = delete;
  NumpyArrayAllocator& operator=(const NumpyArrayAllocator&) = delete;

  // Null when the dtype is absent, its item size differs, or numpy cannot make the array;
  // never leaves a Python exception pending.
  void* Allocate(uint32_t count, size_t element_size) override;
  void Release(void* block) override;

  // The array (new reference) or null; the allocator lets go of it.
  PyObject* Take();
  // True when an Allocate returned null.
  bool Failed() const { return failed_; }

 private:
  PyObject* NewArray(uint32_t count);

  PyArray_Descr* dtype_;
  PyObject* array_ = nullptr;
  bool failed_ = false;
  int64_t small_count_ = -1;  // records in small_, or -1
  alignas(16) uint8_t small_[4096];
};

}  // namespace orbisyn
