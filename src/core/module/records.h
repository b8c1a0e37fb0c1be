// Record types (struct sequences with _asdict) and the conversion of packed wire records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/python.h"

namespace orbisyn {

// Registration order of the record types.
enum RecordType : int {
  kTradePositionType,
  kTradeOrderType,
  kTradeDealType,
  kTradeRequestType,
  kOrderSendResultType,
  kOrderCheckResultType,
  kTickType,
  kTerminalInfoType,
  kSymbolInfoType,
  kAccountInfoType,
  kBookInfoType,
  kRecordTypeCount
};

// Field lists, defined beside the records they describe.
extern PyStructSequence_Desc kTradePositionDesc;
extern PyStructSequence_Desc kTradeOrderDesc;
extern PyStructSequence_Desc kTradeDealDesc;
extern PyStructSequence_Desc kTradeRequestDesc;
extern PyStructSequence_Desc kOrderSendResultDesc;
extern PyStructSequence_Desc kOrderCheckResultDesc;
extern PyStructSequence_Desc kTickDesc;
extern PyStructSequence_Desc kTerminalInfoDesc;
extern PyStructSequence_Desc kSymbolInfoDesc;
extern PyStructSequence_Desc kAccountInfoDesc;
extern PyStructSequence_Desc kBookInfoDesc;

// Initialises the types and adds them to the module. A type that fails is left out.
void RegisterRecordTypes(PyObject* module);

// The registered type, or null when its registration failed.
PyTypeObject* RecordTypeObject(RecordType type);

enum class FieldKind : uint8_t { kBool, kInt32, kUInt32, kInt64, kUInt64, kDouble, kText };

// One Python field: where its value lies in the packed record.
struct FieldSpec {
  uint32_t offset;
  FieldKind kind;
  uint32_t units;  // text fields: capacity in UTF-16 units
};

// Python value of one field of a packed little-endian record.
PyObject* ConvertField(const uint8_t* record, const FieldSpec& field);

// A new record of type whose field i is fields[i] of the packed record; null with an
// exception pending when it cannot be built.
PyObject* BuildRecord(RecordType type, const FieldSpec* fields, size_t count,
                      const void* record);

// Tuple of count records of size bytes each, converted by BuildRecord.
PyObject* BuildRecordTuple(RecordType type, const FieldSpec* fields, size_t field_count,
                           const void* records, uint32_t count, size_t size);

}  // namespace orbisyn
