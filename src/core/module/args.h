// The argument reader. Each module function declares its parameters once, in a Signature
// (name, kind, positional or keyword, limits); the reader binds a call against it
// (METH_FASTCALL | METH_KEYWORDS: no argument tuple or keyword dict is built), converts
// every given value by the rules of conversion.h, and on any failure records -2 with a
// message that names the argument. The text signature for inspect and help derives from
// the same declaration (module.cpp). Bad calls never raise: the function returns its
// refusal value (Refused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "module/conversion.h"
#include "module/python.h"

namespace orbisyn {

enum class ArgKind : uint8_t {
  kText,    // str of at most `units` UTF-16 units
  kTime,    // seconds (ToTime)
  kMillis,  // ToTime, in milliseconds
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kFloat,
  kTruth,   // any object, by its truth value
  kObject,  // taken as it is (borrowed)
};

enum ParamFlags : uint8_t {
  kByPosition = 1,
  kByKeyword = 2,
  kRequired = 4,
};

struct Param {
  const char* name;
  ArgKind kind;
  uint8_t flags;
  uint16_t units;             // kText: the longest text accepted
  const char* shown_default;  // the default the text signature shows; null: "None"

  // Modifiers, for declarations that read like the signature they make.
  constexpr Param Optional(const char* shown = nullptr) const {
    return {name, kind, static_cast<uint8_t>(flags & ~kRequired), units, shown};
  }
  constexpr Param KeywordOnly() const {
    return {name, kind, static_cast<uint8_t>((flags & ~kByPosition & ~kRequired) | kByKeyword),
            units, shown_default};
  }
  constexpr Param PositionalOnly() const {
    return {name, kind, static_cast<uint8_t>(flags & ~kByKeyword), units, shown_default};
  }
};

// A required parameter that may be given by position or by name.
constexpr Param Arg(const char* name, ArgKind kind, uint16_t units = 0) {
  return {name, kind, kByPosition | kByKeyword | kRequired, units, nullptr};
}

// How the messages of a bad call read. kPlain: 'Invalid arguments: "count"' for a bad
// positional value, "Invalid arguments: ..." for a bad count. kNumbered (initialize,
// login, symbols_get): "Invalid 1st unnamed argument", "Invalid number of arguments".
// Both: 'Invalid "name" argument' for a bad value given by keyword, and
// 'Unknown "name" argument, did you mean "other"?' for a keyword the function does not take.
enum class Style : uint8_t { kPlain, kNumbered };

// What a refused call returns.
enum class Refusal : uint8_t { kNone, kFalse, kVersion, kLastError };

constexpr size_t kMaxParams = 8;

struct Signature {
  const char* name;
  const Param* params;
  uint8_t count;
  Style style;
  Refusal refusal;
  bool keyword_wins;          // a keyword may repeat a positional, and replaces it
  const char* var_keywords;   // name of a **mapping of other keywords, or null
  const uint8_t* keyword_order;  // params given by keyword are converted in this order
  const char* line;              // doc without stub text: signature line ...
  const char* text;              // ... and description

  constexpr Signature Numbered() const {
    Signature s = *this;
    s.style = Style::kNumbered;
    return s;
  }
  constexpr Signature RefusedWith(Refusal r) const {
    Signature s = *this;
    s.refusal = r;
    return s;
  }
  constexpr Signature KeywordWins() const {
    Signature s = *this;
    s.keyword_wins = true;
    return s;
  }
  constexpr Signature VarKeywords(const char* n) const {
    Signature s = *this;
    s.var_keywords = n;
    return s;
  }
  template <size_t N>
  constexpr Signature KeywordOrder(const uint8_t (&order)[N]) const {
    Signature s = *this;
    s.keyword_order = order;
    return s;
  }
};

template <size_t N>
constexpr Signature Declare(const char* name, const Param (&params)[N], const char* line,
                            const char* text) {
  static_assert(N <= kMaxParams, "too many parameters");
  return {name, params, static_cast<uint8_t>(N), Style::kPlain, Refusal::kNone, false, nullptr,
          nullptr, line, text};
}
// A function without parameters.
constexpr Signature Declare(const char* name, const char* line, const char* text) {
  return {name, nullptr, 0, Style::kPlain, Refusal::kNone, false, nullptr, nullptr, line, text};
}

// Where a parameter's value goes: a typed destination, checked against its kind.
class Dest {
 public:
  enum class Type : uint8_t { kSkip, kText, kInt32, kUInt32, kInt64, kUInt64, kDouble, kBool, kObject };
  Dest(std::nullptr_t) {}  // not wanted (converted and checked all the same)
  template <size_t N>
  Dest(char16_t (&text)[N]) : type_(Type::kText), at_(text), capacity_(N) {}
  Dest(int32_t* v) : type_(Type::kInt32), at_(v) {}
  Dest(uint32_t* v) : type_(Type::kUInt32), at_(v) {}
  Dest(int64_t* v) : type_(Type::kInt64), at_(v) {}
  Dest(uint64_t* v) : type_(Type::kUInt64), at_(v) {}
  Dest(double* v) : type_(Type::kDouble), at_(v) {}
  Dest(bool* v) : type_(Type::kBool), at_(v) {}
  Dest(PyObject** v) : type_(Type::kObject), at_(v) {}

  Type type() const { return type_; }
  void* at() const { return at_; }
  size_t capacity() const { return capacity_; }

 private:
  Type type_ = Type::kSkip;
  void* at_ = nullptr;
  size_t capacity_ = 0;
};

// What a call gave beyond the values: which parameters, and the other keywords when the
// signature takes them (var_keywords).
struct Given {
  uint32_t mask = 0;
  Py_ssize_t positional = 0;        // values given by position
  PyObject* const* extra = nullptr;  // values of the other keywords ...
  PyObject* extra_names = nullptr;   // ... and their names (a tuple), both borrowed
  Py_ssize_t extra_count = 0;
  bool Has(size_t i) const { return (mask >> i) & 1u; }
};

// Binds a fastcall call against sig and converts each given value into its destination
// (one per parameter, in declaration order). False with the error state set when the call
// is refused.
bool ReadArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::initializer_list<Dest> dests, Given* given = nullptr);

// The value a refused call returns (new reference), after ReadArgs failed.
PyObject* Refused(const Signature& sig);

// One kind's rule, for values that are not arguments (the fields of a trade request).
bool Convert(ArgKind kind, uint16_t units, PyObject* value, const Dest& dest, const char** why);

// The -2 message for a keyword (or request key) that names nothing known, with the known
// name nearest to it when one is near: 'Unknown "stoploss" key, did you mean "sl"?'.
// what is "argument" or "key".
void SetUnknownError(PyObject* key, const char* what, const char* const* known, size_t count);

// The parameters of every module function's body (METH_FASTCALL | METH_KEYWORDS).
#define ORBISYN_ARGS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

// A module function: its declaration and its body.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
struct Function {
  const Signature* signature;
  FastFunction body;
};

}  // namespace orbisyn
