// Module definition, method table and start-up.
#define ORBISYN_IMPORT_NUMPY
#include "module/python.h"

#include "market_data/dtypes.h"
#include "module/conversion.h"
#include "module/functions.h"
#include "module/records.h"

namespace orbisyn {

namespace {

#define ORBISYN_DOC(sig, text) sig "\n\n" text
// Keyword functions are stored as PyCFunction; the cast goes through a generic pointer.
#define WITH_KEYWORDS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef g_methods[] = {
    {"initialize", WITH_KEYWORDS(py::initialize), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])",
                 "Establish connection to Orbisyn terminal")},
    {"shutdown", py::shutdown, METH_NOARGS,
     ORBISYN_DOC("shutdown()", "Disconnect from Orbisyn terminal")},
    {"login", WITH_KEYWORDS(py::login), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])",
                 "Log in to specific account")},
    {"version", py::version, METH_NOARGS,
     ORBISYN_DOC("version()", "Get Orbisyn terminal version")},
    {"terminal_info", py::terminal_info, METH_NOARGS,
     ORBISYN_DOC("terminal_info()", "Get parameters of Orbisyn terminal")},
    {"account_info", py::account_info, METH_NOARGS,
     ORBISYN_DOC("account_info()", "Return information on the current account")},
    {"copy_ticks_from", py::copy_ticks_from, METH_VARARGS,
     ORBISYN_DOC("copy_ticks_from(symbol, date_from, count, flags)",
                 "Get ticks starting from specific date")},
    {"copy_ticks_range", py::copy_ticks_range, METH_VARARGS,
     ORBISYN_DOC("copy_ticks_range(symbol, date_from, date_to, flags)",
                 "Get ticks from specified period")},
    {"copy_rates_from", py::copy_rates_from, METH_VARARGS,
     ORBISYN_DOC("copy_rates_from(symbol, timeframe, date_from, count)",
                 "Get bars starting from specific date")},
    {"copy_rates_from_pos", py::copy_rates_from_pos, METH_VARARGS,
     ORBISYN_DOC("copy_rates_from_pos(symbol, timeframe, start_pos, count)",
                 "Get bars starting from specified position")},
    {"copy_rates_range", py::copy_rates_range, METH_VARARGS,
     ORBISYN_DOC("copy_rates_range(symbol, timeframe, date_from, date_to)",
                 "Get bars from specified period")},
    {"positions_total", py::positions_total, METH_NOARGS,
     ORBISYN_DOC("positions_total()", "Return the number of open positions")},
    {"positions_get", WITH_KEYWORDS(py::positions_get),
     METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
                 "Return all open positions, can be filtered by symbol, group or ticket")},
    {"orders_total", py::orders_total, METH_NOARGS,
     ORBISYN_DOC("orders_total()", "Return the number of orders")},
    {"orders_get", WITH_KEYWORDS(py::orders_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
                 "Return all orders, can be filtered by symbol, group or ticket")},
    {"history_orders_total", py::history_orders_total, METH_VARARGS,
     ORBISYN_DOC("history_orders_total(date_from, date_to)",
                 "Return the number of orders in selected range from history")},
    {"history_orders_get", WITH_KEYWORDS(py::history_orders_get),
     METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("history_orders_get([date_from, date_to, "
                 "[group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])",
                 "Return orders in selected range from history or filtered by position id, "
                 "ticket")},
    {"history_deals_total", py::history_deals_total, METH_VARARGS,
     ORBISYN_DOC("history_deals_total(date_from, date_to)",
                 "Return the number of deals in selected range from history")},
    {"history_deals_get", WITH_KEYWORDS(py::history_deals_get),
     METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("history_deals_get([date_from, date_to, "
                 "[group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])",
                 "Return deals in selected range from history or filtered by position id, "
                 "ticket")},
    {"order_check", WITH_KEYWORDS(py::order_check), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("order_check(request)",
                 "Check if there are enough funds to execute required trading operation")},
    {"order_send", WITH_KEYWORDS(py::order_send), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("order_send(request)", "Send trading requests to server")},
    {"order_calc_margin", py::order_calc_margin, METH_VARARGS,
     ORBISYN_DOC("order_calc_margin(action, symbol, volume, price,)",
                 "Calculate margin required for specified order")},
    {"order_calc_profit", py::order_calc_profit, METH_VARARGS,
     ORBISYN_DOC("order_calc_profit(action, symbol, volume, price_open, price_close)",
                 "Calculate profit for the current account in the current market conditions "
                 "based on parameters passed")},
    {"symbol_info", py::symbol_info, METH_VARARGS,
     ORBISYN_DOC("symbol_info(symbol)", "Return full information for specified symbol")},
    {"symbol_info_tick", py::symbol_info_tick, METH_VARARGS,
     ORBISYN_DOC("symbol_info_tick(symbol)", "Return current prices of specified symbol")},
    {"symbol_select", py::symbol_select, METH_VARARGS,
     ORBISYN_DOC("symbol_select(symbol,[enable])",
                 "Select symbol in Market Watch window or remove symbol from the window")},
    {"symbols_total", py::symbols_total, METH_NOARGS,
     ORBISYN_DOC("symbols_total()", "Return the number of all available symbols")},
    {"symbols_get", WITH_KEYWORDS(py::symbols_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("symbols_get([group=\"GROUP\"])",
                 "Return all available symbols or filtred by group")},
    {"market_book_add", py::market_book_add, METH_VARARGS,
     ORBISYN_DOC("market_book_add(symbol)", "Opens Depth of Market for a selected symbol")},
    {"market_book_release", py::market_book_release, METH_VARARGS,
     ORBISYN_DOC("market_book_release(symbol)", "Closes Depth of Market for a selected symbol")},
    {"market_book_get", py::market_book_get, METH_VARARGS,
     ORBISYN_DOC("market_book_get(symbol)",
                 "Returns Depth of Market structures of a specified symbol")},
    {"last_error", py::last_error, METH_NOARGS,
     ORBISYN_DOC("last_error()", "Return last error code and description")},
    {nullptr, nullptr, 0, nullptr},
};

#undef ORBISYN_DOC
#undef WITH_KEYWORDS

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_core", "API Connector to Orbisyn Terminal", -1, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace orbisyn

PyMODINIT_FUNC PyInit__core(void) {
  using namespace orbisyn;
  // Without datetime, time arguments could not be recognised: fail the import.
  if (!InitConversion()) return nullptr;
  if (_import_array() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    return nullptr;
  }
  BuildMarketDtypes();
  PyObject* module = PyModule_Create2(&g_module, 1013);
  if (!module) return nullptr;
  RegisterRecordTypes(module);
  return module;
}
