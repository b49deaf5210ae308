// Concatenation of record batches of one schema into one batch.
//
// Every column is rebuilt from the batches' slices of it: each output node gets newly
// allocated buffers (offset 0, 64-byte aligned, padding zeroed), so the result shares no
// memory with its inputs and the imported batches can be dropped afterwards.
//
// The input comes from producers we do not control, so every value that steers a read
// (offsets, view buffer indices and ranges, dictionary keys, union type ids and offsets,
// run ends, child lengths) is checked before anything is read through it. A malformed
// input gives "Invalid argument error: ..."; data that do not fit the output's 32-bit
// offsets give "Offset overflow error: ...". All size arithmetic is overflow-checked.
//
// Per layout:
//  * validity bitmaps are bit-copied (an absent bitmap, or a null count of 0, means all
//    valid); the output omits its bitmap when no row is null;
//  * fixed-width values are byte ranges, booleans are bit ranges;
//  * binary and list offsets are rebased and the referenced data range / child slice of
//    every part is appended;
//  * views are rewritten with their long values compacted into fresh data buffers;
//  * list views: each part's referenced child range is appended, offsets shifted;
//  * fixed-size lists, structs and sparse unions slice their children by the parent's
//    position; dense unions append each child's referenced range and shift the offsets;
//  * run-end encoded arrays slice their runs, clamp the run ends to the slice and add the
//    logical length that precedes them;
//  * dictionaries: one dictionary is kept when all parts carry the same one; otherwise
//    flat dictionaries are unified (keys remapped) and nested ones concatenated (keys
//    shifted); a key that does not fit the index type is an error.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow/internal.hpp"

namespace quelm::arrow {
namespace {

// ---------------------------------------------------------------------------------------
// Small helpers

#define QUELM_CONCAT_TRY(expr)                   \
  do {                                           \
    auto quelm_concat_status_ = (expr);          \
    if (!quelm_concat_status_.ok()) {            \
      return quelm_concat_status_.take_error();  \
    }                                            \
  } while (false)

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

using internal::checked_add;
using internal::checked_mul;

std::string str(int64_t v) { return std::to_string(v); }

std::string type_name(const DataType& t) { return t.debug_name(); }

Error overflow_error(std::string detail) { return Error{"Offset overflow error: " + std::move(detail)}; }

// ---------------------------------------------------------------------------------------
// Output memory

constexpr size_t kAlignment = 64;

// One zero-padded, 64-byte aligned allocation.
class Buffer {
 public:
  Buffer() = default;
  // Throws std::bad_alloc when the memory cannot be had. `zero` clears the whole buffer;
  // otherwise only the padding behind `size` is cleared and the caller writes the rest.
  Buffer(int64_t size, bool zero) {
    if (size < 0 || static_cast<uint64_t>(size) > static_cast<uint64_t>(kInt64Max) - 2 * kAlignment) {
      throw std::bad_alloc();
    }
    const size_t bytes = static_cast<size_t>(size);
    const size_t capacity = std::max<size_t>(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
    data_ = static_cast<uint8_t*>(::operator new(capacity, std::align_val_t{kAlignment}));
    if (zero) {
      std::memset(data_, 0, capacity);
    } else {
      std::memset(data_ + bytes, 0, capacity - bytes);
    }
  }
  Buffer(Buffer&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  uint8_t* data() const { return data_; }

 private:
  void release() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{kAlignment});
    data_ = nullptr;
  }
  uint8_t* data_ = nullptr;
};

// The memory of one output node; ArrayData::owner keeps it alive.
struct Storage {
  std::vector<Buffer> buffers;
};

// An output array under construction.
class Node {
 public:
  Node(TypePtr type, int64_t length) : out_(std::make_shared<ArrayData>()), storage_(std::make_shared<Storage>()) {
    out_->type = std::move(type);
    out_->length = length;
    out_->offset = 0;
    out_->null_count = 0;
  }
  // Appends a new buffer of `bytes` bytes to the node's buffer list.
  uint8_t* add(int64_t bytes, bool zero) { return keep(Buffer(bytes, zero)); }
  uint8_t* keep(Buffer&& buffer) {
    storage_->buffers.push_back(std::move(buffer));
    uint8_t* p = storage_->buffers.back().data();
    out_->buffers.push_back(p);
    return p;
  }
  void add_absent() { out_->buffers.push_back(nullptr); }
  void add_child(ArrayPtr child) { out_->children.push_back(std::move(child)); }
  ArrayData& data() { return *out_; }
  ArrayPtr finish() {
    out_->owner = storage_;
    return out_;
  }

 private:
  std::shared_ptr<ArrayData> out_;
  std::shared_ptr<Storage> storage_;
};

// ---------------------------------------------------------------------------------------
// Bitmaps (least significant bit first)

inline bool get_bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }
inline void set_bit(uint8_t* bits, int64_t i) { bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1u << (i & 7))); }

int64_t bitmap_bytes(int64_t bits) { return bits / 8 + (bits % 8 != 0 ? 1 : 0); }

// Copies bits [s, s + n) of `src` to bits [d, d + n) of `dst`, whose bits are 0 there.
// Reads no byte of `src` outside the bytes that hold the copied bits.
void copy_bits(uint8_t* dst, int64_t d, const uint8_t* src, int64_t s, int64_t n) {
  while (n > 0 && (d & 7) != 0) {
    if (get_bit(src, s)) set_bit(dst, d);
    ++d, ++s, --n;
  }
  const int64_t whole = n >> 3;
  if (whole > 0) {
    uint8_t* out = dst + (d >> 3);
    const uint8_t* in = src + (s >> 3);
    const int shift = static_cast<int>(s & 7);
    if (shift == 0) {
      std::memcpy(out, in, static_cast<size_t>(whole));
    } else {
      // Output byte k takes bits shift..7 of in[k] and 0..shift-1 of in[k + 1]; the last
      // of those lies inside the copied range, so in[k + 1] is always a source byte.
      for (int64_t k = 0; k < whole; ++k) {
        out[k] = static_cast<uint8_t>((in[k] >> shift) | (in[k + 1] << (8 - shift)));
      }
    }
    d += whole * 8, s += whole * 8, n -= whole * 8;
  }
  while (n > 0) {
    if (get_bit(src, s)) set_bit(dst, d);
    ++d, ++s, --n;
  }
}

// Sets bits [d, d + n) of `dst`.
void set_bits(uint8_t* dst, int64_t d, int64_t n) {
  while (n > 0 && (d & 7) != 0) {
    set_bit(dst, d);
    ++d, --n;
  }
  const int64_t whole = n >> 3;
  if (whole > 0) {
    std::memset(dst + (d >> 3), 0xFF, static_cast<size_t>(whole));
    d += whole * 8, n -= whole * 8;
  }
  while (n > 0) {
    set_bit(dst, d);
    ++d, --n;
  }
}

// Number of set bits among bits [0, n).
int64_t count_set_bits(const uint8_t* bits, int64_t n) {
  int64_t count = 0;
  const int64_t words = n / 64;
  for (int64_t w = 0; w < words; ++w) count += std::popcount(load<uint64_t>(bits, w));
  for (int64_t i = words * 64; i < n; ++i) count += get_bit(bits, i) ? 1 : 0;
  return count;
}

// ---------------------------------------------------------------------------------------
// Parts: the rows of one input array that go into the output

struct Part {
  const ArrayData* a = nullptr;
  int64_t start = 0;  // first row, counted from the array's logical row 0
  int64_t len = 0;
  // The first row in the coordinates of the array's buffers (the array's offset added).
  int64_t pos() const { return a->offset + start; }
};

