// Conversions between Python objects and the trade records.
#pragma once

#include "module/python.h"
#include "trading/trade_records.h"

namespace orbisyn {

// Zero-fills record, then fills it from a dict (or subclass) key by key in record order. On
// the first bad key records -2 with that key's message and returns false.
bool ParseTradeRequest(PyObject* request, TradeRequestRecord* record);

// New TradeRequest record showing the record as sent; null (exception pending) on failure.
PyObject* BuildTradeRequest(const TradeRequestRecord& record);

// The result records with the TradeRequest as their last field; null on failure.
PyObject* BuildCheckResult(const CheckResultRecord& result, const TradeRequestRecord& request);
PyObject* BuildSendResult(const SendResultRecord& result, const TradeRequestRecord& request);

}  // namespace orbisyn
