// Record types of trade requests and their results; the request's table also drives
// reading a request from a dict.
#include "trading/records.h"

#include <cstdio>
#include <cstring>

#include "link/results.h"
#include "module/errors.h"

namespace orbisyn {

namespace {

// Record order: the order of the TradeRequest fields and of the parse.
constexpr Field kTradeRequestRows[] = {
    ORBISYN_FIELD(TradeRequestRecord, action),
    ORBISYN_FIELD(TradeRequestRecord, magic),
    ORBISYN_FIELD(TradeRequestRecord, order),
    ORBISYN_FIELD(TradeRequestRecord, symbol),
    ORBISYN_FIELD(TradeRequestRecord, volume),
    ORBISYN_FIELD(TradeRequestRecord, price),
    ORBISYN_FIELD(TradeRequestRecord, stoplimit),
    ORBISYN_FIELD(TradeRequestRecord, sl),
    ORBISYN_FIELD(TradeRequestRecord, tp),
    ORBISYN_FIELD(TradeRequestRecord, deviation),
    ORBISYN_FIELD(TradeRequestRecord, type),
    ORBISYN_FIELD(TradeRequestRecord, type_filling),
    ORBISYN_FIELD(TradeRequestRecord, type_time),
    ORBISYN_FIELD(TradeRequestRecord, expiration),
    ORBISYN_FIELD(TradeRequestRecord, comment),
    ORBISYN_FIELD(TradeRequestRecord, position),
    ORBISYN_FIELD(TradeRequestRecord, position_by),
};
static_assert(Tiles(kTradeRequestRows, sizeof(TradeRequestRecord)), "every byte is a field");

constexpr Field kOrderCheckResultRows[] = {
    ORBISYN_FIELD(CheckResultRecord, retcode),
    ORBISYN_FIELD(CheckResultRecord, balance),
    ORBISYN_FIELD(CheckResultRecord, equity),
    ORBISYN_FIELD(CheckResultRecord, profit),
    ORBISYN_FIELD(CheckResultRecord, margin),
    ORBISYN_FIELD(CheckResultRecord, margin_free),
    ORBISYN_FIELD(CheckResultRecord, margin_level),
    ORBISYN_FIELD(CheckResultRecord, comment),    ORBISYN_NESTED("request"),
};
static_assert(Tiles(kOrderCheckResultRows, sizeof(CheckResultRecord)), "every byte is a field");

constexpr Field kOrderSendResultRows[] = {
    ORBISYN_FIELD(SendResultRecord, retcode),
    ORBISYN_FIELD(SendResultRecord, deal),
    ORBISYN_FIELD(SendResultRecord, order),
    ORBISYN_FIELD(SendResultRecord, volume),
    ORBISYN_FIELD(SendResultRecord, price),
    ORBISYN_FIELD(SendResultRecord, bid),
    ORBISYN_FIELD(SendResultRecord, ask),
    ORBISYN_FIELD(SendResultRecord, comment),
    ORBISYN_FIELD(SendResultRecord, request_id),
    ORBISYN_FIELD(SendResultRecord, retcode_external),    ORBISYN_NESTED("request"),
};
static_assert(Tiles(kOrderSendResultRows, sizeof(SendResultRecord)), "every byte is a field");

}  // namespace

const RecordDesc kTradeRequestDesc =
    MakeDesc<TradeRequestRecord, kTradeRequestRows>("TradeRequest", "Trade request structure");
const RecordDesc kOrderCheckResultDesc = MakeDesc<CheckResultRecord, kOrderCheckResultRows>(
    "OrderCheckResult", "order_check result structure");
const RecordDesc kOrderSendResultDesc = MakeDesc<SendResultRecord, kOrderSendResultRows>(
    "OrderSendResult", "order_send result structure");

namespace {

bool IsField(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  for (uint32_t i = 0; i < kTradeRequestDesc.field_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, kTradeRequestDesc.fields[i].name) == 0) return true;
  }
  return false;
}

// Warns once about the keys of request that name no field; false when the warning became
// an exception (warnings as errors), which is left pending.
bool WarnUnknownKeys(PyObject* request) {
  PyObject* unknown = PyList_New(0);
  if (!unknown) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(request, &pos, &key, &value)) {
    if (!IsField(key) && PyList_Append(unknown, key) < 0) {
      Py_DECREF(unknown);
      return false;
    }
  }
  bool ok = true;
  if (PyList_GET_SIZE(unknown) > 0) {
    PyObject* known = PyTuple_New(kTradeRequestDesc.field_count);
    for (uint32_t i = 0; known && i < kTradeRequestDesc.field_count; ++i) {
      PyObject* name = PyUnicode_FromString(kTradeRequestDesc.fields[i].name);
      if (!name) Py_CLEAR(known);
      else PyTuple_SET_ITEM(known, i, name);
    }
    PyObject* helper = known ? PyImport_ImportModule("orbisyn._requests") : nullptr;
    PyObject* done = helper ? PyObject_CallMethod(helper, "warn_unknown_keys", "OO", unknown, known)
                            : nullptr;
    ok = done != nullptr;
    Py_XDECREF(done);
    Py_XDECREF(helper);
    Py_XDECREF(known);
  }
  Py_DECREF(unknown);
  return ok;
}

}  // namespace

Parsed ParseTradeRequest(PyObject* request, TradeRequestRecord* record) {
  std::memset(record, 0, sizeof *record);
  if (!PyDict_Check(request)) {
    SetError(kResultInvalidParams, "Invalid arguments");
    return Parsed::kRefused;
  }
  if (!WarnUnknownKeys(request)) return Parsed::kRaised;
  const Field* bad = nullptr;
  if (WriteRecord(kTradeRequestDesc, request, record, &bad)) return Parsed::kOk;
  char message[64];
  std::snprintf(message, sizeof message, "Invalid \"%s\" argument", bad->name);
  SetError(kResultInvalidParams, message);
  return Parsed::kRefused;
}

PyObject* BuildCheckResult(RecordBuilder& builder, const CheckResultRecord& result,
                           const TradeRequestRecord& request) {
  PyObject* shown = builder.One(kTradeRequestType, &request);
  return shown ? builder.One(kOrderCheckResultType, &result, shown) : nullptr;
}

PyObject* BuildSendResult(RecordBuilder& builder, const SendResultRecord& result,
                          const TradeRequestRecord& request) {
  PyObject* shown = builder.One(kTradeRequestType, &request);
  return shown ? builder.One(kOrderSendResultType, &result, shown) : nullptr;
}

}  // namespace orbisyn
