// quelm's own Arrow columnar layer, written from the Arrow C Data Interface and
// C Stream Interface documents. What it promises:
//
//  * Types: every format string of the C Data Interface parses into a DataType, which
//    keeps the format string, the parameters and (for nested types) the child fields, and
//    prints the Arrow debug type names used in messages ("Int32", "Utf8View",
//    "Timestamp(Nanosecond, None)", "Decimal128(10, 2)", "Dictionary(Int32, Utf8)", ...).
//    Extension types are carried as their storage type; their metadata stays on the field.
//  * Import: a schema and the batches of a stream become a Schema and RecordBatches that
//    reference the producer's buffers without copying. Each imported base ArrowArray is
//    owned by a reference-counted holder and released exactly once, when the last ArrayData
//    that points into it goes away (on success and on every failure path).
//    The structure of every node (buffer count, presence of the buffers that the length
//    needs, child count and child lengths, dictionary presence) is checked at import;
//    the values themselves (offsets, view indices, dictionary keys) are checked by the
//    accessors and by concatenation before they are read. Nothing is read out of bounds.
//  * Access: validity bitmaps, fixed-width values (read unaligned), Utf8 / LargeUtf8 /
//    Utf8View texts and dictionaries (keys of any integer width, nested dictionaries,
//    logical validity), every offset honoured (the batch's offset is folded into each
//    column's offset at import; bitmaps count offsets in bits).
//  * Concatenation: batches of one schema become one batch, for every layout.
//  * Export: a RecordBatch becomes an ArrowArrayStream whose arrays mirror the batch's
//    nodes without copying; streams keep the batch alive, touch no Python object and can
//    be read from any thread.
//
// Errors are values: Result<T> holds either a T or an Error whose message is Arrow's
// display text of the failure ("Invalid argument error: ...", "C Data interface error: ...").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/c_abi.hpp"

namespace quelm::arrow {

// ---------------------------------------------------------------------------------------
// Results

struct Error {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}          // NOLINT(implicit)
  Result(Error error) : v_(std::move(error)) {}      // NOLINT(implicit)
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }
  Error&& take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Ok{}; }

inline Error invalid(std::string detail) { return Error{"Invalid argument error: " + std::move(detail)}; }
inline Error c_data_error(std::string detail) { return Error{"C Data interface error: " + std::move(detail)}; }

// ---------------------------------------------------------------------------------------
// Types

enum class Type : uint8_t {
  Null,
  Boolean,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Binary,
  LargeBinary,
  BinaryView,
  Utf8,
  LargeUtf8,
  Utf8View,
  FixedSizeBinary,
  Decimal32,
  Decimal64,
  Decimal128,
  Decimal256,
  Date32,
  Date64,
  Time32,
  Time64,
  Timestamp,
  Duration,
  Interval,
  List,
  LargeList,
  ListView,
  LargeListView,
  FixedSizeList,
  Struct,
  Map,
  SparseUnion,
  DenseUnion,
  RunEndEncoded,
  Dictionary,
};

enum class TimeUnit : uint8_t { Second, Millisecond, Microsecond, Nanosecond };
enum class IntervalUnit : uint8_t { YearMonth, DayTime, MonthDayNano };

struct Field;
struct DataType;
using FieldPtr = std::shared_ptr<const Field>;
using TypePtr = std::shared_ptr<const DataType>;

struct DataType {
  Type id = Type::Null;
  std::string format;  // the format string as received (or as we would write it)

  int32_t byte_width = 0;   // FixedSizeBinary: N
  int32_t list_size = 0;    // FixedSizeList: N
  int32_t precision = 0;    // decimals
  int32_t scale = 0;        // decimals
  TimeUnit unit = TimeUnit::Second;                 // Time32/64, Timestamp, Duration
  std::optional<std::string> timezone;              // Timestamp: present when non-empty
  IntervalUnit interval_unit = IntervalUnit::YearMonth;

