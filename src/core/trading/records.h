// Trade requests read from a dict, and results shown with the request as sent.
#pragma once

#include "module/python.h"
#include "module/records.h"
#include "protocol/records.h"

namespace orbisyn {

// Zero-fills record, then fills it from a dict (or subclass, whose hooks are not called)
// in record order, each field by the argument rule of its kind (expiration by the time
// rule). A key that names no field refuses the whole request, as does a refused value:
// false with -2 and a message naming the key ("Invalid arguments" for no dict at all).
bool ParseTradeRequest(PyObject* request, TradeRequestRecord* record);

// The result records with the TradeRequest as sent as their last field; null on failure.
PyObject* BuildCheckResult(RecordBuilder& builder, const CheckResultRecord& result,
                           const TradeRequestRecord& request);
PyObject* BuildSendResult(RecordBuilder& builder, const SendResultRecord& result,
                          const TradeRequestRecord& request);

}  // namespace orbisyn