// Checks the array's own geometry and that rows [start, start + len) exist.
Status check_rows(const ArrayData* a, int64_t start, int64_t len, const DataType& t) {
  if (a == nullptr) return invalid("missing " + type_name(t) + " array");
  if (a->length < 0 || a->offset < 0 || a->offset > kInt64Max - a->length) {
    return invalid(type_name(t) + " array with invalid length " + str(a->length) + " and offset " + str(a->offset));
  }
  if (start < 0 || len < 0 || start > a->length - len) {
    return invalid(type_name(t) + " array of length " + str(a->length) + " does not hold the " + str(len) +
                   " rows from row " + str(start) + " that its parent refers to");
  }
  return ok_status();
}

Status check_layout(const Part& p, const DataType& t, size_t n_buffers, size_t n_children) {
  if (p.a->type != nullptr && p.a->type->id != t.id) {
    return invalid("array of type " + type_name(*p.a->type) + " where " + type_name(t) + " is expected");
  }
  if (p.a->buffers.size() < n_buffers) {
    return invalid(type_name(t) + " array with " + str(static_cast<int64_t>(p.a->buffers.size())) +
                   " buffers, expected " + str(static_cast<int64_t>(n_buffers)));
  }
  if (p.a->children.size() < n_children) {
    return invalid(type_name(t) + " array with " + str(static_cast<int64_t>(p.a->children.size())) +
                   " children, expected " + str(static_cast<int64_t>(n_children)));
  }
  return ok_status();
}

// Pointer to element pos() of buffer `index` of the part's array, whose elements are
// `width` bytes; `count` elements from there on are going to be read. Fails when the
// buffer is missing although bytes are needed. Null when nothing is to be read.
Result<const uint8_t*> elements(const Part& p, size_t index, int64_t width, int64_t count, const DataType& t,
                                const char* what) {
  int64_t end = 0, bytes = 0, begin = 0;
  if (!checked_add(p.pos(), count, &end) || !checked_mul(end, width, &end) || !checked_mul(count, width, &bytes) ||
      !checked_mul(p.pos(), width, &begin)) {
    return invalid(type_name(t) + " array: " + what + " beyond the addressable range");
  }
  if (bytes == 0) return static_cast<const uint8_t*>(nullptr);
  const void* base = index < p.a->buffers.size() ? p.a->buffers[index] : nullptr;
  if (base == nullptr) return invalid(type_name(t) + " array of length " + str(p.a->length) + " without " + what);
  return static_cast<const uint8_t*>(base) + begin;
}

// The validity bitmap to honour (null: every row valid).
const uint8_t* bitmap_of(const ArrayData& a) {
  if (a.null_count == 0 || a.buffers.empty()) return nullptr;
  return static_cast<const uint8_t*>(a.buffers[0]);
}

Validity validity_at(const Part& p) {
  Validity v;
  v.bits = bitmap_of(*p.a);
  v.bit_offset = p.pos();
  return v;
}

Result<TypePtr> child_type(const DataType& t, size_t k) {
  if (k >= t.children.size() || t.children[k] == nullptr || t.children[k]->type == nullptr) {
    return invalid(type_name(t) + " type without its child type " + str(static_cast<int64_t>(k)));
  }
  return t.children[k]->type;
}

// Appends the concatenated validity bitmap as the node's next buffer (absent when no row
// is null) and sets the node's null count.
void concat_validity(const std::vector<Part>& parts, int64_t total, Node& node) {
  bool any = false;
  for (const Part& p : parts) any = any || bitmap_of(*p.a) != nullptr;
  node.data().null_count = 0;
  if (!any) {
    node.add_absent();
    return;
  }
  Buffer bits(bitmap_bytes(total), true);
  int64_t at = 0;
  for (const Part& p : parts) {
    if (const uint8_t* src = bitmap_of(*p.a)) {
      copy_bits(bits.data(), at, src, p.pos(), p.len);
    } else {
      set_bits(bits.data(), at, p.len);
    }
    at += p.len;
  }
  const int64_t nulls = total - count_set_bits(bits.data(), total);
  if (nulls == 0) {
    node.add_absent();
  } else {
    node.keep(std::move(bits));
    node.data().null_count = nulls;
  }
}

// Bytes per value of a fixed-width type, or -1 for any other layout.
int64_t fixed_width(const DataType& t) { return internal::fixed_width_bytes(t); }

Result<ArrayPtr> concat(const TypePtr& type, std::vector<Part> parts);

// ---------------------------------------------------------------------------------------
// Views (Utf8View, BinaryView)

constexpr int64_t kViewSize = 16;
constexpr int64_t kInlineMax = 12;
// Output data buffers stay addressable by the views' 32-bit offsets.
constexpr int64_t kViewBufferCap = kInt32Max;

// The variadic data buffers of a view array and their sizes.
struct ViewSource {
  const ArrayData* a = nullptr;
  int64_t n_data = 0;
  const void* sizes = nullptr;
};

Result<ViewSource> view_source(const ArrayData& a, const DataType& t) {
  ViewSource src;
  src.a = &a;
  src.n_data = static_cast<int64_t>(a.buffers.size()) - 3;
  if (src.n_data < 0) return invalid(type_name(t) + " array without its buffer of data-buffer sizes");
  src.sizes = a.buffers.back();
  if (src.n_data > 0 && src.sizes == nullptr) {
    return invalid(type_name(t) + " array with " + str(src.n_data) + " data buffers but no buffer of their sizes");
  }
  return src;
}

// Resolves one 16-byte view into its bytes, checking the buffer index and the range.
Status resolve_view(const uint8_t* view, const ViewSource& src, const DataType& t, int64_t row,
                    std::string_view* out) {
  const int32_t len = load<int32_t>(view, 0);
  if (len < 0) return invalid(type_name(t) + " view at row " + str(row) + " has negative length " + str(len));
  if (len <= kInlineMax) {
    *out = std::string_view(reinterpret_cast<const char*>(view) + 4, static_cast<size_t>(len));
    return ok_status();
  }
  const int32_t index = load<int32_t>(view, 2);
  const int32_t offset = load<int32_t>(view, 3);
  if (index < 0 || index >= src.n_data) {
    return invalid(type_name(t) + " view at row " + str(row) + " refers to data buffer " + str(index) + " of " +
                   str(src.n_data));
  }
  const int64_t size = load<int64_t>(src.sizes, index);
  if (offset < 0 || size < 0 || offset > size - len) {
    return invalid(type_name(t) + " view at row " + str(row) + " refers to bytes [" + str(offset) + ", " +
                   str(int64_t{offset} + len) + ") of data buffer " + str(index) + " of size " + str(size));
  }
  const void* data = src.a->buffers[static_cast<size_t>(2 + index)];
  if (data == nullptr) return invalid(type_name(t) + " array: data buffer " + str(index) + " is missing");
  *out = std::string_view(static_cast<const char*>(data) + offset, static_cast<size_t>(len));
  return ok_status();
}

// The bytes of a view that resolve_view() has accepted.
std::string_view view_value(const uint8_t* view, const ViewSource& src) {
  const int32_t len = load<int32_t>(view, 0);
  if (len <= kInlineMax) return {reinterpret_cast<const char*>(view) + 4, static_cast<size_t>(len)};
  const char* data = static_cast<const char*>(src.a->buffers[static_cast<size_t>(2 + load<int32_t>(view, 2))]);
  return {data + load<int32_t>(view, 3), static_cast<size_t>(len)};
}

// Places long values one after the other into data buffers of at most kViewBufferCap
// bytes. Running it twice over the same lengths gives the same places.
struct ViewPacker {
  std::vector<int64_t> sizes;
  std::pair<int32_t, int32_t> place(int64_t len) {
    if (sizes.empty() || sizes.back() > kViewBufferCap - len) sizes.push_back(0);
    const int64_t at = sizes.back();
    sizes.back() += len;
    return {static_cast<int32_t>(sizes.size() - 1), static_cast<int32_t>(at)};
  }
};

