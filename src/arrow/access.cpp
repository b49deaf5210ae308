// Reading arrays: validity, fixed-width values, texts and dictionary keys.
//
// Import checks only the structure of the arrays; the values that steer reads (text
// offsets, view buffer indices and ranges, dictionary keys) are checked here, once per
// array in make(), so that the per-row accessors can read without further tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow/internal.hpp"

namespace quelm::arrow {

using namespace internal;

namespace {

std::string str(int64_t v) { return std::to_string(v); }

std::string type_of(const ArrayData& a) { return a.type != nullptr ? a.type->debug_name() : std::string("Null"); }

// Byte pointer to element `index` of `width` bytes from `base`, or null on overflow.
const unsigned char* element(const void* base, int64_t index, int64_t width) {
  int64_t bytes = 0;
  if (!checked_mul(index, width, &bytes)) return nullptr;
  return static_cast<const unsigned char*>(base) + bytes;
}

}  // namespace

Validity validity_of(const ArrayData& array) {
  Validity v;
  if (array.null_count == 0 || array.buffers.empty() || array.buffers[0] == nullptr) return v;
  if (array.type != nullptr && !has_validity_buffer(*array.type)) return v;
  v.bits = static_cast<const uint8_t*>(array.buffers[0]);
  v.bit_offset = array.offset;
  return v;
}

const void* values_of(const ArrayData& array) {
  if (array.length == 0 || array.type == nullptr || array.buffers.size() < 2 || array.buffers[1] == nullptr) {
    return nullptr;
  }
  if (layout_of(*array.type) != Layout::FixedWidth) return nullptr;
  const int32_t width = fixed_width_bytes(*array.type);
  if (width <= 0) return nullptr;
  return element(array.buffers[1], array.offset, width);
}

// ---------------------------------------------------------------------------------------
// Texts

namespace {

template <class Offset>
Status check_offsets(const void* offsets, int64_t length, const void* data, const std::string& type) {
  Offset prev = load<Offset>(offsets, 0);
  const Offset first = prev;
  if (first < 0) return invalid(type + " array with a negative first offset " + str(first));
  for (int64_t i = 1; i <= length; ++i) {
    const Offset v = load<Offset>(offsets, i);
    if (v < prev) {
      return invalid(type + " array with decreasing offsets " + str(prev) + " and " + str(v) + " at row " + str(i - 1));
    }
    prev = v;
  }
  if (prev > first && data == nullptr) {
    return invalid(type + " array whose offsets span " + str(static_cast<int64_t>(prev - first)) +
                   " bytes without a data buffer");
  }
  return ok_status();
}

int32_t view_int(const unsigned char* view, int at) {
  int32_t v;
  std::memcpy(&v, view + at, sizeof v);
  return v;
}

}  // namespace

Result<TextArray> TextArray::make(const ArrayPtr& array) {
  if (array == nullptr || array->type == nullptr) return invalid("text array expected, got no array");
  const ArrayData& a = *array;
  const Type id = a.type->id;
  if (!is_text(*a.type)) return invalid("text array (Utf8, LargeUtf8 or Utf8View) expected, got " + type_of(a));
  TextArray out;
  out.array_ = array;
  out.kind_ = id;
  out.length_ = a.length;
  out.validity_ = validity_of(a);
  if (a.length < 0 || a.offset < 0) return invalid(type_of(a) + " array with a negative length or offset");
  if (a.length == 0) return out;
  const std::string type = type_of(a);
  if (a.buffers.size() < 3) return invalid(type + " array with " + str(static_cast<int64_t>(a.buffers.size())) + " buffers");

  if (id == Type::Utf8 || id == Type::LargeUtf8) {
    const int64_t width = id == Type::Utf8 ? 4 : 8;
    if (a.buffers[1] == nullptr) return invalid(type + " array of length " + str(a.length) + " without offsets");
    int64_t end = 0;
    if (!checked_add(a.offset, a.length, &end) || !checked_mul(end + 1, width, &end)) {
      return invalid(type + " array whose offsets lie beyond the addressable range");
    }
    out.offsets_ = element(a.buffers[1], a.offset, width);
    out.data_ = static_cast<const char*>(a.buffers[2]);
    Status s = id == Type::Utf8 ? check_offsets<int32_t>(out.offsets_, a.length, out.data_, type)
                                : check_offsets<int64_t>(out.offsets_, a.length, out.data_, type);
    if (!s) return s.take_error();
    return out;
  }

  // Utf8View: validity, views, data buffers..., sizes.
  const size_t n_data = a.buffers.size() - 3;
  if (a.buffers[1] == nullptr) return invalid(type + " array of length " + str(a.length) + " without views");
  int64_t end = 0;
  if (!checked_add(a.offset, a.length, &end) || !checked_mul(end, 16, &end)) {
    return invalid(type + " array whose views lie beyond the addressable range");
  }
  const void* sizes_buffer = a.buffers.back();
  if (n_data > 0 && sizes_buffer == nullptr) return invalid(type + " array without the sizes of its data buffers");
  std::vector<int64_t> sizes(n_data);
  out.data_buffers_.resize(n_data);
  for (size_t j = 0; j < n_data; ++j) {
    sizes[j] = load<int64_t>(sizes_buffer, static_cast<int64_t>(j));
    out.data_buffers_[j] = static_cast<const char*>(a.buffers[2 + j]);
    if (sizes[j] < 0) return invalid(type + " array whose data buffer " + str(static_cast<int64_t>(j)) + " has a negative size");
    if (sizes[j] > 0 && out.data_buffers_[j] == nullptr) {
      return invalid(type + " array whose data buffer " + str(static_cast<int64_t>(j)) + " of " + str(sizes[j]) +
                     " bytes is null");
    }
  }
  out.views_ = element(a.buffers[1], a.offset, 16);
  const auto* views = static_cast<const unsigned char*>(out.views_);
  for (int64_t i = 0; i < a.length; ++i) {
    // Views of null rows are never read (value() gives an empty text for them).
    if (!out.validity_.is_valid(i)) continue;
    const unsigned char* view = views + i * 16;
    const int32_t len = view_int(view, 0);
    if (len < 0) return invalid(type + " array with a negative length " + str(len) + " at row " + str(i));
    if (len <= 12) continue;
    const int32_t buffer = view_int(view, 8);
    const int32_t offset = view_int(view, 12);
    if (buffer < 0 || static_cast<size_t>(buffer) >= n_data) {
      return invalid(type + " array whose row " + str(i) + " refers to data buffer " + str(buffer) + " of " +
                     str(static_cast<int64_t>(n_data)));
    }
    if (offset < 0 || static_cast<int64_t>(offset) + len > sizes[static_cast<size_t>(buffer)]) {
      return invalid(type + " array whose row " + str(i) + " refers to bytes " + str(offset) + ".." +
                     str(static_cast<int64_t>(offset) + len) + " of data buffer " + str(buffer) + " of " +
                     str(sizes[static_cast<size_t>(buffer)]) + " bytes");
    }
  }
  return out;
}

std::optional<std::string_view> TextArray::value_bytes() const {
  if (length_ == 0 || (kind_ != Type::Utf8 && kind_ != Type::LargeUtf8)) return std::nullopt;
  int64_t b = 0;
  int64_t e = 0;
  if (kind_ == Type::Utf8) {
    b = load<int32_t>(offsets_, 0);
    e = load<int32_t>(offsets_, length_);
  } else {
    b = load<int64_t>(offsets_, 0);
    e = load<int64_t>(offsets_, length_);
  }
  if (e <= b) return std::string_view();
  return std::string_view(data_ + b, static_cast<size_t>(e - b));
}

std::string_view TextArray::other_value(int64_t i) const {
  switch (kind_) {
    case Type::LargeUtf8: {
      const int64_t b = load<int64_t>(offsets_, i), e = load<int64_t>(offsets_, i + 1);
      if (e == b) return {};
      return {data_ + b, static_cast<size_t>(e - b)};
    }
    default: {
      if (!validity_.is_valid(i)) return {};
      const auto* view = static_cast<const unsigned char*>(views_) + i * 16;
      const int32_t len = view_int(view, 0);
      if (len == 0) return {};
      if (len <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<size_t>(len)};
      const char* base = data_buffers_[static_cast<size_t>(view_int(view, 8))];
      return {base + view_int(view, 12), static_cast<size_t>(len)};
    }
  }
}

// ---------------------------------------------------------------------------------------
// Dictionaries

namespace {

template <class Key>
Status check_keys(const void* keys, int64_t length, const Validity& validity, int64_t dict_length,
                  const std::string& type) {
  for (int64_t i = 0; i < length; ++i) {
    if (!validity.is_valid(i)) continue;
    const Key k = load<Key>(keys, i);
    bool bad = false;
    if constexpr (std::is_signed_v<Key>) {
      bad = k < 0 || static_cast<int64_t>(k) >= dict_length;
    } else {
      bad = static_cast<uint64_t>(k) >= static_cast<uint64_t>(dict_length);
    }
    if (bad) {
      const std::string key = std::is_signed_v<Key> ? std::to_string(static_cast<int64_t>(k))
                                                    : std::to_string(static_cast<uint64_t>(k));
      return invalid(type + " array whose key " + key + " at row " + str(i) + " is outside its dictionary of length " +
                     str(dict_length));
    }
  }
  return ok_status();
}

}  // namespace

Result<DictionaryArray> DictionaryArray::make(const ArrayPtr& array) {
  if (array == nullptr || array->type == nullptr) return invalid("dictionary array expected, got no array");
  const ArrayData& a = *array;
  const DataType& t = *a.type;
  if (t.id != Type::Dictionary) return invalid("dictionary array expected, got " + type_of(a));
  const std::string type = type_of(a);
  if (a.dictionary == nullptr) return invalid(type + " array without its dictionary");
  const int32_t width = integer_bytes(t.index);
  if (width == 0) return invalid(type + " array with a non-integer index type");
  if (a.length < 0 || a.offset < 0) return invalid(type + " array with a negative length or offset");
  DictionaryArray out;
  out.array_ = array;
  out.index_ = t.index;
  out.length_ = a.length;
  out.validity_ = validity_of(a);
  if (a.length == 0) return out;
  if (a.buffers.size() < 2 || a.buffers[1] == nullptr) {
    return invalid(type + " array of length " + str(a.length) + " without keys");
  }
  int64_t end = 0;
  if (!checked_add(a.offset, a.length, &end) || !checked_mul(end, width, &end)) {
    return invalid(type + " array whose keys lie beyond the addressable range");
  }
  out.keys_ = element(a.buffers[1], a.offset, width);
  const int64_t n = a.dictionary->length;
  Status s = ok_status();
  switch (t.index) {
    case Type::Int8: s = check_keys<int8_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::Int16: s = check_keys<int16_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::Int32: s = check_keys<int32_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::Int64: s = check_keys<int64_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::UInt8: s = check_keys<uint8_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::UInt16: s = check_keys<uint16_t>(out.keys_, a.length, out.validity_, n, type); break;
    case Type::UInt32: s = check_keys<uint32_t>(out.keys_, a.length, out.validity_, n, type); break;
    default: s = check_keys<uint64_t>(out.keys_, a.length, out.validity_, n, type); break;
  }
  if (!s) return s.take_error();
  return out;
}

uint64_t DictionaryArray::key(int64_t i) const {
  switch (index_) {
    case Type::Int8: return static_cast<uint64_t>(load<int8_t>(keys_, i));
    case Type::Int16: return static_cast<uint64_t>(load<int16_t>(keys_, i));
    case Type::Int32: return static_cast<uint64_t>(load<int32_t>(keys_, i));
    case Type::Int64: return static_cast<uint64_t>(load<int64_t>(keys_, i));
    case Type::UInt8: return load<uint8_t>(keys_, i);
    case Type::UInt16: return load<uint16_t>(keys_, i);
    case Type::UInt32: return load<uint32_t>(keys_, i);
    default: return load<uint64_t>(keys_, i);
  }
}

// ---------------------------------------------------------------------------------------
// Texts through up to two dictionary levels

Result<ResolvedText> ResolvedText::make(const ArrayPtr& array) {
  if (array == nullptr || array->type == nullptr) return invalid("text column expected, got no array");
  ResolvedText out;
  ArrayPtr level = array;
  while (level->type != nullptr && level->type->id == Type::Dictionary) {
    if (out.dicts_.size() == 2) break;
    auto d = DictionaryArray::make(level);
    if (!d) return d.take_error();
    out.dicts_.push_back(std::move(d).value());
    level = level->dictionary;
  }
  if (level->type == nullptr || !is_text(*level->type)) {
    return invalid("text column (Utf8, LargeUtf8, Utf8View or a dictionary of them) expected, got " + type_of(*array));
  }
  auto texts = TextArray::make(level);
  if (!texts) return texts.take_error();
  out.texts_ = std::move(texts).value();
  return out;
}

int64_t ResolvedText::length() const {
  if (!dicts_.empty()) return dicts_.front().length();
  return texts_.has_value() ? texts_->length() : 0;
}

bool ResolvedText::is_valid(int64_t i) const {
  int64_t pos = i;
  for (const DictionaryArray& d : dicts_) {
    if (!d.key_valid(pos)) return false;
    pos = static_cast<int64_t>(d.key(pos));
  }
  return texts_->is_valid(pos);
}

std::string_view ResolvedText::value(int64_t i) const {
  int64_t pos = i;
  for (const DictionaryArray& d : dicts_) {
    if (!d.key_valid(pos)) return {};
    pos = static_cast<int64_t>(d.key(pos));
  }
  return texts_->value(pos);
}

}  // namespace quelm::arrow
