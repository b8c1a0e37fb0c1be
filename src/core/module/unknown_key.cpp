// The message for a keyword argument or trade request key that names nothing, with the known
// name the caller most likely meant: 'Unknown "stoploss" key, did you mean "sl"?'. The
// nearness is Python's difflib.get_close_matches(key.lower(), known, 1, 0.6), so that the
// hint is the one a Python programmer would expect; here so that the module needs no Python
// helper of the package at run time.
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "link/results.h"
#include "module/args.h"
#include "module/errors.h"

namespace orbisyn {

namespace {

// Names people reach for, and the field they mean.
constexpr const char* kAliases[][2] = {
    {"stoploss", "sl"},          {"stop_loss", "sl"},         {"stop", "sl"},
    {"takeprofit", "tp"},        {"take_profit", "tp"},       {"target", "tp"},
    {"lot", "volume"},           {"lots", "volume"},          {"size", "volume"},
    {"qty", "volume"},           {"quantity", "volume"},      {"order_type", "type"},
    {"side", "type"},            {"filling", "type_filling"}, {"fill", "type_filling"},
    {"filling_type", "type_filling"}, {"time_type", "type_time"}, {"expiry", "expiration"},
    {"expires", "expiration"},   {"magic_number", "magic"},   {"slippage", "deviation"},
    {"stop_limit", "stoplimit"}, {"position_id", "position"}, {"by", "position_by"},
};

constexpr size_t kShownUnits = 200;  // of the key in the message

// A text as code points, owned.
struct Points {
  Py_UCS4* p = nullptr;
  Py_ssize_t n = 0;
  Points() = default;
  Points(const Points&) = delete;
  Points& operator=(const Points&) = delete;
  ~Points() { PyMem_Free(p); }
  bool Load(PyObject* text) {
    n = PyUnicode_GetLength(text);
    p = n >= 0 ? PyUnicode_AsUCS4Copy(text) : nullptr;
    return p != nullptr;
  }
  bool Equals(const char* ascii) const {
    const size_t len = std::strlen(ascii);
    if (static_cast<size_t>(n) != len) return false;
    for (size_t i = 0; i < len; ++i)
      if (p[i] != static_cast<unsigned char>(ascii[i])) return false;
    return true;
  }
};

// difflib.SequenceMatcher(None, a, b).ratio(), b being the key, with its scratch rows.
// difflib's junk rule for keys of 200 or more never matters here: such a key is too long
// for any known name (under 86 units) to reach the cutoff.
class Matcher {
 public:
  bool Init(const Points& b) {
    b_ = &b;
    rows_ = new (std::nothrow) Py_ssize_t[2 * (b.n + 1)];
    return rows_ != nullptr;
  }
  ~Matcher() { delete[] rows_; }

  double Ratio(const Points& a) {
    const Py_ssize_t total = a.n + b_->n;
    if (total == 0) return 1.0;
    // real_quick_ratio: the most it can be.
    if (2.0 * static_cast<double>(a.n < b_->n ? a.n : b_->n) / static_cast<double>(total) < 0.6)
      return 0.0;
    return 2.0 * static_cast<double>(Matches(a, 0, a.n, 0, b_->n)) / static_cast<double>(total);
  }

 private:
  // The sum of get_matching_blocks(): the longest match, then both sides of it.
  Py_ssize_t Matches(const Points& a, Py_ssize_t alo, Py_ssize_t ahi, Py_ssize_t blo,
                     Py_ssize_t bhi) {
    if (alo >= ahi || blo >= bhi) return 0;
    Py_ssize_t i, j, k;
    Longest(a, alo, ahi, blo, bhi, &i, &j, &k);
    if (k == 0) return 0;
    return k + Matches(a, alo, i, blo, j) + Matches(a, i + k, ahi, j + k, bhi);
  }