// Writes the view of `value`; a long value's bytes go to data[buffer] + offset.
void write_view(uint8_t* dst, std::string_view value, ViewPacker& packer, const std::vector<uint8_t*>& data) {
  std::memset(dst, 0, kViewSize);
  const int32_t len = static_cast<int32_t>(value.size());
  std::memcpy(dst, &len, 4);
  if (len <= kInlineMax) {
    if (len > 0) std::memcpy(dst + 4, value.data(), value.size());
    return;
  }
  const auto [buffer, offset] = packer.place(len);
  std::memcpy(data[static_cast<size_t>(buffer)] + offset, value.data(), value.size());
  std::memcpy(dst + 4, value.data(), 4);
  std::memcpy(dst + 8, &buffer, 4);
  std::memcpy(dst + 12, &offset, 4);
}

// Adds the views buffer, the data buffers planned in `plan` and their sizes buffer;
// returns the views buffer and the data buffers.
uint8_t* add_view_buffers(Node& node, int64_t rows, const ViewPacker& plan, std::vector<uint8_t*>* data) {
  uint8_t* views = node.add(rows * kViewSize, false);
  for (int64_t size : plan.sizes) data->push_back(node.add(size, false));
  uint8_t* sizes = node.add(static_cast<int64_t>(plan.sizes.size()) * 8, false);
  for (size_t i = 0; i < plan.sizes.size(); ++i) std::memcpy(sizes + 8 * i, &plan.sizes[i], 8);
  return views;
}

Result<ArrayPtr> concat_views(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  int64_t view_bytes = 0;
  if (!checked_mul(total, kViewSize, &view_bytes)) return invalid(type_name(t) + " array too long");
  std::vector<const uint8_t*> views(parts.size());
  std::vector<ViewSource> sources(parts.size());
  ViewPacker plan;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    QUELM_CONCAT_TRY(check_layout(p, t, 3, 0));
    auto v = elements(p, 1, kViewSize, p.len, t, "views");
    if (!v) return v.take_error();
    views[k] = *v;
    auto src = view_source(*p.a, t);
    if (!src) return src.take_error();
    sources[k] = *src;
    const Validity valid = validity_at(p);
    for (int64_t j = 0; j < p.len; ++j) {
      if (!valid.is_valid(j)) continue;
      std::string_view value;
      QUELM_CONCAT_TRY(resolve_view(views[k] + j * kViewSize, sources[k], t, p.start + j, &value));
      if (static_cast<int64_t>(value.size()) > kInlineMax) plan.place(static_cast<int64_t>(value.size()));
    }
  }
  Node node(type, total);
  concat_validity(parts, total, node);
  std::vector<uint8_t*> data;
  uint8_t* out = add_view_buffers(node, total, plan, &data);
  ViewPacker packer;
  int64_t row = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    const Validity valid = validity_at(p);
    for (int64_t j = 0; j < p.len; ++j, ++row) {
      std::string_view value;
      if (valid.is_valid(j)) value = view_value(views[k] + j * kViewSize, sources[k]);
      write_view(out + row * kViewSize, value, packer, data);
    }
  }
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Fixed width, boolean, null

Result<ArrayPtr> concat_fixed(const TypePtr& type, const std::vector<Part>& parts, int64_t total, int64_t width) {
  const DataType& t = *type;
  int64_t bytes = 0;
  if (!checked_mul(total, width, &bytes)) return invalid(type_name(t) + " array too long");
  std::vector<const uint8_t*> src(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) {
    QUELM_CONCAT_TRY(check_layout(parts[k], t, 2, 0));
    auto v = elements(parts[k], 1, width, parts[k].len, t, "values");
    if (!v) return v.take_error();
    src[k] = *v;
  }
  Node node(type, total);
  concat_validity(parts, total, node);
  uint8_t* out = node.add(bytes, false);
  int64_t at = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const int64_t n = parts[k].len * width;
    if (n > 0) std::memcpy(out + at, src[k], static_cast<size_t>(n));
    at += n;
  }
  return node.finish();
}

Result<ArrayPtr> concat_boolean(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  for (const Part& p : parts) {
    QUELM_CONCAT_TRY(check_layout(p, t, 2, 0));
    if (p.a->buffers[1] == nullptr) return invalid("Boolean array of length " + str(p.a->length) + " without values");
  }
  Node node(type, total);
  concat_validity(parts, total, node);
  uint8_t* out = node.add(bitmap_bytes(total), true);
  int64_t at = 0;
  for (const Part& p : parts) {
    copy_bits(out, at, static_cast<const uint8_t*>(p.a->buffers[1]), p.pos(), p.len);
    at += p.len;
  }
  return node.finish();
}

