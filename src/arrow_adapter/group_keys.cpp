#include <charconv>
#include <cmath>
#include <cstring>

#include "arrow_adapter/groups.hpp"

namespace quelm::adapter {

namespace {

using arrow::Type;

constexpr const char* kNullKey = "__null__";

// Interns texts of one column: one hash lookup per row.
class TextInterner {
 public:
  explicit TextInterner(GroupKeyColumn& out) : out_(out) {}
  uint32_t id(std::string_view text) {
    const uint32_t id = labels_.intern(text);
    if (id == out_.texts.size()) out_.texts.emplace_back(text);
    return id;
  }

 private:
  GroupKeyColumn& out_;
  Labels labels_;
};

// Value bits -> id, open addressing (one probe for most rows).
class BitsTable {
 public:
  BitsTable() { rehash(64); }
  uint32_t get(uint64_t bits, uint32_t next_id, bool& inserted) {
    size_t pos = home(bits);
    while (true) {
      const Slot& slot = slots_[pos];
      if (slot.id == kEmpty) break;
      if (slot.bits == bits) return slot.id;
      pos = (pos + 1) & mask_;
    }
    slots_[pos] = Slot{bits, next_id};
    inserted = true;
    if (++size_ * 2 > slots_.size()) rehash(slots_.size() * 2);
    return next_id;
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint64_t bits;
    uint32_t id;
  };
  size_t home(uint64_t x) const {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x) & mask_;
  }
  void rehash(size_t cap) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(cap, Slot{0, kEmpty});
    mask_ = cap - 1;
    for (const Slot& s : old) {
      if (s.id == kEmpty) continue;
      size_t pos = home(s.bits);
      while (slots_[pos].id != kEmpty) pos = (pos + 1) & mask_;
      slots_[pos] = s;
    }
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

template <class T>
GroupKeyColumn numeric_keys(const arrow::ArrayData& array) {
  GroupKeyColumn out;
  const int64_t n = array.length;
  out.ids.resize(static_cast<size_t>(n));
  const void* values = arrow::values_of(array);
  const arrow::Validity validity = arrow::validity_of(array);
  // Keyed by the value's bits; the texts of distinct bit patterns (NaN payloads) may
  // coincide and are merged by the callers, which compare texts.
  BitsTable ids;
  uint32_t null_id = UINT32_MAX;
  const bool check = !validity.all_valid();
  for (int64_t i = 0; i < n; ++i) {
    uint32_t id;
    if (check && !validity.is_valid(i)) {
      if (null_id == UINT32_MAX) {
        null_id = static_cast<uint32_t>(out.texts.size());
        out.texts.emplace_back(kNullKey);
      }
      id = null_id;
    } else {
      const T v = arrow::load<T>(values, i);
      uint64_t bits = 0;
      std::memcpy(&bits, &v, sizeof v);
      bool inserted = false;
      id = ids.get(bits, static_cast<uint32_t>(out.texts.size()), inserted);
      if (inserted) {
        if constexpr (std::is_same_v<T, double>) {
          out.texts.push_back(float_key_text(v));
        } else {
          out.texts.push_back(std::to_string(v));
        }
      }
    }
    out.ids[static_cast<size_t>(i)] = id;
  }
  return out;
}

Result<GroupKeyColumn> text_keys(const arrow::ArrayPtr& array, const std::string& name) {
  auto texts = arrow::TextArray::make(array);
  if (!texts.ok()) return column_data_error(name, texts.take_error());
  GroupKeyColumn out;
  TextInterner interner(out);
  const int64_t n = texts->length();
  out.ids.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    out.ids[static_cast<size_t>(i)] = interner.id(texts->is_valid(i) ? texts->value(i) : std::string_view(kNullKey));
  }
  return out;
}

Result<GroupKeyColumn> dictionary_keys(const arrow::ArrayPtr& array, const std::string& name) {
  auto dict = arrow::DictionaryArray::make(array);
  if (!dict.ok()) return column_data_error(name, dict.take_error());
  auto entries = arrow::TextArray::make(dict->dictionary());
  if (!entries.ok()) return column_data_error(name, entries.take_error());
  GroupKeyColumn out;
  TextInterner interner(out);
  const uint32_t null_id = interner.id(kNullKey);
  // Each dictionary entry's text is interned once.
  std::vector<uint32_t> slots(static_cast<size_t>(entries->length()), UINT32_MAX);
  const int64_t n = dict->length();
  out.ids.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    uint32_t id = null_id;
    if (dict->key_valid(i)) {
      const auto k = static_cast<int64_t>(dict->key(i));
      uint32_t& slot = slots[static_cast<size_t>(k)];
      if (slot == UINT32_MAX) slot = entries->is_valid(k) ? interner.id(entries->value(k)) : null_id;
      id = slot;
    }
    out.ids[static_cast<size_t>(i)] = id;
  }
  return out;
}

}  // namespace

std::string float_key_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

Result<GroupKeyColumn> group_key_texts(const arrow::RecordBatch& batch, const std::string& name) {
  const int64_t index = batch.schema->find(name);
  if (index < 0) return Error{"Group column '" + name + "' not found"};
  const arrow::ArrayPtr& column = batch.columns[static_cast<size_t>(index)];
  const arrow::DataType& type = *batch.schema->fields[static_cast<size_t>(index)]->type;
  if (arrow::is_text(type)) return text_keys(column, name);
  switch (type.id) {
    case Type::Dictionary:
      if (arrow::is_text(type.value_type())) return dictionary_keys(column, name);
      break;
    case Type::Int32: return numeric_keys<int32_t>(*column);
    case Type::Int64: return numeric_keys<int64_t>(*column);
    case Type::Float64: return numeric_keys<double>(*column);
    default: break;
  }
  return Error{"Unsupported group column type: " + type.debug_name()};
}

}  // namespace quelm::adapter
