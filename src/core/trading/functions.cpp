// order_check, order_send, order_calc_margin and order_calc_profit.
#include "module/args.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/session_call.h"
#include "protocol/exchanges.h"
#include "trading/records.h"

namespace orbisyn {

namespace {

constexpr char kAutoTradingDisabled[] = "Auto-Trading using Python API disabled in Terminal";

constexpr Param kRequestParam[] = {Arg("request", ArgKind::kObject).PositionalOnly().Optional()};
constexpr Signature kOrderCheck =
    Declare("order_check", kRequestParam, "order_check(request)",
            "Check if there are enough funds to execute required trading operation")
        .Numbered()
        .VarKeywords("fields");
constexpr Signature kOrderSend =
    Declare("order_send", kRequestParam, "order_send(request)", "Send trading requests to server")
        .Numbered()
        .VarKeywords("fields");

constexpr Param kMarginParams[] = {
    Arg("action", ArgKind::kUInt32), Arg("symbol", ArgKind::kText, kSymbolUnits),
    Arg("volume", ArgKind::kFloat), Arg("price", ArgKind::kFloat)};
constexpr Param kProfitParams[] = {
    Arg("action", ArgKind::kUInt32), Arg("symbol", ArgKind::kText, kSymbolUnits),
    Arg("volume", ArgKind::kFloat), Arg("price_open", ArgKind::kFloat),
    Arg("price_close", ArgKind::kFloat)};
constexpr Signature kOrderCalcMargin =
    Declare("order_calc_margin", kMarginParams, "order_calc_margin(action, symbol, volume, price,)",
            "Calculate margin required for specified order");
constexpr Signature kOrderCalcProfit =
    Declare("order_calc_profit", kProfitParams,
            "order_calc_profit(action, symbol, volume, price_open, price_close)",
            "Calculate profit for the current account in the current market conditions based "
            "on parameters passed");

// The request of order_check/order_send: the one positional, or the keywords themselves.
// True with *request set (a new reference), or false with the refusal recorded.
bool ChooseRequest(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** request) {
  PyObject* given = nullptr;
  Given g;
  if (!ReadArgs(sig, args, nargs, kwnames, {&given}, &g)) return false;
  if (g.extra_count > 0) {
    if (given) {
      SetError(kResultInvalidParams, "Unnamed arguments not allowed");
      return false;
    }
    PyObject* fields = PyDict_New();
    for (Py_ssize_t i = 0; fields && i < g.extra_count; ++i) {
      if (PyDict_SetItem(fields, PyTuple_GET_ITEM(g.extra_names, i), g.extra[i]) < 0)
        Py_CLEAR(fields);
    }
    if (!fields) {
      SetError(kResultNoMemory, "No memory");
      return false;
    }
    *request = fields;
    return true;
  }
  if (!given) {
    SetError(kResultInvalidParams, "Invalid number of arguments");
    return false;
  }
  Py_INCREF(given);
  *request = given;
  return true;
}

// Reads the request of a call into *sent; false with the refusal recorded.
bool ReadRequest(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 TradeRequestRecord* sent) {
  PyObject* request = nullptr;
  if (!ChooseRequest(sig, args, nargs, kwnames, &request)) return false;
  const bool ok = ParseTradeRequest(request, sent);
  Py_DECREF(request);
  return ok;
}

PyObject* Built(PyObject* record) { return record ? record : SetErrorNone(kResultFail); }

PyObject* order_check(ORBISYN_ARGS) {
  ResetError();
  TradeRequestRecord sent;
  if (!ReadRequest(kOrderCheck, args, nargs, kwnames, &sent)) return Refused(kOrderCheck);
  CheckResultRecord result{};
  int32_t r = OnSession([&](Session& s) { return exchange::OrderCheck(s.pipe(), sent, &result); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(BuildCheckResult(builder, result, sent));
}

PyObject* order_send(ORBISYN_ARGS) {
  ResetError();
  TradeRequestRecord sent;
  if (!ReadRequest(kOrderSend, args, nargs, kwnames, &sent)) return Refused(kOrderSend);
  SendResultRecord result{};
  int32_t r = OnSession([&](Session& s) { return exchange::OrderSend(s.pipe(), sent, &result); });
  if (r == kResultAutoTradingDisabled) return SetErrorNone(r, kAutoTradingDisabled);
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(BuildSendResult(builder, result, sent));
}

PyObject* order_calc_margin(ORBISYN_ARGS) {
  ResetError();
  uint32_t action = 0;
  double volume = 0.0, price = 0.0;
  SymbolText symbol = {};
  if (!ReadArgs(kOrderCalcMargin, args, nargs, kwnames, {&action, symbol, &volume, &price}))
    return Refused(kOrderCalcMargin);
  double margin = 0.0;
  int32_t r = OnSession([&](Session& s) {
    return exchange::OrderCalcMargin(s.pipe(), action, symbol, volume, price, &margin);
  });
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(margin));
}

PyObject* order_calc_profit(ORBISYN_ARGS) {
  ResetError();
  uint32_t action = 0;
  double volume = 0.0, price_open = 0.0, price_close = 0.0;
  SymbolText symbol = {};
  if (!ReadArgs(kOrderCalcProfit, args, nargs, kwnames,
                {&action, symbol, &volume, &price_open, &price_close}))
    return Refused(kOrderCalcProfit);
  double profit = 0.0;
  int32_t r = OnSession([&](Session& s) {
    return exchange::OrderCalcProfit(s.pipe(), action, symbol, volume, price_open, price_close,
                                     &profit);
  });
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(profit));
}

}  // namespace

const Function kTradingFunctions[] = {
    {&kOrderCheck, order_check},
    {&kOrderSend, order_send},
    {&kOrderCalcMargin, order_calc_margin},
    {&kOrderCalcProfit, order_calc_profit},
    {nullptr, nullptr},
};

}  // namespace orbisyn