Result<ArrayPtr> concat_null(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  for (const Part& p : parts) QUELM_CONCAT_TRY(check_layout(p, *type, 0, 0));
  Node node(type, total);
  node.data().null_count = total;
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Offsets (binary, utf8, list, map)

template <class O>
Status check_total(const DataType& t, int64_t before, int64_t add, int64_t* total, const char* what) {
  if (!checked_add(before, add, total)) return invalid(type_name(t) + " array: " + what + " beyond the addressable range");
  if (sizeof(O) == 4 && *total > kInt32Max) {
    return overflow_error("the concatenated " + type_name(t) + " arrays hold " + str(*total) + " " + what +
                          ", more than 32-bit offsets can address (" + str(kInt32Max) + ")");
  }
  return ok_status();
}

// Reads the offsets of rows [pos, pos + len] of a part, checks that they start at or after
// 0, never decrease and (for lists) stay inside the child, and writes them rebased onto
// `base` to out[0..len]. Returns the first and the last offset.
template <class O>
Status rebase_offsets(const Part& p, const DataType& t, int64_t base, O* out, int64_t* first, int64_t* last,
                      const char* what) {
  auto offs = elements(p, 1, sizeof(O), p.len + 1, t, "offsets");
  if (!offs) return offs.take_error();
  const uint8_t* o = *offs;
  const int64_t begin = static_cast<int64_t>(load<O>(o, 0));
  const int64_t end = static_cast<int64_t>(load<O>(o, p.len));
  if (begin < 0) return invalid(type_name(t) + " array with negative offset " + str(begin) + " at row " + str(p.start));
  if (end < begin) {
    return invalid(type_name(t) + " array with decreasing offsets between rows " + str(p.start) + " and " +
                   str(p.start + p.len));
  }
  int64_t total = 0;
  QUELM_CONCAT_TRY(check_total<O>(t, base, end - begin, &total, what));
  int64_t prev = begin;
  for (int64_t j = 1; j <= p.len; ++j) {
    const int64_t cur = static_cast<int64_t>(load<O>(o, j));
    if (cur < prev || cur > end) {
      return invalid(type_name(t) + " array with decreasing offsets at row " + str(p.start + j));
    }
    out[j] = static_cast<O>(base + (cur - begin));  // at most `total`, which fits O
    prev = cur;
  }
  *first = begin;
  *last = end;
  return ok_status();
}


template <class O>
Result<ArrayPtr> concat_binary(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  for (const Part& p : parts) QUELM_CONCAT_TRY(check_layout(p, t, 3, 0));
  int64_t offset_bytes = 0;
  if (!checked_mul(total + 1, sizeof(O), &offset_bytes)) return invalid(type_name(t) + " array too long");
  Node node(type, total);
  concat_validity(parts, total, node);
  O* offsets = reinterpret_cast<O*>(node.add(offset_bytes, false));
  offsets[0] = 0;
  struct Range {
    const uint8_t* data;
    int64_t size;
  };
  std::vector<Range> ranges;
  ranges.reserve(parts.size());
  int64_t data_total = 0, row = 0;
  for (const Part& p : parts) {
    int64_t first = 0, last = 0;
    QUELM_CONCAT_TRY(rebase_offsets<O>(p, t, data_total, offsets + row, &first, &last, "bytes"));
    const int64_t size = last - first;
    QUELM_CONCAT_TRY(check_total<O>(t, data_total, size, &data_total, "bytes"));
    const uint8_t* data = static_cast<const uint8_t*>(p.a->buffers[2]);
    if (size > 0 && data == nullptr) return invalid(type_name(t) + " array with offsets but no data buffer");
    ranges.push_back({size > 0 ? data + first : nullptr, size});
    row += p.len;
  }
  uint8_t* out = node.add(data_total, false);
  int64_t at = 0;
  for (const Range& r : ranges) {
    if (r.size > 0) std::memcpy(out + at, r.data, static_cast<size_t>(r.size));
    at += r.size;
  }
  return node.finish();
}

template <class O>
Result<ArrayPtr> concat_list(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto ctype = child_type(t, 0);
  if (!ctype) return ctype.take_error();
  for (const Part& p : parts) QUELM_CONCAT_TRY(check_layout(p, t, 2, 1));
  int64_t offset_bytes = 0;
  if (!checked_mul(total + 1, sizeof(O), &offset_bytes)) return invalid(type_name(t) + " array too long");
  Node node(type, total);
  concat_validity(parts, total, node);
  O* offsets = reinterpret_cast<O*>(node.add(offset_bytes, false));
  offsets[0] = 0;
  std::vector<Part> children;
  children.reserve(parts.size());
  int64_t child_total = 0, row = 0;
  for (const Part& p : parts) {
    int64_t first = 0, last = 0;
    QUELM_CONCAT_TRY(rebase_offsets<O>(p, t, child_total, offsets + row, &first, &last, "child rows"));
    QUELM_CONCAT_TRY(check_total<O>(t, child_total, last - first, &child_total, "child rows"));
    children.push_back({p.a->children[0].get(), first, last - first});
    row += p.len;
  }
  auto child = concat(*ctype, std::move(children));
  if (!child) return child.take_error();
  node.add_child(std::move(*child));
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// List views

template <class O>
Result<ArrayPtr> concat_list_view(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto ctype = child_type(t, 0);
  if (!ctype) return ctype.take_error();
  int64_t bytes = 0;
  if (!checked_mul(total, sizeof(O), &bytes)) return invalid(type_name(t) + " array too long");
  struct Source {
    const uint8_t* offsets;
    const uint8_t* sizes;
    int64_t lo, hi;  // child rows referenced by the part's valid, non-empty lists
    int64_t base;    // where they start in the output child
  };
  std::vector<Source> sources(parts.size());
  std::vector<Part> children;
  int64_t child_total = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    QUELM_CONCAT_TRY(check_layout(p, t, 3, 1));
    const ArrayData* child = p.a->children[0].get();
    QUELM_CONCAT_TRY(check_rows(child, 0, child != nullptr ? child->length : 0, **ctype));
    auto offs = elements(p, 1, sizeof(O), p.len, t, "offsets");
    if (!offs) return offs.take_error();
    auto sizes = elements(p, 2, sizeof(O), p.len, t, "sizes");
    if (!sizes) return sizes.take_error();
    Source& s = sources[k];
    s = {*offs, *sizes, kInt64Max, 0, 0};
    const Validity valid = validity_at(p);
    const int64_t child_len = child->length;
    for (int64_t j = 0; j < p.len; ++j) {
      const int64_t o = static_cast<int64_t>(load<O>(s.offsets, j));
      const int64_t n = static_cast<int64_t>(load<O>(s.sizes, j));
      if (o < 0 || n < 0 || o > child_len || n > child_len - o) {
        return invalid(type_name(t) + " array: offset " + str(o) + " and size " + str(n) + " at row " +
                       str(p.start + j) + " do not lie inside the child of length " + str(child_len));
      }
      if (n > 0 && valid.is_valid(j)) {
        s.lo = std::min(s.lo, o);
        s.hi = std::max(s.hi, o + n);
      }
    }
    if (s.hi > 0) {
      s.base = child_total;
      QUELM_CONCAT_TRY(check_total<O>(t, child_total, s.hi - s.lo, &child_total, "child rows"));
      children.push_back({child, s.lo, s.hi - s.lo});
    }
  }
  Node node(type, total);
  concat_validity(parts, total, node);
  uint8_t* out_offsets = node.add(bytes, false);
  uint8_t* out_sizes = node.add(bytes, false);
  int64_t row = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    const Source& s = sources[k];
    const Validity valid = validity_at(p);
    for (int64_t j = 0; j < p.len; ++j, ++row) {
      // Null and empty lists get offset 0 and size 0.
      O o = 0, n = 0;
      if (valid.is_valid(j) && load<O>(s.sizes, j) > 0) {
        n = load<O>(s.sizes, j);
        o = static_cast<O>(s.base + (static_cast<int64_t>(load<O>(s.offsets, j)) - s.lo));
      }
      std::memcpy(out_offsets + row * static_cast<int64_t>(sizeof(O)), &o, sizeof(O));
      std::memcpy(out_sizes + row * static_cast<int64_t>(sizeof(O)), &n, sizeof(O));
    }
  }
  auto child = concat(*ctype, std::move(children));
  if (!child) return child.take_error();
  node.add_child(std::move(*child));
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Fixed-size lists and structs

Result<ArrayPtr> concat_fixed_size_list(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto ctype = child_type(t, 0);
  if (!ctype) return ctype.take_error();
  const int64_t n = t.list_size;
  if (n < 0) return invalid(type_name(t) + " type with negative list size");
  std::vector<Part> children;
  for (const Part& p : parts) {
    QUELM_CONCAT_TRY(check_layout(p, t, 1, 1));
    int64_t start = 0, len = 0;
    if (!checked_mul(p.pos(), n, &start) || !checked_mul(p.len, n, &len)) {
      return invalid(type_name(t) + " array: child rows beyond the addressable range");
    }
    children.push_back({p.a->children[0].get(), start, len});
  }
  Node node(type, total);
  concat_validity(parts, total, node);
  auto child = concat(*ctype, std::move(children));
  if (!child) return child.take_error();
  node.add_child(std::move(*child));
  return node.finish();
}

Result<ArrayPtr> concat_struct(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  for (const Part& p : parts) QUELM_CONCAT_TRY(check_layout(p, t, 1, t.children.size()));
  Node node(type, total);
  concat_validity(parts, total, node);
  for (size_t c = 0; c < t.children.size(); ++c) {
    auto ctype = child_type(t, c);
    if (!ctype) return ctype.take_error();
    std::vector<Part> children;
    children.reserve(parts.size());
    for (const Part& p : parts) children.push_back({p.a->children[c].get(), p.pos(), p.len});
    auto child = concat(*ctype, std::move(children));
    if (!child) return child.take_error();
    node.add_child(std::move(*child));
  }
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Unions

// Child index per type code (-1: unknown code).
Result<std::vector<int>> child_of_code(const DataType& t) {
  std::vector<int> child_of(128, -1);
  const size_t n = t.children.size();
  if (!t.type_codes.empty() && t.type_codes.size() != n) {
    return invalid(type_name(t) + " type with " + str(static_cast<int64_t>(t.type_codes.size())) +
                   " type codes for " + str(static_cast<int64_t>(n)) + " children");
  }
  for (size_t k = 0; k < n; ++k) {
    const int code = t.type_codes.empty() ? static_cast<int>(k) : t.type_codes[k];
    if (code < 0 || code > 127) return invalid(type_name(t) + " type with invalid type code " + str(code));
    child_of[static_cast<size_t>(code)] = static_cast<int>(k);
  }
  return child_of;
}

Status check_type_ids(const uint8_t* ids, const Part& p, const std::vector<int>& child_of, const DataType& t) {
  for (int64_t j = 0; j < p.len; ++j) {
    const int8_t code = static_cast<int8_t>(ids[j]);
    if (code < 0 || child_of[static_cast<size_t>(code)] < 0) {
      return invalid(type_name(t) + " array with unknown type id " + str(code) + " at row " + str(p.start + j));
    }
  }
  return ok_status();
}

Result<ArrayPtr> concat_sparse_union(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto child_of = child_of_code(t);
  if (!child_of) return child_of.take_error();
  std::vector<const uint8_t*> ids(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) {
    QUELM_CONCAT_TRY(check_layout(parts[k], t, 1, t.children.size()));
    auto v = elements(parts[k], 0, 1, parts[k].len, t, "type ids");
    if (!v) return v.take_error();
    ids[k] = *v;
    QUELM_CONCAT_TRY(check_type_ids(ids[k], parts[k], *child_of, t));
  }
  Node node(type, total);
  uint8_t* out = node.add(total, false);
  int64_t at = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    std::memcpy(out + at, ids[k], static_cast<size_t>(parts[k].len));
    at += parts[k].len;
  }
  for (size_t c = 0; c < t.children.size(); ++c) {
    auto ctype = child_type(t, c);
    if (!ctype) return ctype.take_error();
    std::vector<Part> children;
    children.reserve(parts.size());
    for (const Part& p : parts) children.push_back({p.a->children[c].get(), p.pos(), p.len});
    auto child = concat(*ctype, std::move(children));
    if (!child) return child.take_error();
    node.add_child(std::move(*child));
  }
  return node.finish();
}

Result<ArrayPtr> concat_dense_union(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto child_of = child_of_code(t);
  if (!child_of) return child_of.take_error();
  const size_t n_children = t.children.size();
  std::vector<TypePtr> ctypes;
  for (size_t c = 0; c < n_children; ++c) {
    auto ctype = child_type(t, c);
    if (!ctype) return ctype.take_error();
    ctypes.push_back(*ctype);
  }
  int64_t offset_bytes = 0;
  if (!checked_mul(total, 4, &offset_bytes)) return invalid(type_name(t) + " array too long");
  std::vector<const uint8_t*> ids(parts.size()), offsets(parts.size());
  // Per part and child: the lowest referenced child row and where it lands in the output.
  std::vector<int64_t> lo(parts.size() * n_children), base(parts.size() * n_children);
  std::vector<std::vector<Part>> children(n_children);
  std::vector<int64_t> child_total(n_children, 0);
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    QUELM_CONCAT_TRY(check_layout(p, t, 2, n_children));
    auto v = elements(p, 0, 1, p.len, t, "type ids");
    if (!v) return v.take_error();
    ids[k] = *v;
    auto o = elements(p, 1, 4, p.len, t, "offsets");
    if (!o) return o.take_error();
    offsets[k] = *o;
    QUELM_CONCAT_TRY(check_type_ids(ids[k], p, *child_of, t));
    std::vector<int64_t> child_len(n_children), hi(n_children, -1);
    for (size_t c = 0; c < n_children; ++c) {
      const ArrayData* child = p.a->children[c].get();
      QUELM_CONCAT_TRY(check_rows(child, 0, child != nullptr ? child->length : 0, *ctypes[c]));
      child_len[c] = child->length;
      lo[k * n_children + c] = kInt64Max;
    }
    for (int64_t j = 0; j < p.len; ++j) {
      const size_t c = static_cast<size_t>((*child_of)[static_cast<size_t>(static_cast<int8_t>(ids[k][j]))]);
      const int64_t off = load<int32_t>(offsets[k], j);
      if (off < 0 || off >= child_len[c]) {
        return invalid(type_name(t) + " array: offset " + str(off) + " at row " + str(p.start + j) +
                       " is outside child " + str(static_cast<int64_t>(c)) + " of length " + str(child_len[c]));
      }
      lo[k * n_children + c] = std::min(lo[k * n_children + c], off);
      hi[c] = std::max(hi[c], off);
    }
    for (size_t c = 0; c < n_children; ++c) {
      if (hi[c] < 0) continue;
      const int64_t first = lo[k * n_children + c], count = hi[c] - first + 1;
      base[k * n_children + c] = child_total[c];
      QUELM_CONCAT_TRY(check_total<int32_t>(t, child_total[c], count, &child_total[c], "child rows"));
      children[c].push_back({p.a->children[c].get(), first, count});
    }
  }
  Node node(type, total);
  uint8_t* out_ids = node.add(total, false);
  uint8_t* out_offsets = node.add(offset_bytes, false);
  int64_t row = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    if (p.len > 0) std::memcpy(out_ids + row, ids[k], static_cast<size_t>(p.len));
    for (int64_t j = 0; j < p.len; ++j, ++row) {
      const size_t c = static_cast<size_t>((*child_of)[static_cast<size_t>(static_cast<int8_t>(ids[k][j]))]);
      const int32_t o = static_cast<int32_t>(base[k * n_children + c] + load<int32_t>(offsets[k], j) -
                                             lo[k * n_children + c]);
      std::memcpy(out_offsets + row * 4, &o, 4);
    }
  }
  for (size_t c = 0; c < n_children; ++c) {
    auto child = concat(ctypes[c], std::move(children[c]));
    if (!child) return child.take_error();
    node.add_child(std::move(*child));
  }
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Run-end encoded

