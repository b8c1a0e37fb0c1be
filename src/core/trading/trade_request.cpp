// The trade request record: parsed from a dict, shown back as TradeRequest.
#include <cstring>

#include "link/commands.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/records.h"
#include "trading/trade_request.h"

namespace orbisyn {

namespace {

#define AT(record, field) static_cast<uint32_t>(offsetof(record, field))

// Record order: the order of the TradeRequest fields and of the parse.
const FieldSpec kRequestSpecs[] = {
    {AT(TradeRequestRecord, action), FieldKind::kUInt32, 0},
    {AT(TradeRequestRecord, magic), FieldKind::kUInt64, 0},
    {AT(TradeRequestRecord, order), FieldKind::kUInt64, 0},
    {AT(TradeRequestRecord, symbol), FieldKind::kText, kRequestTextUnits},
    {AT(TradeRequestRecord, volume), FieldKind::kDouble, 0},
    {AT(TradeRequestRecord, price), FieldKind::kDouble, 0},
    {AT(TradeRequestRecord, stoplimit), FieldKind::kDouble, 0},
    {AT(TradeRequestRecord, sl), FieldKind::kDouble, 0},
    {AT(TradeRequestRecord, tp), FieldKind::kDouble, 0},
    {AT(TradeRequestRecord, deviation), FieldKind::kUInt64, 0},
    {AT(TradeRequestRecord, type), FieldKind::kUInt32, 0},
    {AT(TradeRequestRecord, type_filling), FieldKind::kUInt32, 0},
    {AT(TradeRequestRecord, type_time), FieldKind::kUInt32, 0},
    {AT(TradeRequestRecord, expiration), FieldKind::kInt64, 0},
    {AT(TradeRequestRecord, comment), FieldKind::kText, kRequestTextUnits},
    {AT(TradeRequestRecord, position), FieldKind::kUInt64, 0},
    {AT(TradeRequestRecord, position_by), FieldKind::kUInt64, 0},
};
constexpr size_t kRequestFieldCount = sizeof kRequestSpecs / sizeof kRequestSpecs[0];

struct RequestKey {
  const char* name;
  const char* message;
};

const RequestKey kRequestKeys[] = {
    {"action", "Invalid \"action\" argument"},
    {"magic", "Invalid \"magic\" argument"},
    {"order", "Invalid \"order\" argument"},
    {"symbol", "Invalid \"symbol\" argument"},
    {"volume", "Invalid \"volume\" argument"},
    {"price", "Invalid \"price\" argument"},
    {"stoplimit", "Invalid \"stoplimit\" argument"},
    {"sl", "Invalid \"sl\" argument"},
    {"tp", "Invalid \"tp\" argument"},
    {"deviation", "Invalid \"deviation\" argument"},
    {"type", "Invalid \"type\" argument"},
    {"type_filling", "Invalid \"type_filling\" argument"},
    {"type_time", "Invalid \"type_time\" argument"},
    {"expiration", "Invalid \"expiration\" argument"},
    {"comment", "Invalid \"comment\" argument"},
    {"position", "Invalid \"position\" argument"},
    {"position_by", "Invalid \"position_by\" argument"},
};
static_assert(sizeof kRequestKeys / sizeof kRequestKeys[0] == kRequestFieldCount,
              "one key per request field");

const FieldSpec kCheckSpecs[] = {
    {AT(CheckResultRecord, retcode), FieldKind::kUInt32, 0},
    {AT(CheckResultRecord, balance), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, equity), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, profit), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, margin), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, margin_free), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, margin_level), FieldKind::kDouble, 0},
    {AT(CheckResultRecord, comment), FieldKind::kText, kResultCommentUnits},
};

