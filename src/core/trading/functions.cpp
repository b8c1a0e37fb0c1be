// order_check, order_send, order_calc_margin and order_calc_profit.
#include "module/conversion.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/session_call.h"
#include "trading/client.h"
#include "trading/records.h"

namespace orbisyn {

namespace {

constexpr char kAutoTradingDisabled[] = "Auto-Trading using Python API disabled in Terminal";

// The request of order_check/order_send: the keywords themselves, or the one positional.
PyObject* ChooseRequest(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  // An empty keyword dict (f(req, **{})) counts as no keywords at all.
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    if (positional != 0) {
      SetError(kResultInvalidParams, "Unnamed arguments not allowed");
      return nullptr;
    }
    return kwargs;
  }
  if (positional != 1) {
    SetError(kResultInvalidParams, "Invalid number of arguments");
    return nullptr;
  }
  return PyTuple_GET_ITEM(args, 0);
}

PyObject* Built(PyObject* record) { return record ? record : SetErrorNone(kResultFail); }

PyObject* order_check(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  PyObject* request = ChooseRequest(args, kwargs);
  if (!request) Py_RETURN_NONE;
  TradeRequestRecord sent;
  const Parsed parsed = ParseTradeRequest(request, &sent);
  if (parsed == Parsed::kRaised) return nullptr;
  if (parsed == Parsed::kRefused) Py_RETURN_NONE;
  CheckResultRecord result{};
  int32_t r = OnSession([&](CInterClient& s) { return OrderCheck(s, sent, &result); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(BuildCheckResult(builder, result, sent));
}

PyObject* order_send(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  PyObject* request = ChooseRequest(args, kwargs);
  if (!request) Py_RETURN_NONE;
  TradeRequestRecord sent;
  const Parsed parsed = ParseTradeRequest(request, &sent);
  if (parsed == Parsed::kRaised) return nullptr;
  if (parsed == Parsed::kRefused) Py_RETURN_NONE;
  SendResultRecord result{};
  int32_t r = OnSession([&](CInterClient& s) { return OrderSend(s, sent, &result); });
  if (r == kResultAutoTradingDisabled) return SetErrorNone(r, kAutoTradingDisabled);
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(BuildSendResult(builder, result, sent));
}

PyObject* order_calc_margin(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;  // "k" takes any int and keeps its low bits
  PyObject* symbol_obj = nullptr;
  double volume = 0.0, price = 0.0;
  SymbolText symbol = {};
  if (!PyArg_ParseTuple(args, "kOdd", &action, &symbol_obj, &volume, &price) ||
      !ToText(symbol_obj, symbol))
    return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  double margin = 0.0;
  int32_t r = OnSession([&](CInterClient& s) {
    return OrderCalcMargin(s, static_cast<uint32_t>(action), symbol, volume, price, &margin);
  });
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(margin));
}

PyObject* order_calc_profit(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;
  PyObject* symbol_obj = nullptr;
  double volume = 0.0, price_open = 0.0, price_close = 0.0;
  SymbolText symbol = {};
  if (!PyArg_ParseTuple(args, "kOddd", &action, &symbol_obj, &volume, &price_open,
                        &price_close) ||
      !ToText(symbol_obj, symbol))
    return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  double profit = 0.0;
  int32_t r = OnSession([&](CInterClient& s) {
    return OrderCalcProfit(s, static_cast<uint32_t>(action), symbol, volume, price_open,
                           price_close, &profit);
  });
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(profit));
}

}  // namespace

const PyMethodDef kTradingMethods[] = {
    {"order_check", ORBISYN_KEYWORDS(order_check), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("order_check($module, request=None, /, **fields)", "order_check(request)",
                 "Check if there are enough funds to execute required trading operation")},
    {"order_send", ORBISYN_KEYWORDS(order_send), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("order_send($module, request=None, /, **fields)", "order_send(request)", "Send trading requests to server")},
    {"order_calc_margin", order_calc_margin, METH_VARARGS,
     ORBISYN_DOC("order_calc_margin($module, action, symbol, volume, price, /)", "order_calc_margin(action, symbol, volume, price,)",
                 "Calculate margin required for specified order")},
    {"order_calc_profit", order_calc_profit, METH_VARARGS,
     ORBISYN_DOC("order_calc_profit($module, action, symbol, volume, price_open, price_close, /)", "order_calc_profit(action, symbol, volume, price_open, price_close)",
                 "Calculate profit for the current account in the current market conditions "
                 "based on parameters passed")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
