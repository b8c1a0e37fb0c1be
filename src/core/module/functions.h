// The module functions, one definition each in its subsystem's folder.
#pragma once

#include "module/python.h"

// Functions of subsystems still being built are weak: the method table leaves out the
// ones that are absent from the library.
#define ORBISYN_PENDING __attribute__((weak))

namespace orbisyn::py {

// session
PyObject* initialize(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* shutdown(PyObject*, PyObject*);
PyObject* login(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* version(PyObject*, PyObject*);
PyObject* last_error(PyObject*, PyObject*);

// terminal, account, symbols, depth of market
ORBISYN_PENDING PyObject* terminal_info(PyObject*, PyObject*);
ORBISYN_PENDING PyObject* account_info(PyObject*, PyObject*);
ORBISYN_PENDING PyObject* symbol_info(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* symbol_info_tick(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* symbol_select(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* symbols_total(PyObject*, PyObject*);
ORBISYN_PENDING PyObject* symbols_get(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* market_book_add(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* market_book_release(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* market_book_get(PyObject*, PyObject* args);

// bars and ticks
ORBISYN_PENDING PyObject* copy_ticks_from(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* copy_ticks_range(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* copy_rates_from(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* copy_rates_from_pos(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* copy_rates_range(PyObject*, PyObject* args);

// positions, orders, history
ORBISYN_PENDING PyObject* positions_total(PyObject*, PyObject*);
ORBISYN_PENDING PyObject* positions_get(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* orders_total(PyObject*, PyObject*);
ORBISYN_PENDING PyObject* orders_get(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* history_orders_total(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* history_orders_get(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* history_deals_total(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* history_deals_get(PyObject*, PyObject* args, PyObject* kwargs);

// trading
ORBISYN_PENDING PyObject* order_check(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* order_send(PyObject*, PyObject* args, PyObject* kwargs);
ORBISYN_PENDING PyObject* order_calc_margin(PyObject*, PyObject* args);
ORBISYN_PENDING PyObject* order_calc_profit(PyObject*, PyObject* args);

}  // namespace orbisyn::py