template <class R>
Result<ArrayPtr> concat_run_end_encoded(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  auto rtype = child_type(t, 0);
  if (!rtype) return rtype.take_error();
  auto vtype = child_type(t, 1);
  if (!vtype) return vtype.take_error();
  const int64_t max_end = std::numeric_limits<R>::max();
  if (total > max_end) {
    return invalid(type_name(t) + " array: the concatenated length " + str(total) + " does not fit the " +
                   type_name(**rtype) + " run ends");
  }
  struct Runs {
    const uint8_t* ends;  // run ends from the first run in the slice
    int64_t first, count;
  };
  std::vector<Runs> runs(parts.size());
  std::vector<Part> values;
  int64_t n_runs = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    QUELM_CONCAT_TRY(check_layout(p, t, 0, 2));
    const ArrayData* ends = p.a->children[0].get();
    QUELM_CONCAT_TRY(check_rows(ends, 0, ends != nullptr ? ends->length : 0, **rtype));
    const Part all{ends, 0, ends->length};
    QUELM_CONCAT_TRY(check_layout(all, **rtype, 2, 0));
    auto e = elements(all, 1, sizeof(R), all.len, **rtype, "run ends");
    if (!e) return e.take_error();
    const uint8_t* re = *e;
    const int64_t n = ends->length;
    const int64_t from = p.pos(), to = p.pos() + p.len;  // logical rows of the slice
    auto end_at = [&](int64_t i) { return static_cast<int64_t>(load<R>(re, i)); };
    // First run that ends after `from`.
    int64_t a = 0, b = n;
    while (a < b) {
      const int64_t mid = a + (b - a) / 2;
      if (end_at(mid) > from) {
        b = mid;
      } else {
        a = mid + 1;
      }
    }
    const auto not_covered = [&] {
      return invalid(type_name(t) + " array: its " + str(n) + " runs do not cover its " + str(p.a->offset + p.a->length) +
                     " logical rows");
    };
    if (a == n) return not_covered();
    if (end_at(0) <= 0 || (a > 0 && end_at(a - 1) > from)) {
      return invalid(type_name(t) + " array: run ends are not positive and strictly increasing");
    }
    int64_t i = a, prev = end_at(a);
    while (prev < to) {
      if (++i >= n) return not_covered();
      const int64_t cur = end_at(i);
      if (cur <= prev) return invalid(type_name(t) + " array: run ends are not positive and strictly increasing");
      prev = cur;
    }
    runs[k] = {re + a * static_cast<int64_t>(sizeof(R)), a, i - a + 1};
    n_runs += i - a + 1;
    values.push_back({p.a->children[1].get(), a, i - a + 1});
  }
  int64_t end_bytes = 0;
  if (!checked_mul(n_runs, sizeof(R), &end_bytes)) return invalid(type_name(t) + " array too long");
  Node ends_node(*rtype, n_runs);
  ends_node.add_absent();
  uint8_t* out = ends_node.add(end_bytes, false);
  int64_t at = 0, logical = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const int64_t from = parts[k].pos(), to = from + parts[k].len;
    for (int64_t r = 0; r < runs[k].count; ++r, ++at) {
      const int64_t end = std::min(static_cast<int64_t>(load<R>(runs[k].ends, r)), to);
      const R v = static_cast<R>(logical + (end - from));
      std::memcpy(out + at * static_cast<int64_t>(sizeof(R)), &v, sizeof(R));
    }
    logical += parts[k].len;
  }
  auto vals = concat(*vtype, std::move(values));
  if (!vals) return vals.take_error();
  Node node(type, total);
  node.add_child(ends_node.finish());
  node.add_child(std::move(*vals));
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Flat values: the layouts whose values can be compared as byte strings (dictionaries)

