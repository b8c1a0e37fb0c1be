// _terminals(): every Terminal a plain initialize() can find, and the one it picks and
// why, straight from the locator (orbisyn-terminal list shows it). Nothing is connected.
#include <cstring>

#include "link/locator.h"
#include "module/functions.h"
#include "module/python.h"
#include "platform/platform.h"

namespace orbisyn {

namespace {

PyObject* Ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

PyObject* FromUnits(const char16_t* text) {
  int little = -1;
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                               static_cast<Py_ssize_t>(platform::TextLength(text)) * 2, "replace",
                               &little);
}

PyObject* FromUtf8(const char* text) {
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

// Seconds since 1970 of the locator's ordered file time; None for none.
PyObject* Seconds(uint64_t time) {
  if (time == 0) Py_RETURN_NONE;
#ifdef _WIN32
  constexpr uint64_t k1970 = 116444736000000000ull;  // in 100 ns since 1601
  return PyFloat_FromDouble(time < k1970 ? 0.0 : static_cast<double>(time - k1970) / 1e7);
#else
  return PyFloat_FromDouble(static_cast<double>(time) / 1e9);
#endif
}

const char* PlaceName(TerminalPlace place) {
  switch (place) {
    case TerminalPlace::kWinePrefixEnv: return "WINEPREFIX";
    case TerminalPlace::kWineHome: return "~/.wine";
    case TerminalPlace::kNative: break;
  }
  return "native";
}

// Builds the Python view as the locator goes; the first failure sticks and stops adding.
class Collector final : public LocatorWatcher {
 public:
  Collector()
      : looked_(PyList_New(0)), found_(PyList_New(0)), skipped_(PyList_New(0)),
        failed_(!looked_ || !found_ || !skipped_) {}
  ~Collector() {
    Py_XDECREF(looked_);
    Py_XDECREF(found_);
    Py_XDECREF(skipped_);
    Py_XDECREF(pick_);
    Py_XDECREF(why_);
  }

  void LookedIn(const char16_t* root) override { Append(looked_, FromUnits(root)); }

  void Found(const FoundTerminal& t) override {
    if (failed_) return;
    PyObject* windows = t.windows_path[0] ? FromUnits(t.windows_path) : Ref(Py_None);
    PyObject* prefix = t.prefix ? FromUnits(t.prefix) : Ref(Py_None);
    Append(found_, Py_BuildValue("{s:N,s:N,s:N,s:N,s:O,s:N,s:s,s:O}",
                                 "path", FromUnits(t.candidate.exe_path),
                                 "windows_path", windows,
                                 "prefix", prefix,
                                 "data_path", FromUnits(t.data_folder),
                                 "portable", t.candidate.portable ? Py_True : Py_False,
                                 "last_used", Seconds(t.candidate.last_used),
                                 "place", PlaceName(t.place),
                                 "parent", t.parent ? Py_True : Py_False));
  }

  void Skipped(const char16_t* folder, const char* why) override {
    if (!failed_) Append(skipped_, Py_BuildValue("(NN)", FromUnits(folder), FromUtf8(why)));
  }

  void Picked(size_t index, const char* why) override {
    if (failed_) return;
    pick_ = index == SIZE_MAX ? Ref(Py_None) : PyLong_FromSize_t(index);
    why_ = FromUtf8(why);
    failed_ = !pick_ || !why_;
  }

  // The result, or null with the exception set.
  PyObject* Result() {
    if (failed_ || !pick_) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return nullptr;
    }
    return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O}", "looked_in", looked_, "terminals", found_,
                         "skipped", skipped_, "pick", pick_, "reason", why_);
  }

 private:
  // Takes item; a null item (its building failed) fails the whole.
  void Append(PyObject* list, PyObject* item) {
    if (failed_ || !item || PyList_Append(list, item) < 0) failed_ = true;
    Py_XDECREF(item);
  }

  PyObject* looked_;
  PyObject* found_;
  PyObject* skipped_;
  PyObject* pick_ = nullptr;
  PyObject* why_ = nullptr;
  bool failed_;
};

// The interpreter lock stays held: the search reads a few folders and builds objects as
// it goes, and it holds no session that another thread could wait for.
PyObject* terminals(PyObject*, PyObject*) {
  Collector collector;
  ListTerminals(collector);
  return collector.Result();
}

}  // namespace

const PyMethodDef kLocatorMethods[] = {
    {"_terminals", terminals, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
