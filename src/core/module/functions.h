// The module functions, one definition each in its subsystem's folder.
#pragma once

#include "module/python.h"

namespace orbisyn::py {

// session
PyObject* initialize(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* shutdown(PyObject*, PyObject*);
PyObject* login(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* version(PyObject*, PyObject*);
PyObject* last_error(PyObject*, PyObject*);

// terminal, account, symbols, depth of market
PyObject* terminal_info(PyObject*, PyObject*);
PyObject* account_info(PyObject*, PyObject*);
PyObject* symbol_info(PyObject*, PyObject* args);
PyObject* symbol_info_tick(PyObject*, PyObject* args);
PyObject* symbol_select(PyObject*, PyObject* args);
PyObject* symbols_total(PyObject*, PyObject*);
PyObject* symbols_get(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* market_book_add(PyObject*, PyObject* args);
PyObject* market_book_release(PyObject*, PyObject* args);
PyObject* market_book_get(PyObject*, PyObject* args);

// bars and ticks
PyObject* copy_ticks_from(PyObject*, PyObject* args);
PyObject* copy_ticks_range(PyObject*, PyObject* args);
PyObject* copy_rates_from(PyObject*, PyObject* args);
PyObject* copy_rates_from_pos(PyObject*, PyObject* args);
PyObject* copy_rates_range(PyObject*, PyObject* args);

// positions, orders, history
PyObject* positions_total(PyObject*, PyObject*);
PyObject* positions_get(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* orders_total(PyObject*, PyObject*);
PyObject* orders_get(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* history_orders_total(PyObject*, PyObject* args);
PyObject* history_orders_get(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* history_deals_total(PyObject*, PyObject* args);
PyObject* history_deals_get(PyObject*, PyObject* args, PyObject* kwargs);

// trading
PyObject* order_check(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* order_send(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* order_calc_margin(PyObject*, PyObject* args);
PyObject* order_calc_profit(PyObject*, PyObject* args);

}  // namespace orbisyn::py
