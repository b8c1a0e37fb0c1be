// Module definition and start-up.
#define ORBISYN_IMPORT_NUMPY
#include "module/python.h"

#include "module/conversion.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"
#include "module/state.h"

namespace orbisyn {

ModuleState g_module;

namespace {

// The families' method rows, in one table: the 32 functions of the Terminal, set_timeout,
// get_timeout and _set_thread_timeout.
constexpr size_t kMethodCount = 35;
PyMethodDef g_methods[kMethodCount + 1];

bool CollectMethods() {
  const PyMethodDef* const families[] = {kSessionMethods, kInfoMethods, kMarketDataMethods,
                                         kTradingMethods, kPositionsMethods, kErrorMethods};
  size_t n = 0;
  for (const PyMethodDef* rows : families) {
    for (; rows->ml_name; ++rows) {
      if (n == kMethodCount) return false;
      g_methods[n++] = *rows;
    }
  }
  g_methods[n] = {nullptr, nullptr, 0, nullptr};
  return n == kMethodCount;
}

// Asked on EINTR and between polls, with the interpreter lock released: runs Python's
// signal handlers (in the main thread) and ends the wait when one raised. Its exception
// stays pending for the module function to return.
bool HandlerRaised() {
  WithInterpreter interpreter;
  return PyErr_CheckSignals() < 0;
}

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_core", "API Connector to Orbisyn Terminal", -1, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void InstallInterruptCheck() { platform::SetInterruptCheck(&HandlerRaised); }

}  // namespace orbisyn

PyMODINIT_FUNC PyInit__core(void) {
  using namespace orbisyn;
  if (!CollectMethods()) {
    PyErr_SetString(PyExc_ImportError, "orbisyn._core: method table out of step");
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
  PyObject* module = PyModule_Create2(&g_definition, 1013);
  if (!module) return nullptr;
  RegisterRecordTypes(module);
  InstallInterruptCheck();
  return module;
}
