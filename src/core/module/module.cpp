// Module definition and start-up.
#define ORBISYN_IMPORT_NUMPY
#include "module/python.h"

#include <cstring>

#include "module/conversion.h"
#include "module/docs.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"
#include "module/state.h"

namespace orbisyn {

ModuleState g_module;

namespace {

// The families' functions and the settings, in one method table made at the first import;
// it lives as long as the process.
const Function* const kFamilies[] = {kSessionFunctions, kInfoFunctions, kMarketDataFunctions,
                                     kTradingFunctions, kPositionsFunctions};
// Plain method rows, after the families' functions.
const PyMethodDef* const kPlainTables[] = {kSettingsMethods, kLocatorMethods};
PyMethodDef* g_methods = nullptr;

// A declaration Python can show: positional-only, then positional-or-keyword, then
// keyword-only parameters; no required positional after an optional one; **keywords only
// beside parameters that are positional-only.
bool WellFormed(const Signature& sig) {
  int stage = 0;
  bool optional = false;
  for (size_t i = 0; i < sig.count; ++i) {
    const Param& p = sig.params[i];
    const int s = !(p.flags & kByKeyword) ? 0 : (p.flags & kByPosition) ? 1 : 2;
    if (s < stage || (s < 2 && optional && (p.flags & kRequired))) return false;
    if (sig.var_keywords && s != 0) return false;
    stage = s;
    optional = optional || !(p.flags & kRequired);
  }
  return true;
}

// A growing text on Python's raw allocator, kept for the life of the process once taken.
// (No std::string: a static libstdc++ would bring its random device, and a newer glibc.)
class Text {
 public:
  ~Text() { PyMem_RawFree(data_); }
  Text& operator+=(const char* s) { return Add(s, std::strlen(s)); }
  Text& Add(const char* s, size_t n) {
    if (failed_) return *this;
    if (size_ + n + 1 > capacity_) {
      size_t want = (size_ + n + 1) * 2;
      char* grown = static_cast<char*>(PyMem_RawRealloc(data_, want));
      if (!grown) {
        failed_ = true;
        return *this;
      }
      data_ = grown;
      capacity_ = want;
    }
    std::memcpy(data_ + size_, s, n);
    size_ += n;
    data_[size_] = '\0';
    return *this;
  }
  // The text, handed over; null when an allocation failed.
  const char* Take() {
    if (failed_ || !data_) return nullptr;
    char* kept = data_;
    data_ = nullptr;
    return kept;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
  bool failed_ = false;
};

// "name($module, a, /, b=None, *, c=None)\n--\n\n": the text signature inspect reads.
void AppendTextSignature(const Signature& sig, Text* out) {
  *out += sig.name;
  *out += "($module";
  bool slash = false, star = false;
  for (size_t i = 0; i < sig.count; ++i) {
    const Param& p = sig.params[i];
    const bool positional_only = !(p.flags & kByKeyword);
    if (!positional_only && !slash) {
      *out += ", /";
      slash = true;
    }
    if (!(p.flags & kByPosition) && !star) {
      *out += ", *";
      star = true;
    }
    *out += ", ";
    *out += p.name;
    // An empty shown default: optional to the reader, but the function refuses its absence.
    if (!(p.flags & kRequired) && !(p.shown_default && !*p.shown_default)) {
      *out += "=";
      *out += p.shown_default ? p.shown_default : "None";
    }
  }
  if (!slash) *out += ", /";
  if (sig.var_keywords) {
    *out += ", **";
    *out += sig.var_keywords;
  }
  *out += ")\n--\n\n";
}

// The text signature, then the stub's docstring (or the signature line and description).
const char* MakeDoc(const Signature& sig) {
  Text doc;
  AppendTextSignature(sig, &doc);
  if (const char* stub = StubDoc(nullptr, sig.name)) {
    doc += stub;
  } else {
    doc += sig.line;
    doc += "\n\n";
    doc += sig.text;
  }
  return doc.Take();  // lives as long as the process, like the method table
}

bool CollectMethods() {
  if (g_methods) return true;
  size_t count = 0;
  for (const Function* rows : kFamilies)
    for (; rows->signature; ++rows) ++count;
  for (const PyMethodDef* table : kPlainTables)
    for (const PyMethodDef* row = table; row->ml_name; ++row) ++count;
  auto* methods = static_cast<PyMethodDef*>(PyMem_RawCalloc(count + 1, sizeof(PyMethodDef)));
  if (!methods) return false;
  size_t n = 0;
  for (const Function* rows : kFamilies) {
    for (; rows->signature; ++rows) {
      const Signature& sig = *rows->signature;
      if (!WellFormed(sig)) return false;
      const char* doc = MakeDoc(sig);
      if (!doc) return false;
      methods[n++] = {sig.name,
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows->body)),
                        METH_FASTCALL | METH_KEYWORDS, doc};
    }
  }
  for (const PyMethodDef* table : kPlainTables) {
    for (const PyMethodDef* row = table; row->ml_name; ++row) {
      methods[n] = *row;
      // The stubs' text where they have one, after the text signature of the row's own doc.
      const char* stub = row->ml_doc ? StubDoc(nullptr, row->ml_name) : nullptr;
      if (stub) {
        const char* body = std::strstr(row->ml_doc, "--\n\n");
        Text doc;
        doc.Add(row->ml_doc, body ? static_cast<size_t>(body + 4 - row->ml_doc) : 0);
        doc += stub;
        methods[n].ml_doc = doc.Take();
        if (!methods[n].ml_doc) return false;
      }
      ++n;
    }
  }
  methods[n] = {nullptr, nullptr, 0, nullptr};
  g_methods = methods;
  return true;
}

// Asked on EINTR and between polls, with the interpreter lock released: runs Python's
// signal handlers (in the main thread) and ends the wait when one raised. Its exception
// stays pending for the module function to return.
bool HandlerRaised() {
  WithInterpreter interpreter;
  return PyErr_CheckSignals() < 0;
}

// m_size -1: the state is the process's (module/state.h says why).
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_core", "API Connector to Orbisyn Terminal", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void InstallInterruptCheck() { platform::SetInterruptCheck(&HandlerRaised); }

}  // namespace orbisyn

PyMODINIT_FUNC PyInit__core(void) {
  using namespace orbisyn;
  if (!CollectMethods()) {
    PyErr_SetString(PyExc_ImportError, "orbisyn._core: function declarations out of step");
    return nullptr;
  }
  // Without datetime, time arguments could not be recognised: fail the import.
  if (!InitConversion()) return nullptr;
  if (_import_array() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    return nullptr;
  }
  BuildMarketDtypes();
  g_definition.m_methods = g_methods;
  PyObject* module = PyModule_Create2(&g_definition, 1013);
  if (!module) return nullptr;
  RegisterRecordTypes(module);
  InstallInterruptCheck();
  return module;
}