enum class Flat { None, Fixed, Boolean, Binary32, Binary64, View };

Flat flat_kind(const DataType& t) {
  if (fixed_width(t) >= 0) return Flat::Fixed;
  switch (t.id) {
    case Type::Boolean:
      return Flat::Boolean;
    case Type::Binary:
    case Type::Utf8:
      return Flat::Binary32;
    case Type::LargeBinary:
    case Type::LargeUtf8:
      return Flat::Binary64;
    case Type::BinaryView:
    case Type::Utf8View:
      return Flat::View;
    default:
      return Flat::None;
  }
}

// Checked read access to the values of a flat array, each as its bytes.
class FlatReader {
 public:
  static Result<FlatReader> make(const DataType& t, const Part& p) {
    FlatReader r;
    r.kind_ = flat_kind(t);
    r.len_ = p.len;
    r.valid_ = validity_at(p);
    r.pos_ = p.pos();
    switch (r.kind_) {
      case Flat::Fixed: {
        QUELM_CONCAT_TRY(check_layout(p, t, 2, 0));
        r.width_ = fixed_width(t);
        auto v = elements(p, 1, r.width_, p.len, t, "values");
        if (!v) return v.take_error();
        r.base_ = *v;
        break;
      }
      case Flat::Boolean:
        QUELM_CONCAT_TRY(check_layout(p, t, 2, 0));
        r.base_ = static_cast<const uint8_t*>(p.a->buffers[1]);
        if (p.len > 0 && r.base_ == nullptr) return invalid("Boolean array without values");
        break;
      case Flat::Binary32:
        QUELM_CONCAT_TRY(r.check_offsets<int32_t>(t, p));
        break;
      case Flat::Binary64:
        QUELM_CONCAT_TRY(r.check_offsets<int64_t>(t, p));
        break;
      case Flat::View: {
        QUELM_CONCAT_TRY(check_layout(p, t, 3, 0));
        auto v = elements(p, 1, kViewSize, p.len, t, "views");
        if (!v) return v.take_error();
        r.base_ = *v;
        auto src = view_source(*p.a, t);
        if (!src) return src.take_error();
        r.views_ = *src;
        for (int64_t j = 0; j < p.len; ++j) {
          std::string_view value;
          if (r.valid_.is_valid(j)) QUELM_CONCAT_TRY(resolve_view(r.base_ + j * kViewSize, r.views_, t, p.start + j, &value));
        }
        break;
      }
      case Flat::None:
        return invalid(type_name(t) + " values cannot be compared");
    }
    return r;
  }

  int64_t length() const { return len_; }
  bool valid(int64_t i) const { return valid_.is_valid(i); }
  // Row i's bytes; precondition: valid(i) (or any row for fixed width and boolean).
  std::string_view value(int64_t i) const {
    static constexpr char kBooleans[2] = {0, 1};
    switch (kind_) {
      case Flat::Fixed:
        return {reinterpret_cast<const char*>(base_) + i * width_, static_cast<size_t>(width_)};
      case Flat::Boolean:
        return {kBooleans + (get_bit(base_, pos_ + i) ? 1 : 0), 1};
      case Flat::Binary32:
        return binary<int32_t>(i);
      case Flat::Binary64:
        return binary<int64_t>(i);
      case Flat::View:
        return view_value(base_ + i * kViewSize, views_);
      case Flat::None:
        break;
    }
    return {};
  }

 private:
  template <class O>
  Status check_offsets(const DataType& t, const Part& p) {
    QUELM_CONCAT_TRY(check_layout(p, t, 3, 0));
    auto offs = elements(p, 1, sizeof(O), p.len + 1, t, "offsets");
    if (!offs) return offs.take_error();
    base_ = *offs;
    int64_t prev = 0;
    for (int64_t j = 0; j <= p.len; ++j) {
      const int64_t cur = static_cast<int64_t>(load<O>(base_, j));
      if (cur < prev) {
        return invalid(type_name(t) + " array with " + (j == 0 ? "a negative offset" : "decreasing offsets") +
                       " at row " + str(p.start + j));
      }
      prev = cur;
    }
    data_ = static_cast<const uint8_t*>(p.a->buffers[2]);
    if (p.len > 0 && prev > static_cast<int64_t>(load<O>(base_, 0)) && data_ == nullptr) {
      return invalid(type_name(t) + " array with offsets but no data buffer");
    }
    return ok_status();
  }
  template <class O>
  std::string_view binary(int64_t i) const {
    const int64_t b = static_cast<int64_t>(load<O>(base_, i)), e = static_cast<int64_t>(load<O>(base_, i + 1));
    if (e == b) return {};
    return {reinterpret_cast<const char*>(data_) + b, static_cast<size_t>(e - b)};
  }

  Flat kind_ = Flat::None;
  int64_t len_ = 0, pos_ = 0, width_ = 0;
  Validity valid_;
  const uint8_t* base_ = nullptr;  // Fixed: values; Boolean: bitmap; Binary: offsets; View: views
  const uint8_t* data_ = nullptr;
  ViewSource views_;
};

// One value of a flat array being gathered: reader and row, or a null (reader null).
struct Pick {
  const FlatReader* reader;
  int64_t row;
};