  // Nested types: List/LargeList/ListView/LargeListView/FixedSizeList/Map: one child;
  // Struct: the fields; unions: the members (with type_codes); RunEndEncoded: run_ends, values.
  std::vector<FieldPtr> children;
  std::vector<int8_t> type_codes;  // unions, one per child

  // Dictionary: this type is the index type's id in `index`, the dictionary's own
  // schema (name, flags, metadata, value type) in `dictionary`.
  Type index = Type::Int32;
  FieldPtr dictionary;
  bool ordered = false;

  const DataType& value_type() const;  // Dictionary: the dictionary's type
  std::string debug_name() const;      // "Int32", "Dictionary(Int32, Utf8)", ...
};

struct Field {
  std::string name;
  TypePtr type;
  int64_t flags = ARROW_FLAG_NULLABLE;  // raw ArrowSchema flags
  std::string metadata;                 // raw ArrowSchema metadata bytes; empty means none
  bool nullable() const { return (flags & ARROW_FLAG_NULLABLE) != 0; }
};

struct Schema {
  std::vector<FieldPtr> fields;
  std::string metadata;  // raw metadata bytes of the top-level struct; empty means none
  // First field of that exact name, or -1.
  int64_t find(std::string_view name) const;
};
using SchemaPtr = std::shared_ptr<const Schema>;

// Parses a stream's schema: it must be a struct ("+s"), else the error
// "C Data interface error: Unable to interpret C data struct as a Schema".
// Does not release `schema`; the caller does.
Result<SchemaPtr> import_schema(const ArrowSchema& schema);

// ---------------------------------------------------------------------------------------
// Arrays

struct ArrayData;
using ArrayPtr = std::shared_ptr<const ArrayData>;

struct ArrayData {
  TypePtr type;
  int64_t length = 0;
  int64_t offset = 0;
  int64_t null_count = 0;  // -1: unknown
  // One entry per buffer of the layout, in the C Data Interface order (views: validity,
  // views, the variadic data buffers, then the int64 buffer of their sizes). Any entry may
  // be null where its size would be 0; a null validity buffer means all valid.
  std::vector<const void*> buffers;
  std::vector<ArrayPtr> children;
  ArrayPtr dictionary;  // Dictionary: the dictionary values
  // Keeps the memory behind `buffers` alive: the holder of an imported base ArrowArray,
  // or the storage that this layer allocated.
  std::shared_ptr<const void> owner;
};

struct RecordBatch {
  SchemaPtr schema;
  std::vector<ArrayPtr> columns;
  int64_t num_rows = 0;
};
using BatchPtr = std::shared_ptr<const RecordBatch>;

// Takes over `array` (a struct array of `schema`'s fields; its release is nulled in the
// caller's structure and called exactly once, when the last column referencing it is
// dropped, also on failure). The struct's offset is folded into every column's offset.
// A struct that carries nulls is refused (a table has no null rows).
Result<RecordBatch> import_batch(ArrowArray* array, const SchemaPtr& schema);

// A batch of zero rows with the schema's fields (every column a valid empty array).
RecordBatch empty_batch(const SchemaPtr& schema);

// Concatenates batches of one schema, in order, into one batch with newly allocated
// buffers (every layout; dictionaries that differ are merged). Errors are Arrow texts.
Result<RecordBatch> concat_batches(const std::vector<RecordBatch>& batches, const SchemaPtr& schema);

// A Float64 array over the `length` values at `values`, without validity; `owner` keeps
// them alive.
ArrayPtr make_float64_array(const double* values, int64_t length, std::shared_ptr<const void> owner);

// Fills `out` (whose previous content is ignored) with a stream yielding `batch` once,
// then the end of the stream. The stream holds a reference to the batch; every call gives
// an independent stream. get_schema returns a fresh deep copy of the schema each time.
void export_stream(BatchPtr batch, ArrowArrayStream* out);

// ---------------------------------------------------------------------------------------
// Reading values

// Unaligned load of element i from a raw value pointer.
template <class T>
inline T load(const void* base, int64_t i) {
  T v;
  std::memcpy(&v, static_cast<const unsigned char*>(base) + static_cast<size_t>(i) * sizeof(T), sizeof(T));
  return v;
}

