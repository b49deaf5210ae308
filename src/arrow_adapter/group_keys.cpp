#include <charconv>
#include <cmath>
#include <cstring>

#include <algorithm>
#include <optional>
#include <type_traits>

#include "arrow_adapter/groups.hpp"
#include "pool/pool.hpp"

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

// Rows per chunk of the parallel key pass, at least.
constexpr int64_t kMinChunkRows = int64_t{1} << 16;

// One chunk's distinct values in order of first appearance; row i's id in the chunk's
// numbering is written to ids[i].
struct ChunkValues {
  std::vector<uint64_t> bits;  // the value bits of each local id
  uint32_t null_id = UINT32_MAX;
};

template <class T>
void chunk_keys(const void* values, const arrow::Validity& validity, int64_t lo, int64_t hi, uint32_t* ids,
                ChunkValues& out) {
  // Keyed by the value's bits; the texts of distinct bit patterns (NaN payloads) may
  // coincide and are merged by the callers, which compare texts.
  BitsTable table;
  const bool check = !validity.all_valid();
  for (int64_t i = lo; i < hi; ++i) {
    uint32_t id;
    if (check && !validity.is_valid(i)) {
      if (out.null_id == UINT32_MAX) {
        out.null_id = static_cast<uint32_t>(out.bits.size());
        out.bits.push_back(0);
      }
      id = out.null_id;
    } else {
      const T v = arrow::load<T>(values, i);
      uint64_t bits = 0;
      std::memcpy(&bits, &v, sizeof v);
      bool inserted = false;
      id = table.get(bits, static_cast<uint32_t>(out.bits.size()), inserted);
      if (inserted) out.bits.push_back(bits);
    }
    ids[i] = id;
  }
}

template <class T>
std::string value_text(uint64_t bits) {
  T v;
  std::memcpy(&v, &bits, sizeof v);
  if constexpr (std::is_same_v<T, double>) {
    return float_key_text(v);
  } else {
    return std::to_string(v);
  }
}

// Ids in order of first appearance over the whole column. Contiguous chunks of rows are
// keyed on the task pool, each with its own numbering; the chunks' values are then
// numbered in chunk order (so the first chunk keeps its ids) and the later chunks' ids
// are renumbered, again in parallel.
template <class T>
GroupKeyColumn numeric_keys(const arrow::ArrayData& array) {
  GroupKeyColumn out;
  const int64_t n = array.length;
  out.ids.resize(static_cast<size_t>(n));
  const void* values = arrow::values_of(array);
  const arrow::Validity validity = arrow::validity_of(array);
  const auto chunks = static_cast<size_t>(
      std::max<int64_t>(1, std::min<int64_t>(static_cast<int64_t>(pool::worker_count()), n / kMinChunkRows)));
  const int64_t per_chunk = (n + static_cast<int64_t>(chunks) - 1) / static_cast<int64_t>(chunks);
  auto chunk_lo = [&](size_t c) { return std::min(n, static_cast<int64_t>(c) * per_chunk); };

  std::vector<ChunkValues> local(chunks);
  pool::parallel_for(chunks, [&](size_t c) -> std::optional<std::string> {
    chunk_keys<T>(values, validity, chunk_lo(c), chunk_lo(c + 1), out.ids.data(), local[c]);
    return std::nullopt;
  });

  BitsTable global;
  uint32_t null_id = UINT32_MAX;
  std::vector<std::vector<uint32_t>> renumber(chunks);
  for (size_t c = 0; c < chunks; ++c) {
    const ChunkValues& v = local[c];
    std::vector<uint32_t>& to = renumber[c];
    to.resize(v.bits.size());
    for (size_t l = 0; l < v.bits.size(); ++l) {
      if (l == v.null_id) {
        if (null_id == UINT32_MAX) {
          null_id = static_cast<uint32_t>(out.texts.size());
          out.texts.emplace_back(kNullKey);
        }
        to[l] = null_id;
        continue;
      }
      bool inserted = false;
      to[l] = global.get(v.bits[l], static_cast<uint32_t>(out.texts.size()), inserted);
      if (inserted) out.texts.push_back(value_text<T>(v.bits[l]));
    }
  }
  if (chunks > 1) {
    pool::parallel_for(chunks - 1, [&](size_t j) -> std::optional<std::string> {
      const size_t c = j + 1;
      const uint32_t* to = renumber[c].data();
      uint32_t* ids = out.ids.data();
      const int64_t hi = chunk_lo(c + 1);
      for (int64_t i = chunk_lo(c); i < hi; ++i) ids[i] = to[ids[i]];
      return std::nullopt;
    });
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
