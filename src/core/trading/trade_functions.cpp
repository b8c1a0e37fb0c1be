// order_check, order_send, order_calc_margin and order_calc_profit.
#include "link/commands.h"
#include "link/inter_client.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/functions.h"
#include "trading/trade_request.h"

namespace orbisyn::py {

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

PyObject* Built(PyObject* record) {
  return record ? record : SetErrorNone(kResultFail);
}

}  // namespace

PyObject* order_check(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  PyObject* request = ChooseRequest(args, kwargs);
  TradeRequestRecord sent;
  if (!request || !ParseTradeRequest(request, &sent)) Py_RETURN_NONE;
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);

  CheckResultRecord result{};
  int32_t r = g_client.OrderCheck(&sent, &result);
  if (r < 0) return SetErrorNone(r);
  return Built(BuildCheckResult(result, sent));
}

PyObject* order_send(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  PyObject* request = ChooseRequest(args, kwargs);
  TradeRequestRecord sent;
  if (!request || !ParseTradeRequest(request, &sent)) Py_RETURN_NONE;
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);

  SendResultRecord result{};
  int32_t r = g_client.OrderSend(&sent, &result);
  if (r == kResultAutoTradingDisabled) return SetErrorNone(r, kAutoTradingDisabled);
  if (r < 0) return SetErrorNone(r);
  return Built(BuildSendResult(result, sent));
}

PyObject* order_calc_margin(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;  // "k" takes any int and keeps its low bits
  PyObject* symbol_obj = nullptr;
  double volume = 0.0, price = 0.0;
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!PyArg_ParseTuple(args, "kOdd", &action, &symbol_obj, &volume, &price) ||
      !ToText(symbol_obj, symbol, kSymbolCopy))
    return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);

  double margin = 0.0;
  int32_t r = g_client.OrderCalcMargin(static_cast<uint32_t>(action), symbol, volume, price,
                                       &margin);
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(margin));
}

PyObject* order_calc_profit(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;
  PyObject* symbol_obj = nullptr;
  double volume = 0.0, price_open = 0.0, price_close = 0.0;
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!PyArg_ParseTuple(args, "kOddd", &action, &symbol_obj, &volume, &price_open,
                        &price_close) ||
      !ToText(symbol_obj, symbol, kSymbolCopy))
    return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);

  double profit = 0.0;
  int32_t r = g_client.OrderCalcProfit(static_cast<uint32_t>(action), symbol, volume,
                                       price_open, price_close, &profit);
  if (r < 0) return SetErrorNone(r);
  return Built(PyFloat_FromDouble(profit));
}

}  // namespace orbisyn::py