// Builds an array of the picked values.
Result<ArrayPtr> gather_flat(const TypePtr& type, const std::vector<Pick>& picks) {
  const DataType& t = *type;
  const int64_t n = static_cast<int64_t>(picks.size());
  Node node(type, n);
  int64_t nulls = 0;
  for (const Pick& pick : picks) nulls += pick.reader == nullptr ? 1 : 0;
  if (nulls == 0) {
    node.add_absent();
  } else {
    uint8_t* bits = node.add(bitmap_bytes(n), true);
    for (int64_t i = 0; i < n; ++i) {
      if (picks[static_cast<size_t>(i)].reader != nullptr) set_bit(bits, i);
    }
    node.data().null_count = nulls;
  }
  auto value_of = [&](int64_t i) -> std::string_view {
    const Pick& pick = picks[static_cast<size_t>(i)];
    return pick.reader != nullptr ? pick.reader->value(pick.row) : std::string_view();
  };
  switch (flat_kind(t)) {
    case Flat::Fixed: {
      const int64_t w = fixed_width(t);
      uint8_t* out = node.add(n * w, true);
      for (int64_t i = 0; i < n; ++i) {
        const std::string_view v = value_of(i);
        if (!v.empty()) std::memcpy(out + i * w, v.data(), v.size());
      }
      break;
    }
    case Flat::Boolean: {
      uint8_t* out = node.add(bitmap_bytes(n), true);
      for (int64_t i = 0; i < n; ++i) {
        const std::string_view v = value_of(i);
        if (!v.empty() && v[0] != 0) set_bit(out, i);
      }
      break;
    }
    case Flat::Binary32:
    case Flat::Binary64: {
      const bool large = flat_kind(t) == Flat::Binary64;
      const int64_t w = large ? 8 : 4;
      uint8_t* offsets = node.add((n + 1) * w, false);
      int64_t at = 0;
      for (int64_t i = 0; i <= n; ++i) {
        if (!large && at > kInt32Max) {
          return overflow_error("the merged " + type_name(t) + " dictionary holds " + str(at) +
                                " bytes, more than 32-bit offsets can address (" + str(kInt32Max) + ")");
        }
        if (large) {
          std::memcpy(offsets + i * 8, &at, 8);
        } else {
          const int32_t o = static_cast<int32_t>(at);
          std::memcpy(offsets + i * 4, &o, 4);
        }
        if (i < n && !checked_add(at, static_cast<int64_t>(value_of(i).size()), &at)) {
          return invalid("merged " + type_name(t) + " dictionary beyond the addressable range");
        }
      }
      uint8_t* data = node.add(at, false);
      int64_t pos = 0;
      for (int64_t i = 0; i < n; ++i) {
        const std::string_view v = value_of(i);
        if (!v.empty()) std::memcpy(data + pos, v.data(), v.size());
        pos += static_cast<int64_t>(v.size());
      }
      break;
    }
    case Flat::View: {
      ViewPacker plan;
      for (int64_t i = 0; i < n; ++i) {
        const int64_t len = static_cast<int64_t>(value_of(i).size());
        if (len > kInlineMax) plan.place(len);
      }
      std::vector<uint8_t*> data;
      uint8_t* views = add_view_buffers(node, n, plan, &data);
      ViewPacker packer;
      for (int64_t i = 0; i < n; ++i) write_view(views + i * kViewSize, value_of(i), packer, data);
      break;
    }
    case Flat::None:
      return invalid(type_name(t) + " values cannot be gathered");
  }
  return node.finish();
}

