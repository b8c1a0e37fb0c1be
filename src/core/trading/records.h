// Trade requests read from a dict, and results shown with the request as sent.
#pragma once

#include "module/python.h"
#include "module/records.h"
#include "trading/wire.h"

namespace orbisyn {

enum class Parsed {
  kOk,
  kRefused,  // -2 recorded with the message of the first bad key (or "Invalid arguments")
  kRaised,   // the warning about unknown keys was turned into an exception: let it propagate
};

// Zero-fills record, then fills it from a dict (or subclass) key by key in record order.
// Keys that name no field are left out, with one UnknownKeyWarning naming them all.
Parsed ParseTradeRequest(PyObject* request, TradeRequestRecord* record);

// The result records with the TradeRequest as sent as their last field; null on failure.
PyObject* BuildCheckResult(RecordBuilder& builder, const CheckResultRecord& result,
                           const TradeRequestRecord& request);
PyObject* BuildSendResult(RecordBuilder& builder, const SendResultRecord& result,
                          const TradeRequestRecord& request);

}  // namespace orbisyn