  // find_longest_match: the first longest block.
  void Longest(const Points& a, Py_ssize_t alo, Py_ssize_t ahi, Py_ssize_t blo, Py_ssize_t bhi,
               Py_ssize_t* bi, Py_ssize_t* bj, Py_ssize_t* bk) const {
    const Points& b = *b_;
    Py_ssize_t* prev = rows_;
    Py_ssize_t* cur = rows_ + (b.n + 1);
    for (Py_ssize_t j = 0; j <= b.n; ++j) prev[j] = 0;
    Py_ssize_t besti = alo, bestj = blo, best = 0;
    for (Py_ssize_t i = alo; i < ahi; ++i) {
      for (Py_ssize_t j = blo; j < bhi; ++j) {
        cur[j + 1] = 0;
        if (a.p[i] != b.p[j]) continue;
        const Py_ssize_t k = (j > blo ? prev[j] : 0) + 1;
        cur[j + 1] = k;
        if (k > best) {
          besti = i - k + 1;
          bestj = j - k + 1;
          best = k;
        }
      }
      Py_ssize_t* t = prev;
      prev = cur;
      cur = t;
    }
    *bi = besti;
    *bj = bestj;
    *bk = best;
  }

  const Points* b_ = nullptr;
  Py_ssize_t* rows_ = nullptr;
};

bool Greater(const Points& x, const Points& y) {
  for (Py_ssize_t i = 0; i < x.n && i < y.n; ++i)
    if (x.p[i] != y.p[i]) return x.p[i] > y.p[i];
  return x.n > y.n;
}

// The known name the key most likely means, or null (and null on a failure, which only
// loses the hint).
const char* Hint(PyObject* key, const char* const* known, size_t count) {
  if (!PyUnicode_Check(key)) return nullptr;
  PyObject* lowered = PyObject_CallMethod(key, "lower", nullptr);
  Points folded;
  const bool loaded = lowered && PyUnicode_Check(lowered) && folded.Load(lowered);
  Py_XDECREF(lowered);
  if (!loaded) return nullptr;
  for (size_t i = 0; i < count; ++i)
    if (folded.Equals(known[i])) return known[i];
  for (const auto& alias : kAliases) {
    if (!folded.Equals(alias[0])) continue;
    for (size_t i = 0; i < count; ++i)
      if (std::strcmp(known[i], alias[1]) == 0) return known[i];
  }
  Matcher matcher;
  if (!matcher.Init(folded)) return nullptr;
  const char* best = nullptr;
  double best_score = 0;
  Points best_points;
  for (size_t i = 0; i < count; ++i) {
    PyObject* name = PyUnicode_FromString(known[i]);
    Points x;
    const bool ok = name && x.Load(name);
    Py_XDECREF(name);
    if (!ok) return nullptr;
    const double score = matcher.Ratio(x);
    // heapq.nlargest(1, (score, name)): the higher score, then the greater name.
    if (score < 0.6 || (best && (score < best_score ||
                                 (score == best_score && !Greater(x, best_points)))))
      continue;
    best = known[i];
    best_score = score;
    std::swap(best_points.p, x.p);
    std::swap(best_points.n, x.n);
  }
  return best;
}

}  // namespace

void SetUnknownError(PyObject* key, const char* what, const char* const* known, size_t count) {
  const char* hint = Hint(key, known, count);
  PyErr_Clear();
  PyObject* name = PyUnicode_Check(key) ? PyUnicode_FromFormat("\"%U\"", key) : PyObject_Repr(key);
  if (name && PyUnicode_GetLength(name) > static_cast<Py_ssize_t>(kShownUnits)) {
    PyObject* cut = PyUnicode_Substring(name, 0, kShownUnits);
    Py_SETREF(name, cut ? PyUnicode_FromFormat("%U...", cut) : nullptr);
    Py_XDECREF(cut);
  }
  PyObject* text = nullptr;
  if (name) {
    text = hint ? PyUnicode_FromFormat("Unknown %U %s, did you mean \"%s\"?", name, what, hint)
                : PyUnicode_FromFormat("Unknown %U %s", name, what);
  }
  // Lone surrogates in a key must not lose the whole message.
  PyObject* utf8 = text ? PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace") : nullptr;
  PyErr_Clear();
  if (utf8) {
    SetError(kResultInvalidParams, PyBytes_AS_STRING(utf8));
  } else {
    char message[64];
    std::snprintf(message, sizeof message, "Unknown %s", what);
    SetError(kResultInvalidParams, message);
  }
  Py_XDECREF(utf8);
  Py_XDECREF(text);
  Py_XDECREF(name);
}

}  // namespace orbisyn
