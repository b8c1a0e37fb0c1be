// Trade requests read from a dict, and results shown with the request as sent.
#pragma once

#include "module/python.h"
#include "module/records.h"
#include "trading/wire.h"

namespace orbisyn {

// Zero-fills record, then fills it from a dict (or subclass) key by key in record order. On
// the first bad key records -2 with that key's message and returns false.
bool ParseTradeRequest(PyObject* request, TradeRequestRecord* record);

// The result records with the TradeRequest as sent as their last field; null on failure.
PyObject* BuildCheckResult(RecordBuilder& builder, const CheckResultRecord& result,
                           const TradeRequestRecord& request);
PyObject* BuildSendResult(RecordBuilder& builder, const SendResultRecord& result,
                          const TradeRequestRecord& request);

}  // namespace orbisyn