// A validity bitmap seen from an array's logical row 0.
struct Validity {
  const uint8_t* bits = nullptr;  // null: every row valid
  int64_t bit_offset = 0;
  bool all_valid() const { return bits == nullptr; }
  bool is_valid(int64_t i) const {
    if (bits == nullptr) return true;
    const int64_t b = bit_offset + i;
    return (bits[b >> 3] >> (b & 7)) & 1;
  }
};
// The array's own (physical) validity. Returns an all-valid view when the bitmap is
// absent or null_count is 0.
Validity validity_of(const ArrayData& array);

// Pointer to the value of logical row 0 of a fixed-width primitive array (Int*, UInt*,
// Float*); read it with load<T>(ptr, i). Null when the array is empty.
const void* values_of(const ArrayData& array);

// Texts of a Utf8, LargeUtf8 or Utf8View array. make() validates the offsets (non
// decreasing, inside the data buffer) or the views (buffer indices and ranges) first.
class TextArray {
 public:
  static Result<TextArray> make(const ArrayPtr& array);
  int64_t length() const { return length_; }
  bool is_valid(int64_t i) const { return validity_.is_valid(i); }
  // Row i's bytes (unspecified for a null row).
  std::string_view value(int64_t i) const {
    if (kind_ == Type::Utf8) {
      const int32_t b = load<int32_t>(offsets_, i), e = load<int32_t>(offsets_, i + 1);
      return e == b ? std::string_view() : std::string_view(data_ + b, static_cast<size_t>(e - b));
    }
    return other_value(i);
  }
  // Utf8 and LargeUtf8: the bytes from the first row's text to the end of the last one's,
  // which the values buffer holds. Utf8View: nothing (its texts lie in several buffers).
  std::optional<std::string_view> value_bytes() const;

 private:
  std::string_view other_value(int64_t i) const;  // LargeUtf8 and Utf8View

  ArrayPtr array_;
  Type kind_ = Type::Utf8;
  int64_t length_ = 0;
  Validity validity_;
  const void* offsets_ = nullptr;  // Utf8 / LargeUtf8: offsets at logical row 0
  const char* data_ = nullptr;
  const void* views_ = nullptr;    // Utf8View: views at logical row 0
  std::vector<const char*> data_buffers_;
};

// A dictionary-encoded array. make() validates that every non-null key lies inside the
// dictionary. Keys of any integer width are given as unsigned positions.
class DictionaryArray {
 public:
  static Result<DictionaryArray> make(const ArrayPtr& array);
  int64_t length() const { return length_; }
  bool key_valid(int64_t i) const { return validity_.is_valid(i); }  // the keys' own validity
  uint64_t key(int64_t i) const;                                     // row i's position
  const ArrayPtr& dictionary() const { return array_->dictionary; }

 private:
  ArrayPtr array_;
  Type index_ = Type::Int32;
  int64_t length_ = 0;
  Validity validity_;
  const void* keys_ = nullptr;  // keys at logical row 0
};

// Texts of a text column of any of the accepted encodings: Utf8, LargeUtf8, Utf8View, a
// dictionary of those, or a dictionary of a dictionary of those. A row is null when its
// own validity says so or (dictionaries) when its key refers to a null entry, at every
// level. Used where every row's text is needed (group keys); the category coder resolves
// dictionary entries itself through DictionaryArray.
class ResolvedText {
 public:
  static Result<ResolvedText> make(const ArrayPtr& array);
  int64_t length() const;
  bool is_valid(int64_t i) const;
  std::string_view value(int64_t i) const;  // precondition: is_valid(i)

 private:
  // Level 0 is the array itself; every further level is a dictionary's values.
  std::vector<DictionaryArray> dicts_;
  std::optional<TextArray> texts_;
};

// True for Utf8, LargeUtf8 and Utf8View.
bool is_text(const DataType& type);

}  // namespace quelm::arrow