bool same_values(const FlatReader& x, const FlatReader& y) {
  if (x.length() != y.length()) return false;
  for (int64_t i = 0; i < x.length(); ++i) {
    const bool vx = x.valid(i), vy = y.valid(i);
    if (vx != vy) return false;
    if (vx && x.value(i) != y.value(i)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Dictionaries

// True when both arrays are the same memory seen the same way.
bool identical(const ArrayData* x, const ArrayData* y) {
  if (x == y) return true;
  if (x == nullptr || y == nullptr) return false;
  if (x->length != y->length || x->offset != y->offset || x->buffers != y->buffers ||
      x->children.size() != y->children.size()) {
    return false;
  }
  for (size_t c = 0; c < x->children.size(); ++c) {
    if (!identical(x->children[c].get(), y->children[c].get())) return false;
  }
  return identical(x->dictionary.get(), y->dictionary.get());
}

// How one part's keys map to the output: through `table` when set, else key + shift.
struct KeyMap {
  const std::vector<int64_t>* table = nullptr;
  int64_t shift = 0;
  int64_t dict_len = 0;
};

template <class K>
Status remap_keys(const TypePtr& type, const std::vector<Part>& parts, const std::vector<KeyMap>& maps,
                  uint8_t* out) {
  const DataType& t = *type;
  constexpr int64_t key_max =
      std::is_same_v<K, uint64_t> ? kInt64Max : static_cast<int64_t>(std::numeric_limits<K>::max());
  int64_t row = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Part& p = parts[k];
    const KeyMap& m = maps[k];
    auto keys = elements(p, 1, sizeof(K), p.len, t, "keys");
    if (!keys) return keys.take_error();
    const Validity valid = validity_at(p);
    for (int64_t j = 0; j < p.len; ++j, ++row) {
      K key_out = 0;
      if (valid.is_valid(j)) {
        const K raw = load<K>(*keys, j);
        const bool negative = std::numeric_limits<K>::is_signed && raw < K{0};
        if (negative || static_cast<uint64_t>(raw) >= static_cast<uint64_t>(m.dict_len)) {
          return invalid(type_name(t) + " array: key " +
                         (negative ? str(static_cast<int64_t>(raw)) : std::to_string(static_cast<uint64_t>(raw))) +
                         " at row " + str(p.start + j) + " is outside the dictionary of length " + str(m.dict_len));
        }
        const int64_t key = static_cast<int64_t>(raw);
        const int64_t mapped = m.table != nullptr ? (*m.table)[static_cast<size_t>(key)] : key + m.shift;
        if (mapped > key_max) {
          return invalid(type_name(t) + " array: after merging the dictionaries, key " + str(mapped) +
                         " does not fit the index type (at most " + str(key_max) + ")");
        }
        key_out = static_cast<K>(mapped);
      }
      std::memcpy(out + row * static_cast<int64_t>(sizeof(K)), &key_out, sizeof(K));
    }
  }
  return ok_status();
}

int64_t index_width(Type index) {
  const int32_t bytes = internal::integer_bytes(index);
  return bytes == 0 ? -1 : bytes;
}

Status remap_any(Type index, const TypePtr& type, const std::vector<Part>& parts, const std::vector<KeyMap>& maps,
                 uint8_t* out) {
  switch (index) {
    case Type::Int8:
      return remap_keys<int8_t>(type, parts, maps, out);
    case Type::UInt8:
      return remap_keys<uint8_t>(type, parts, maps, out);
    case Type::Int16:
      return remap_keys<int16_t>(type, parts, maps, out);
    case Type::UInt16:
      return remap_keys<uint16_t>(type, parts, maps, out);
    case Type::Int32:
      return remap_keys<int32_t>(type, parts, maps, out);
    case Type::UInt32:
      return remap_keys<uint32_t>(type, parts, maps, out);
    case Type::Int64:
      return remap_keys<int64_t>(type, parts, maps, out);
    case Type::UInt64:
      return remap_keys<uint64_t>(type, parts, maps, out);
    default:
      return invalid(type_name(*type) + " type with a non-integer index type");
  }
}

Result<ArrayPtr> concat_dictionary(const TypePtr& type, const std::vector<Part>& parts, int64_t total) {
  const DataType& t = *type;
  if (t.dictionary == nullptr || t.dictionary->type == nullptr) {
    return invalid(type_name(t) + " type without its value type");
  }
  const TypePtr& vtype = t.dictionary->type;
  const int64_t width = index_width(t.index);
  if (width < 0) return invalid(type_name(t) + " type with a non-integer index type");
  int64_t key_bytes = 0;
  if (!checked_mul(total, width, &key_bytes)) return invalid(type_name(t) + " array too long");

  std::vector<Part> dicts;
  dicts.reserve(parts.size());
  for (const Part& p : parts) {
    QUELM_CONCAT_TRY(check_layout(p, t, 2, 0));
    const ArrayData* d = p.a->dictionary.get();
    if (d == nullptr) return invalid(type_name(t) + " array without its dictionary");
    QUELM_CONCAT_TRY(check_rows(d, 0, d->length, *vtype));
    dicts.push_back({d, 0, d->length});
  }

  std::vector<KeyMap> maps(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) maps[k].dict_len = dicts[k].len;
  ArrayPtr dictionary;

  // One dictionary for all parts: the same memory, or (flat values) the same values.
  bool same = true;
  for (size_t k = 1; k < dicts.size() && same; ++k) same = identical(dicts[k].a, dicts[0].a);
  const bool flat = flat_kind(*vtype) != Flat::None;
  std::vector<FlatReader> readers;
  if (!same && flat) {
    readers.reserve(dicts.size());
    for (const Part& d : dicts) {
      auto r = FlatReader::make(*vtype, d);
      if (!r) return r.take_error();
      readers.push_back(std::move(*r));
    }
    same = true;
    for (size_t k = 1; k < readers.size() && same; ++k) {
      same = identical(dicts[k].a, dicts[k - 1].a) || same_values(readers[k], readers[0]);
    }
  }

  std::vector<std::vector<int64_t>> tables;
  if (same) {
    std::vector<Part> first;
    if (!dicts.empty()) first.push_back(dicts[0]);
    auto d = concat(vtype, std::move(first));
    if (!d) return d.take_error();
    dictionary = std::move(*d);
  } else if (flat) {
    // Unify: every distinct value once (nulls share one entry), in order of appearance.
    std::unordered_map<std::string_view, int64_t> index;
    std::vector<Pick> picks;
    int64_t null_entry = -1;
    tables.resize(dicts.size());
    for (size_t k = 0; k < dicts.size(); ++k) {
      if (k > 0 && identical(dicts[k].a, dicts[k - 1].a)) {
        maps[k].table = maps[k - 1].table;
        continue;
      }
      const FlatReader& r = readers[k];
      std::vector<int64_t>& table = tables[k];
      table.resize(static_cast<size_t>(r.length()));
      for (int64_t j = 0; j < r.length(); ++j) {
        if (!r.valid(j)) {
          if (null_entry < 0) {
            null_entry = static_cast<int64_t>(picks.size());
            picks.push_back({nullptr, 0});
          }
          table[static_cast<size_t>(j)] = null_entry;
          continue;
        }
        const auto [it, inserted] = index.try_emplace(r.value(j), static_cast<int64_t>(picks.size()));
        if (inserted) picks.push_back({&r, j});
        table[static_cast<size_t>(j)] = it->second;
      }
      maps[k].table = &table;
    }
    auto d = gather_flat(vtype, picks);
    if (!d) return d.take_error();
    dictionary = std::move(*d);
  } else {
    // Append the dictionaries (each run of identical ones once) and shift the keys.
    std::vector<Part> distinct;
    int64_t shift = 0;
    for (size_t k = 0; k < dicts.size(); ++k) {
      if (k > 0 && identical(dicts[k].a, dicts[k - 1].a)) {
        maps[k].shift = maps[k - 1].shift;
        continue;
      }
      maps[k].shift = shift;
      if (!checked_add(shift, dicts[k].len, &shift)) return invalid(type_name(t) + " dictionaries too long");
      distinct.push_back(dicts[k]);
    }
    auto d = concat(vtype, std::move(distinct));
    if (!d) return d.take_error();
    dictionary = std::move(*d);
  }

  Node node(type, total);
  concat_validity(parts, total, node);
  uint8_t* keys = node.add(key_bytes, false);
  QUELM_CONCAT_TRY(remap_any(t.index, type, parts, maps, keys));
  node.data().dictionary = std::move(dictionary);
  return node.finish();
}

// ---------------------------------------------------------------------------------------
// Dispatch

Result<ArrayPtr> concat(const TypePtr& type, std::vector<Part> parts) {
  if (type == nullptr) return invalid("array without a type");
  const DataType& t = *type;
  std::vector<Part> live;
  live.reserve(parts.size());
  int64_t total = 0;
  for (const Part& p : parts) {
    QUELM_CONCAT_TRY(check_rows(p.a, p.start, p.len, t));
    if (p.len == 0) continue;
    if (!checked_add(total, p.len, &total)) return invalid(type_name(t) + " arrays too long to concatenate");
    live.push_back(p);
  }
  if (const int64_t width = fixed_width(t); width >= 0) return concat_fixed(type, live, total, width);
  switch (t.id) {
    case Type::Null:
      return concat_null(type, live, total);
    case Type::Boolean:
      return concat_boolean(type, live, total);
    case Type::Binary:
    case Type::Utf8:
      return concat_binary<int32_t>(type, live, total);
    case Type::LargeBinary:
    case Type::LargeUtf8:
      return concat_binary<int64_t>(type, live, total);
    case Type::BinaryView:
    case Type::Utf8View:
      return concat_views(type, live, total);
    case Type::List:
    case Type::Map:
      return concat_list<int32_t>(type, live, total);
    case Type::LargeList:
      return concat_list<int64_t>(type, live, total);
    case Type::ListView:
      return concat_list_view<int32_t>(type, live, total);
    case Type::LargeListView:
      return concat_list_view<int64_t>(type, live, total);
    case Type::FixedSizeList:
      return concat_fixed_size_list(type, live, total);
    case Type::Struct:
      return concat_struct(type, live, total);
    case Type::SparseUnion:
      return concat_sparse_union(type, live, total);
    case Type::DenseUnion:
      return concat_dense_union(type, live, total);
    case Type::RunEndEncoded: {
      auto rtype = child_type(t, 0);
      if (!rtype) return rtype.take_error();
      switch ((*rtype)->id) {
        case Type::Int16:
          return concat_run_end_encoded<int16_t>(type, live, total);
        case Type::Int32:
          return concat_run_end_encoded<int32_t>(type, live, total);
        case Type::Int64:
          return concat_run_end_encoded<int64_t>(type, live, total);
        default:
          return invalid(type_name(t) + " type with run ends of type " + type_name(**rtype));
      }
    }
    case Type::Dictionary:
      return concat_dictionary(type, live, total);
    default:
      return invalid("concatenation of " + type_name(t) + " arrays is not supported");
  }
}

}  // namespace

Result<RecordBatch> concat_batches(const std::vector<RecordBatch>& batches, const SchemaPtr& schema) {
  if (schema == nullptr) return invalid("record batches to concatenate need a schema");
  const size_t n_columns = schema->fields.size();
  int64_t rows = 0;
  for (size_t b = 0; b < batches.size(); ++b) {
    const RecordBatch& batch = batches[b];
    if (batch.columns.size() != n_columns) {
      return invalid("record batch " + str(static_cast<int64_t>(b)) + " has " +
                     str(static_cast<int64_t>(batch.columns.size())) + " columns, the schema " +
                     str(static_cast<int64_t>(n_columns)));
    }
    if (batch.num_rows < 0 || !checked_add(rows, batch.num_rows, &rows)) {
      return invalid("record batch " + str(static_cast<int64_t>(b)) + " has an invalid row count");
    }
  }
  RecordBatch out;
  out.schema = schema;
  out.num_rows = rows;
  out.columns.reserve(n_columns);
  try {
    for (size_t c = 0; c < n_columns; ++c) {
      const FieldPtr& field = schema->fields[c];
      if (field == nullptr || field->type == nullptr) return invalid("schema field " + str(static_cast<int64_t>(c)) + " without a type");
      std::vector<Part> parts;
      parts.reserve(batches.size());
      for (size_t b = 0; b < batches.size(); ++b) {
        const RecordBatch& batch = batches[b];
        if (batch.num_rows == 0) continue;
        const ArrayData* column = batch.columns[c].get();
        if (column == nullptr) {
          return invalid("column '" + field->name + "' missing in record batch " + str(static_cast<int64_t>(b)));
        }
        parts.push_back({column, 0, batch.num_rows});
      }
      auto column = concat(field->type, std::move(parts));
      if (!column) {
        Error e = column.take_error();
        e.message += " (column '" + field->name + "')";
        return e;
      }
      out.columns.push_back(std::move(*column));
    }
  } catch (const std::bad_alloc&) {
    return Error{"Memory error: out of memory while concatenating record batches"};
  } catch (const std::length_error&) {
    return Error{"Memory error: out of memory while concatenating record batches"};
  }
  return out;
}

}  // namespace quelm::arrow

#undef QUELM_CONCAT_TRY
