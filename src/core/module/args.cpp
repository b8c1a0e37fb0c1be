#include "module/args.h"

#include <cstdio>
#include <cstring>

#include "link/results.h"
#include "module/errors.h"

namespace orbisyn {

namespace {

constexpr size_t kMessageRoom = 256;

bool SameName(PyObject* key, const char* name) {
  // Keyword names are nearly always ASCII and compact: compare the bytes.
  if (PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key)) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    return std::strlen(name) == n && std::memcmp(PyUnicode_DATA(key), name, n) == 0;
  }
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

const char* Ordinal(size_t i) {
  static const char* const kOrdinals[] = {"1st", "2nd", "3rd", "4th", "5th",
                                          "6th", "7th", "8th", "9th"};
  return i < sizeof kOrdinals / sizeof kOrdinals[0] ? kOrdinals[i] : "next";
}

bool Refuse(const char* message) {
  SetError(kResultInvalidParams, message);
  return false;
}

template <class... T>
bool RefuseF(const char* format, T... values) {
  char message[kMessageRoom];
  std::snprintf(message, sizeof message, format, values...);
  return Refuse(message);
}

bool Mismatch(const Signature& sig) {
  // A declaration that does not fit its function's destinations: a bug, not a bad call.
  char message[kMessageRoom];
  std::snprintf(message, sizeof message, "Internal error: arguments of %s", sig.name);
  SetError(kResultFail, message);
  return false;
}

bool WrongCount(const Signature& sig, size_t most, Py_ssize_t given) {
  if (sig.style == Style::kNumbered) return Refuse("Invalid number of arguments");
  if (most == 0 && sig.count > 0) return Refuse("Unnamed arguments not allowed");
  if (most == 0) return RefuseF("Invalid arguments: takes none, %zd given", given);
  size_t least = 0;
  for (size_t i = 0; i < most; ++i) least += (sig.params[i].flags & kRequired) ? 1 : 0;
  return RefuseF(least == most ? "Invalid arguments: takes %zu, %zd given"
                               : "Invalid arguments: takes at most %zu, %zd given",
                 most, given);
}

bool BadValue(const Signature& sig, size_t i, bool by_keyword, const char* why) {
  const char* sep = why ? ": " : "";
  const char* reason = why ? why : "";
  if (by_keyword)
    return RefuseF("Invalid \"%s\" argument%s%s", sig.params[i].name, sep, reason);
  if (sig.style == Style::kNumbered)
    return RefuseF("Invalid %s unnamed argument%s%s", Ordinal(i), sep, reason);
  return RefuseF("Invalid arguments: \"%s\"%s%s", sig.params[i].name, sep, reason);
}

// A destination of the right type for a value that is checked but not wanted.
struct Scratch {
  char16_t text[2000];
  int64_t i64;
  uint64_t u64;
  int32_t i32;
  uint32_t u32;
  double d;
  bool b;
  PyObject* obj;
};

Dest ScratchFor(ArgKind kind, Scratch& s) {
  switch (kind) {
    case ArgKind::kText: return Dest(s.text);
    case ArgKind::kTime:
    case ArgKind::kMillis:
    case ArgKind::kInt64: return Dest(&s.i64);
    case ArgKind::kInt32: return Dest(&s.i32);
    case ArgKind::kUInt32: return Dest(&s.u32);
    case ArgKind::kUInt64: return Dest(&s.u64);
    case ArgKind::kFloat: return Dest(&s.d);
    case ArgKind::kTruth: return Dest(&s.b);
    case ArgKind::kObject: return Dest(&s.obj);
  }
  return Dest(nullptr);
}

Dest::Type TypeOf(ArgKind kind) {
  switch (kind) {
    case ArgKind::kText: return Dest::Type::kText;
    case ArgKind::kTime:
    case ArgKind::kMillis:
    case ArgKind::kInt64: return Dest::Type::kInt64;
    case ArgKind::kInt32: return Dest::Type::kInt32;
    case ArgKind::kUInt32: return Dest::Type::kUInt32;
    case ArgKind::kUInt64: return Dest::Type::kUInt64;
    case ArgKind::kFloat: return Dest::Type::kDouble;
    case ArgKind::kTruth: return Dest::Type::kBool;
    case ArgKind::kObject: return Dest::Type::kObject;
  }
  return Dest::Type::kSkip;
}

}  // namespace

