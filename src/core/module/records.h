// Records: each wire record is described once, by a table of rows in its family's
// records.cpp; the struct-sequence type, the conversion to Python and (for the trade
// request) the parsing are all derived from that table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "module/python.h"
#include "module/record_types.h"
#include "platform/text.h"

namespace orbisyn {

class RecordBuilder;

enum class FieldKind : uint8_t { kBool, kInt32, kUInt32, kInt64, kUInt64, kDouble, kText, kRecord };

// One Python field: its name and where and how its value lies in the packed record.
// kRecord is a nested record that is not on the wire (the request of a trade result).
struct Field {
  const char* name;
  const char* doc;
  FieldKind kind;
  uint32_t offset;
  uint32_t units;  // text: capacity in UTF-16 units
};

constexpr uint32_t WireWidth(const Field& f) {
  switch (f.kind) {
    case FieldKind::kBool: return 1;
    case FieldKind::kInt32:
    case FieldKind::kUInt32: return 4;
    case FieldKind::kInt64:
    case FieldKind::kUInt64:
    case FieldKind::kDouble: return 8;
    case FieldKind::kText: return 2 * f.units;
    case FieldKind::kRecord: return 0;
  }
  return 0;
}

// True when the rows lie inside a record of size bytes, do not overlap, and cover all of
// it except gap bytes. For static_assert beside each table.
template <size_t N>
constexpr bool Tiles(const Field (&rows)[N], size_t size, size_t gap = 0) {
  size_t covered = 0;
  for (size_t i = 0; i < N; ++i) {
    const size_t end = rows[i].offset + WireWidth(rows[i]);
    if (end > size) return false;
    covered += WireWidth(rows[i]);
    for (size_t j = 0; j < i; ++j) {
      if (WireWidth(rows[j]) == 0 || WireWidth(rows[i]) == 0) continue;
      if (rows[j].offset < end && rows[i].offset < rows[j].offset + WireWidth(rows[j]))
        return false;
    }
  }
  return covered + gap == size;
}

template <class T>
struct KindOf;
template <>
struct KindOf<uint8_t> : std::integral_constant<FieldKind, FieldKind::kBool> {};
template <>
struct KindOf<int32_t> : std::integral_constant<FieldKind, FieldKind::kInt32> {};
template <>
struct KindOf<uint32_t> : std::integral_constant<FieldKind, FieldKind::kUInt32> {};
template <>
struct KindOf<int64_t> : std::integral_constant<FieldKind, FieldKind::kInt64> {};
template <>
struct KindOf<uint64_t> : std::integral_constant<FieldKind, FieldKind::kUInt64> {};
template <>
struct KindOf<double> : std::integral_constant<FieldKind, FieldKind::kDouble> {};
template <size_t N>
struct KindOf<char16_t[N]> : std::integral_constant<FieldKind, FieldKind::kText> {};

template <class T>
constexpr uint32_t UnitsOf() {
  return std::is_array<T>::value ? static_cast<uint32_t>(std::extent<T>::value) : 0;
}

// A row for a member of a packed record: the Python name is the member's name, the kind
// and width follow from its type (one-byte members are flags).
#define ORBISYN_FIELD(Record, member)                                                     \
  ::orbisyn::Field {                                                                      \
    #member, nullptr, ::orbisyn::KindOf<decltype(Record::member)>::value,                \
        static_cast<uint32_t>(offsetof(Record, member)),                                  \
        ::orbisyn::UnitsOf<decltype(Record::member)>()                                    \
  }
// ORBISYN_FIELD with a comma: the X of the generated ORBISYN_ROWS_<Struct>(X) lists.
#define ORBISYN_ROW(Record, member) ORBISYN_FIELD(Record, member),
// The nested record that follows the wire fields of a trade result.
#define ORBISYN_NESTED(name) \
  ::orbisyn::Field { name, nullptr, ::orbisyn::FieldKind::kRecord, 0, 0 }

// A record type: its Python name and doc, its rows, and the converter generated from them.
struct RecordDesc {
  const char* name;
  const char* doc;
  const Field* fields;
  uint32_t field_count;
  uint32_t size;    // bytes of one wire record
  int32_t nested;   // index of the kRecord row, or -1
  // Sets items[i] for every wire row (kRecord rows are left alone); false when a
  // conversion failed (its item is null, the others are set).
  bool (*fill)(RecordBuilder& builder, const uint8_t* record, PyObject** items);
};


// Defined beside their tables in the family folders.
#define ORBISYN_RECORD_EXTERN(name) extern const RecordDesc k##name##Desc;
ORBISYN_RECORD_TYPES(ORBISYN_RECORD_EXTERN)
#undef ORBISYN_RECORD_EXTERN

// Builds the bar and tick dtypes into the module state (in market_data/records.cpp). Never
// fails the import: a missing dtype only disables its functions.
void BuildMarketDtypes();

// Initialises the types and adds them to the module. A type that fails is left out.
void RegisterRecordTypes(PyObject* module);

// Builds records for one call. In a tuple of records, texts that repeat (symbol names,
// currencies, comments) are decoded once and shared, as are 0.0 doubles everywhere.
class RecordBuilder {
 public:
  RecordBuilder();
  ~RecordBuilder();
  RecordBuilder(const RecordBuilder&) = delete;
  RecordBuilder& operator=(const RecordBuilder&) = delete;

