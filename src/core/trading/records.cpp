// Record types of trade requests and their results; the request's table also drives
// reading a request from a dict.
#include "trading/records.h"

#include <cstdio>
#include <cstring>

#include "link/results.h"
#include "module/args.h"
#include "module/errors.h"

namespace orbisyn {

namespace {

// Also the order in which a request's dict is parsed.
constexpr Field kTradeRequestRows[] = {
    ORBISYN_ROWS_TradeRequestRecord(ORBISYN_ROW)
};
static_assert(Tiles(kTradeRequestRows, sizeof(TradeRequestRecord)), "every byte is a field");
constexpr uint32_t kTradeRequestFields = sizeof kTradeRequestRows / sizeof kTradeRequestRows[0];
constexpr uint32_t kTextFieldUnits = 256;

constexpr Field kOrderCheckResultRows[] = {
    ORBISYN_ROWS_CheckResultRecord(ORBISYN_ROW)
    ORBISYN_NESTED("request"),
};
static_assert(Tiles(kOrderCheckResultRows, sizeof(CheckResultRecord)), "every byte is a field");

constexpr Field kOrderSendResultRows[] = {
    ORBISYN_ROWS_SendResultRecord(ORBISYN_ROW)
    ORBISYN_NESTED("request"),
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

// The argument rule of each field kind; expiration, the one int64, is a time.
ArgKind RuleOf(FieldKind kind) {
  switch (kind) {
    case FieldKind::kUInt32: return ArgKind::kUInt32;
    case FieldKind::kUInt64: return ArgKind::kUInt64;
    case FieldKind::kInt64: return ArgKind::kTime;
    case FieldKind::kDouble: return ArgKind::kFloat;
    default: return ArgKind::kText;
  }
}

bool WriteField(const Field& f, PyObject* value, uint8_t* at, const char** why) {
  const ArgKind rule = RuleOf(f.kind);
  switch (rule) {
    case ArgKind::kUInt32: {
      uint32_t v = 0;
      return Convert(rule, 0, value, Dest(&v), why) && std::memcpy(at, &v, sizeof v);
    }
    case ArgKind::kUInt64: {
      uint64_t v = 0;
      return Convert(rule, 0, value, Dest(&v), why) && std::memcpy(at, &v, sizeof v);
    }
    case ArgKind::kTime: {
      int64_t v = 0;
      return Convert(rule, 0, value, Dest(&v), why) && std::memcpy(at, &v, sizeof v);
    }
    case ArgKind::kFloat: {
      double v = 0;
      return Convert(rule, 0, value, Dest(&v), why) && std::memcpy(at, &v, sizeof v);
    }
    default: {
      // A field of N units takes what an argument buffer of N units takes; the units after
      // the terminator go out as zeros.
      char16_t text[kTextFieldUnits] = {};
      if (f.units > kTextFieldUnits || f.units < 4) return false;
      return Convert(ArgKind::kText, static_cast<uint16_t>(f.units - 3), value, Dest(text), why) &&
             std::memcpy(at, text, f.units * sizeof(char16_t));
    }
  }
}

}  // namespace

bool ParseTradeRequest(PyObject* request, TradeRequestRecord* record) {
  std::memset(record, 0, sizeof *record);
  if (!PyDict_Check(request)) {
    SetError(kResultInvalidParams, "Invalid arguments");
    return false;
  }
  const RecordDesc& desc = kTradeRequestDesc;
  PyObject* values[kTradeRequestFields] = {};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(request, &pos, &key, &value)) {
    uint32_t i = 0;
    while (i < desc.field_count &&
           !(PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, desc.fields[i].name) == 0))
      ++i;
    if (i == desc.field_count) {
      // A misspelt key dropped would send a different request (a missing sl is no stop).
      const char* names[kTradeRequestFields];
      for (uint32_t k = 0; k < desc.field_count; ++k) names[k] = desc.fields[k].name;
      SetUnknownError(key, "key", names, desc.field_count);
      return false;
    }
    values[i] = value;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(record);
  for (uint32_t i = 0; i < desc.field_count; ++i) {
    if (!values[i]) continue;
    const Field& f = desc.fields[i];
    const char* why = nullptr;
    if (!WriteField(f, values[i], bytes + f.offset, &why)) {
      char message[160];
      std::snprintf(message, sizeof message, "Invalid \"%s\" argument%s%s", f.name,
                    why ? ": " : "", why ? why : "");
      SetError(kResultInvalidParams, message);
      return false;
    }
  }
  return true;
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