const FieldSpec kSendSpecs[] = {
    {AT(SendResultRecord, retcode), FieldKind::kUInt32, 0},
    {AT(SendResultRecord, deal), FieldKind::kUInt64, 0},
    {AT(SendResultRecord, order), FieldKind::kUInt64, 0},
    {AT(SendResultRecord, volume), FieldKind::kDouble, 0},
    {AT(SendResultRecord, price), FieldKind::kDouble, 0},
    {AT(SendResultRecord, bid), FieldKind::kDouble, 0},
    {AT(SendResultRecord, ask), FieldKind::kDouble, 0},
    {AT(SendResultRecord, comment), FieldKind::kText, kResultCommentUnits},
    {AT(SendResultRecord, request_id), FieldKind::kUInt32, 0},
    {AT(SendResultRecord, retcode_external), FieldKind::kInt32, 0},
};

#undef AT

// Converts value by the field's kind into the record at the field's offset.
bool StoreField(PyObject* value, const FieldSpec& spec, uint8_t* record) {
  uint8_t* at = record + spec.offset;
  switch (spec.kind) {
    case FieldKind::kUInt32: {
      uint32_t v = 0;
      if (!ToUInt32(value, &v)) return false;
      std::memcpy(at, &v, sizeof v);
      return true;
    }
    case FieldKind::kUInt64: {
      uint64_t v = 0;
      if (!ToUInt64(value, &v)) return false;
      std::memcpy(at, &v, sizeof v);
      return true;
    }
    case FieldKind::kInt64: {
      int64_t v = 0;
      if (!ToInt64(value, &v)) return false;
      std::memcpy(at, &v, sizeof v);
      return true;
    }
    case FieldKind::kDouble: {
      double v = 0;
      if (!ToFloat(value, &v)) return false;
      std::memcpy(at, &v, sizeof v);
      return true;
    }
    case FieldKind::kText: {
      // Zeroed first, so the units after the terminator go out as zeros.
      char16_t text[kRequestTextUnits] = {};
      static_assert(kSymbolCopy + 1 == kRequestTextUnits, "request text buffer");
      if (!ToText(value, text, kSymbolCopy)) return false;
      std::memcpy(at, text, sizeof text);
      return true;
    }
    default:
      return false;
  }
}

// A result record whose last field is the TradeRequest built from the request as sent.
PyObject* BuildResult(RecordType type, const FieldSpec* specs, size_t count, const void* result,
                      const TradeRequestRecord& request) {
  PyObject* shown = BuildTradeRequest(request);
  if (!shown) return nullptr;
  PyObject* record = BuildRecord(type, specs, count, result);
  if (!record) {
    Py_DECREF(shown);
    return nullptr;
  }
  PyStructSequence_SetItem(record, static_cast<Py_ssize_t>(count), shown);
  return record;
}

}  // namespace

bool ParseTradeRequest(PyObject* request, TradeRequestRecord* record) {
  std::memset(record, 0, sizeof *record);
  if (!PyDict_Check(request)) {
    SetError(kResultInvalidParams, "Invalid arguments");
    return false;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(record);
  for (size_t i = 0; i < kRequestFieldCount; ++i) {
    PyObject* value = PyDict_GetItemString(request, kRequestKeys[i].name);
    if (!value) continue;
    if (!StoreField(value, kRequestSpecs[i], bytes)) {
      SetError(kResultInvalidParams, kRequestKeys[i].message);
      return false;
    }
  }
  return true;
}

PyObject* BuildTradeRequest(const TradeRequestRecord& record) {
  return BuildRecord(kTradeRequestType, kRequestSpecs, kRequestFieldCount, &record);
}

PyObject* BuildCheckResult(const CheckResultRecord& result, const TradeRequestRecord& request) {
  return BuildResult(kOrderCheckResultType, kCheckSpecs, sizeof kCheckSpecs / sizeof kCheckSpecs[0],
                     &result, request);
}

PyObject* BuildSendResult(const SendResultRecord& result, const TradeRequestRecord& request) {
  return BuildResult(kOrderSendResultType, kSendSpecs, sizeof kSendSpecs / sizeof kSendSpecs[0],
                     &result, request);
}

}  // namespace orbisyn