  // A new record of type from one packed record; nested (stolen, may be null) fills its
  // kRecord field. Null with an exception pending when it cannot be built.
  PyObject* One(RecordType type, const void* record, PyObject* nested = nullptr);
  // A tuple of count records of type, back to back from records; with pick, of the
  // records at those count indices.
  PyObject* Tuple(RecordType type, const void* records, uint32_t count,
                  const uint32_t* pick = nullptr);

  PyObject* Text(const uint8_t* at, uint32_t units);
  // Most doubles of a symbol record are +0.0: floats are immutable, so those fields share
  // one object instead of allocating tens of thousands. -0.0 keeps its own object.
  PyObject* Double(const uint8_t* at) {
    uint64_t bits;
    std::memcpy(&bits, at, sizeof bits);
    if (bits != 0 || !zero_) {
      double v;
      std::memcpy(&v, at, sizeof v);
      return PyFloat_FromDouble(v);
    }
    Py_INCREF(zero_);
    return zero_;
  }

 private:
  static constexpr uint32_t kSlots = 256;
  static constexpr uint32_t kShareFrom = 16;  // records in a tuple
  struct Slot {
    PyObject* text;  // null when free
    FieldKey key;
  };
  PyObject* Cached(const uint8_t* at, uint32_t units);
  PyObject* Make(const RecordDesc& desc, PyTypeObject* type, const uint8_t* record,
                 PyObject* nested);

  Slot* slots_ = nullptr;  // only while a tuple is built
  uint32_t used_ = 0;
  PyObject* zero_;  // the module's shared 0.0 (null if it could not be made)
};

// Reading of each kind, and the letter the package's frames know it by (i int, f float,
// b bool, s str, r a nested record).
struct KindOps {
  PyObject* (*read)(RecordBuilder& builder, const uint8_t* at, uint32_t units);
  char letter;
};

template <class T>
T LoadAt(const uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

inline PyObject* ReadBool(RecordBuilder&, const uint8_t* at, uint32_t) {
  return PyBool_FromLong(*at != 0);
}
inline PyObject* ReadInt32(RecordBuilder&, const uint8_t* at, uint32_t) {
  return PyLong_FromLong(LoadAt<int32_t>(at));
}
inline PyObject* ReadUInt32(RecordBuilder&, const uint8_t* at, uint32_t) {
  return PyLong_FromUnsignedLong(LoadAt<uint32_t>(at));
}
inline PyObject* ReadInt64(RecordBuilder&, const uint8_t* at, uint32_t) {
  return PyLong_FromLongLong(LoadAt<int64_t>(at));
}
inline PyObject* ReadUInt64(RecordBuilder&, const uint8_t* at, uint32_t) {
  const uint64_t v = LoadAt<uint64_t>(at);
  // The signed constructor has the fast path for the usual small values.
  return v <= INT64_MAX ? PyLong_FromLongLong(static_cast<int64_t>(v))
                        : PyLong_FromUnsignedLongLong(v);
}
inline PyObject* ReadDouble(RecordBuilder& builder, const uint8_t* at, uint32_t) {
  return builder.Double(at);
}
inline PyObject* ReadText(RecordBuilder& builder, const uint8_t* at, uint32_t units) {
  return builder.Text(at, units);
}
inline PyObject* ReadNothing(RecordBuilder&, const uint8_t*, uint32_t) { return nullptr; }

// Indexed by FieldKind.
inline constexpr KindOps kKinds[] = {
    {ReadBool, 'b'},   {ReadInt32, 'i'},  {ReadUInt32, 'i'}, {ReadInt64, 'i'},
    {ReadUInt64, 'i'}, {ReadDouble, 'f'}, {ReadText, 's'},   {ReadNothing, 'r'},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == static_cast<size_t>(FieldKind::kRecord) + 1,
              "one row per kind");

// The converter of a table, with every row's kind fixed at compile time.
template <const auto& Rows, size_t I>
bool FillRow(RecordBuilder& builder, const uint8_t* record, PyObject** items) {
  if constexpr (Rows[I].kind == FieldKind::kRecord) {
    return true;
  } else {
    items[I] = kKinds[static_cast<int>(Rows[I].kind)].read(builder, record + Rows[I].offset,
                                                            Rows[I].units);
    return items[I] != nullptr;
  }
}

template <const auto& Rows, size_t... I>
bool FillRows(RecordBuilder& builder, const uint8_t* record, PyObject** items,
              std::index_sequence<I...>) {
  // Every row is set, whatever fails: one check at the end.
  return (FillRow<Rows, I>(builder, record, items) & ...);
}

template <const auto& Rows>
bool FillRecord(RecordBuilder& builder, const uint8_t* record, PyObject** items) {
  constexpr size_t n = sizeof(Rows) / sizeof(Rows[0]);
  return FillRows<Rows>(builder, record, items, std::make_index_sequence<n>());
}

template <size_t N>
constexpr int32_t NestedRow(const Field (&rows)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (rows[i].kind == FieldKind::kRecord) return static_cast<int32_t>(i);
  }
  return -1;
}

template <class Record, const auto& Rows>
constexpr RecordDesc MakeDesc(const char* name, const char* doc) {
  return RecordDesc{name,
                    doc,
                    Rows,
                    static_cast<uint32_t>(sizeof(Rows) / sizeof(Rows[0])),
                    static_cast<uint32_t>(sizeof(Record)),
                    NestedRow(Rows),
                    &FillRecord<Rows>};
}

}  // namespace orbisyn