bool Convert(ArgKind kind, uint16_t units, PyObject* value, const Dest& dest, const char** why) {
  void* at = dest.at();
  switch (kind) {
    case ArgKind::kText:
      return dest.capacity() > units && ToTextUnits(value, static_cast<char16_t*>(at), units);
    case ArgKind::kTime: return ToTime(value, static_cast<int64_t*>(at), why);
    case ArgKind::kMillis: {
      int64_t seconds = 0;
      if (!ToTime(value, &seconds, why) || seconds > INT64_MAX / 1000 || seconds < INT64_MIN / 1000)
        return false;
      *static_cast<int64_t*>(at) = seconds * 1000;
      return true;
    }
    case ArgKind::kInt32: return ToInt32(value, static_cast<int32_t*>(at));
    case ArgKind::kUInt32: return ToUInt32(value, static_cast<uint32_t*>(at));
    case ArgKind::kInt64: return ToInt64(value, static_cast<int64_t*>(at));
    case ArgKind::kUInt64: return ToUInt64(value, static_cast<uint64_t*>(at));
    case ArgKind::kFloat: return ToFloat(value, static_cast<double*>(at));
    case ArgKind::kTruth: {
      const int truth = PyObject_IsTrue(value);
      if (truth < 0) return false;
      *static_cast<bool*>(at) = truth != 0;
      return true;
    }
    case ArgKind::kObject: *static_cast<PyObject**>(at) = value; return true;
  }
  return false;
}

bool ReadArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::initializer_list<Dest> dests, Given* given) {
  if (dests.size() != sig.count) return Mismatch(sig);
  size_t most = 0;  // parameters that may be given by position come first
  while (most < sig.count && (sig.params[most].flags & kByPosition)) ++most;
  if (static_cast<size_t>(nargs) > most) return WrongCount(sig, most, nargs);

  PyObject* by_keyword[kMaxParams] = {};
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw > 0 && sig.var_keywords) {
    // Every keyword goes to the mapping: such functions take their parameters by position.
    if (given) {
      given->extra = args + nargs;
      given->extra_names = kwnames;
      given->extra_count = nkw;
    }
  } else {
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      size_t i = 0;
      while (i < sig.count &&
             !((sig.params[i].flags & kByKeyword) && SameName(key, sig.params[i].name)))
        ++i;
      if (i == sig.count) {
        const char* known[kMaxParams];
        size_t n = 0;
        for (size_t k = 0; k < sig.count; ++k)
          if (sig.params[k].flags & kByKeyword) known[n++] = sig.params[k].name;
        SetUnknownError(key, "argument", known, n);
        return false;
      }
      if (i < static_cast<size_t>(nargs) && !sig.keyword_wins)
        return RefuseF("Invalid arguments: \"%s\" given twice", sig.params[i].name);
      by_keyword[i] = args[nargs + j];
    }
  }

  uint32_t mask = 0;
  for (size_t i = 0; i < sig.count; ++i) {
    if (i < static_cast<size_t>(nargs) || by_keyword[i]) {
      mask |= 1u << i;
    } else if (sig.params[i].flags & kRequired) {
      if (sig.style == Style::kNumbered) return Refuse("Invalid number of arguments");
      return RefuseF("Invalid arguments: \"%s\" missing", sig.params[i].name);
    }
  }

  Scratch scratch;
  auto convert = [&](size_t i, PyObject* value, bool keyword) {
    const Param& p = sig.params[i];
    Dest dest = dests.begin()[i];
    if (dest.type() == Dest::Type::kSkip) dest = ScratchFor(p.kind, scratch);
    if (dest.type() != TypeOf(p.kind)) return Mismatch(sig);
    const char* why = nullptr;
    return Convert(p.kind, p.units, value, dest, &why) || BadValue(sig, i, keyword, why);
  };
  // Positionals first, in their order; then keywords, in the declared order. A keyword
  // that repeats a positional (keyword_wins) is converted after it and replaces it.
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if (!convert(static_cast<size_t>(i), args[i], false)) return false;
  }
  for (size_t k = 0; k < sig.count && nkw > 0; ++k) {
    const size_t i = sig.keyword_order ? sig.keyword_order[k] : k;
    if (by_keyword[i] && !convert(i, by_keyword[i], true)) return false;
  }
  if (given) {
    given->mask = mask;
    given->positional = nargs;
  }
  return true;
}

PyObject* Refused(const Signature& sig) {
  switch (sig.refusal) {
    case Refusal::kFalse: Py_RETURN_FALSE;
    case Refusal::kVersion: return Py_BuildValue("(iis)", 0, 0, "");
    case Refusal::kLastError: return LastErrorTuple();
    case Refusal::kNone: break;
  }
  Py_RETURN_NONE;
}

}  // namespace orbisyn
