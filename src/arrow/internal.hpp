// Helpers shared by the files of the Arrow layer: the physical layout of each type, the
// widths of fixed-width values and overflow-checked arithmetic. Not part of the public API.
//
// The in-memory model (ArrayData) mirrors the C Data Interface node for node:
//  * `buffers` holds the node's buffers in C order: validity first for every layout that
//    has one; unions and run-end encoded arrays have no validity buffer (sparse union:
//    type ids; dense union: type ids, offsets; run-end encoded: none; null: none);
//    views: validity, views, the N variadic data buffers, the int64 sizes buffer.
//  * a dictionary-encoded node has the index layout (validity, keys) and its values in
//    `dictionary`; its type is Type::Dictionary with `index` the key type.
//  * children keep their own offset and length, exactly as the producer gave them; only
//    the top-level columns of a batch have the batch's struct offset folded in.
//  * a buffer may be null where the length makes its size 0 (length 0: every buffer).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "arrow/arrow.hpp"

namespace quelm::arrow::internal {

enum class Layout : uint8_t {
  Null,           // no buffers
  Boolean,        // validity, bit-packed values
  FixedWidth,     // validity, values of fixed_width_bytes() bytes each
  Binary,         // validity, int32 offsets, data
  LargeBinary,    // validity, int64 offsets, data
  View,           // validity, views, variadic data buffers..., int64 sizes
  List,           // validity, int32 offsets (List, Map)
  LargeList,      // validity, int64 offsets
  ListView,       // validity, int32 offsets, int32 sizes
  LargeListView,  // validity, int64 offsets, int64 sizes
  FixedSizeList,  // validity
  Struct,         // validity
  SparseUnion,    // type ids
  DenseUnion,     // type ids, int32 offsets
  RunEndEncoded,  // no buffers; children run_ends, values
  Dictionary,     // validity, keys; values in `dictionary`
};

Layout layout_of(const DataType& type);

// Whether buffers[0] of this layout is a validity bitmap.
bool has_validity_buffer(const DataType& type);

// Bytes per value for the FixedWidth layout (FixedSizeBinary: its byte width, which may
// be 0); -1 for every other layout.
int32_t fixed_width_bytes(const DataType& type);

bool is_integer(Type id);
bool is_signed_integer(Type id);
// Bytes of an integer type (1, 2, 4, 8); 0 for a non-integer.
int32_t integer_bytes(Type id);

// The Arrow type-enumeration name of an id ("Int32", "Utf8View", "Dictionary", ...).
std::string_view type_name(Type id);

// The C Data Interface format string of a type: its `format` when set, else composed from
// its id and parameters (for types built in code rather than imported).
std::string format_of(const DataType& type);

// A shared type without parameters (Null, Boolean, integers, floats, binaries, dates).
TypePtr primitive_type(Type id);

// Two zero offsets (of either width), given where an offsets buffer of an empty array
// would otherwise be null.
alignas(64) inline constexpr int64_t kZeroOffsets[2] = {0, 0};

inline bool checked_add(int64_t a, int64_t b, int64_t* out) { return !__builtin_add_overflow(a, b, out); }
inline bool checked_mul(int64_t a, int64_t b, int64_t* out) { return !__builtin_mul_overflow(a, b, out); }

}  // namespace quelm::arrow::internal
