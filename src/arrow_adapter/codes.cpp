#include "arrow_adapter/codes.hpp"

#include <optional>

#include "pool/pool.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace quelm::adapter {

namespace {

using arrow::ArrayData;
using arrow::Type;

bool is_text_or_text_dictionary(const arrow::DataType& type, int depth) {
  if (arrow::is_text(type)) return true;
  if (type.id == Type::Dictionary && depth < 2) return is_text_or_text_dictionary(type.value_type(), depth + 1);
  return false;
}

int64_t widen_float(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// ---------------------------------------------------------------------------------------
// Category index building. A coder maps row i to its category (creating categories in
// order of first appearance) or to kNullRow; the index starts at one byte per row and is
// widened when the categories outgrow it.

constexpr uint32_t kNullRow = UINT32_MAX;

// Fills out[from, n) with the categories; stops at the first row whose category does not
// fit T (the largest value of T stands for "no category" until the end). Returns the row
// where it stopped.
template <class T, class Coder>
size_t fill_index(T* out, size_t from, size_t n, const Coder& shared, bool& any_null) {
  constexpr uint32_t kLimit = std::numeric_limits<T>::max();
  // A local copy: its fields stay in registers although `out` may alias anything.
  const Coder coder = shared;
  bool nulls = false;
  for (size_t i = from; i < n; ++i) {
    const uint32_t c = coder(i);
    if (c == kNullRow) {
      out[i] = static_cast<T>(kLimit);
      nulls = true;
      continue;
    }
    if (c >= kLimit) {
      any_null = any_null || nulls;
      return i;
    }
    out[i] = static_cast<T>(c);
  }
  any_null = any_null || nulls;
  return n;
}

template <class To, class From>
IndexVec<To> widen_prefix(const IndexVec<From>& from, size_t rows, size_t n) {
  IndexVec<To> out(n);
  constexpr From kFromNone = std::numeric_limits<From>::max();
  constexpr To kToNone = std::numeric_limits<To>::max();
  for (size_t i = 0; i < rows; ++i) out[i] = from[i] == kFromNone ? kToNone : static_cast<To>(from[i]);
  return out;
}

// The provisional no-category value becomes the number of categories.
template <class T>
IndexVector finish_index(IndexVec<T>&& index, size_t categories, bool any_null) {
  constexpr T kNone = std::numeric_limits<T>::max();
  if (any_null && categories != kNone) {
    const auto none = static_cast<T>(categories);
    for (T& c : index) c = c == kNone ? none : c;
  }
  return IndexVector(std::move(index));
}

template <class Coder, class Count>
IndexVector build_index(size_t n, const Coder& coder, Count&& count, bool& any_null) {
  any_null = false;
  IndexVec<uint8_t> v8(n);
  size_t at = fill_index(v8.data(), 0, n, coder, any_null);
  if (at == n) return finish_index(std::move(v8), count(), any_null);
  IndexVec<uint16_t> v16 = widen_prefix<uint16_t>(v8, at, n);
  IndexVec<uint8_t>().swap(v8);
  at = fill_index(v16.data(), at, n, coder, any_null);
  if (at == n) return finish_index(std::move(v16), count(), any_null);
  IndexVec<uint32_t> v32 = widen_prefix<uint32_t>(v16, at, n);
  IndexVec<uint16_t>().swap(v16);
  at = fill_index(v32.data(), at, n, coder, any_null);
  return finish_index(std::move(v32), count(), any_null);
}

// int64 code -> category, open addressing, for codes that do not lie in a narrow range.
class CodeTable {
 public:
  CodeTable() { rehash(64); }
  uint32_t get(int64_t code, std::vector<int64_t>& codes) {
    size_t pos = home(code);
    while (true) {
      const uint32_t c = slots_[pos];
      if (c == kEmpty) break;
      if (codes[c] == code) return c;
      pos = (pos + 1) & mask_;
    }
    const auto c = static_cast<uint32_t>(codes.size());
    codes.push_back(code);
    slots_[pos] = c;
    if (codes.size() * 2 > slots_.size()) rehash(slots_.size() * 2, &codes);
    return c;
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  size_t home(int64_t code) const {
    uint64_t x = static_cast<uint64_t>(code);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x) & mask_;
  }
  void rehash(size_t cap, const std::vector<int64_t>* codes = nullptr) {
    slots_.assign(cap, kEmpty);
    mask_ = cap - 1;
    if (codes == nullptr) return;
    for (size_t c = 0; c < codes->size(); ++c) {
      size_t pos = home((*codes)[c]);
      while (slots_[pos] != kEmpty) pos = (pos + 1) & mask_;
      slots_[pos] = static_cast<uint32_t>(c);
    }
  }
  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
};

// Numeric column: each distinct widened value is a category. Values in a small window
// around zero (the usual category codes) go through a flat table, others (and a null row,
// whose code is the smallest int64) through the hash table. One pass over the values.
template <class T>
struct NumericCoder {
  static constexpr int64_t kLow = -1024;
  static constexpr uint64_t kWindow = 4096;
  static constexpr uint32_t kUnset = UINT32_MAX;

  const unsigned char* values;
  arrow::Validity validity;
  bool check_validity;
  uint32_t* window;
  CodeTable* others;
  std::vector<int64_t>* codes;

  int64_t code_of(size_t i) const {
    if (check_validity && !validity.is_valid(static_cast<int64_t>(i))) return kNoCategory;
    if constexpr (std::is_same_v<T, double>) {
      return widen_float(arrow::load<double>(values, static_cast<int64_t>(i)));
    } else {
      return static_cast<int64_t>(arrow::load<T>(values, static_cast<int64_t>(i)));
    }
  }
  uint32_t operator()(size_t i) const {
    const int64_t code = code_of(i);
    const uint64_t off = static_cast<uint64_t>(code) - static_cast<uint64_t>(kLow);
    if (off < kWindow) {
      const uint32_t c = window[off];
      if (c != kUnset) return c;
      return window[off] = others->get(code, *codes);
    }
    return others->get(code, *codes);
  }
};

template <class T>
CodedColumn code_numeric(const ArrayData& array) {
  CodedColumn out;
  std::vector<uint32_t> window(NumericCoder<T>::kWindow, NumericCoder<T>::kUnset);
  CodeTable others;
  const arrow::Validity validity = arrow::validity_of(array);
  const NumericCoder<T> coder{static_cast<const unsigned char*>(arrow::values_of(array)), validity,
                              !validity.all_valid(), window.data(), &others, &out.codes};
  out.index = build_index(static_cast<size_t>(array.length), coder, [&] { return out.codes.size(); }, out.any_null);
  return out;
}

void number_labels(CodedColumn& out) {
  out.codes.resize(out.labels.size());
  for (size_t i = 0; i < out.codes.size(); ++i) out.codes[i] = static_cast<int64_t>(i);
}

struct DictionaryCoder {
  static constexpr uint32_t kUnresolved = UINT32_MAX - 1;
  const arrow::DictionaryArray* dict;
  const arrow::ResolvedText* entries;
  uint32_t* slots;
  Labels* labels;

  uint32_t operator()(size_t i) const {
    const auto row = static_cast<int64_t>(i);
    if (!dict->key_valid(row)) return kNullRow;
    const uint64_t k = dict->key(row);
    const uint32_t slot = slots[k];
    if (slot != kUnresolved) return slot;
    const auto entry = static_cast<int64_t>(k);
    return slots[k] = entries->is_valid(entry) ? labels->intern(entries->value(entry)) : kNullRow;
  }
};

Result<CodedColumn> code_dictionary(const arrow::ArrayPtr& column, const std::string& name) {
  auto dict = arrow::DictionaryArray::make(column);
  if (!dict.ok()) return column_data_error(name, dict.take_error());
  auto entries = arrow::ResolvedText::make(dict->dictionary());
  if (!entries.ok()) return column_data_error(name, entries.take_error());

  CodedColumn out;
  out.is_text = true;
  // One slot per dictionary entry: each entry's text is looked up at most once.
  std::vector<uint32_t> slots(static_cast<size_t>(entries->length()), DictionaryCoder::kUnresolved);
  const DictionaryCoder coder{&dict.value(), &entries.value(), slots.data(), &out.labels};
  out.index = build_index(static_cast<size_t>(dict->length()), coder, [&] { return out.labels.size(); }, out.any_null);
  number_labels(out);
  return out;
}

struct TextCoder {
  arrow::TextArray texts;  // a copy: its fields are read every row
  // A text that starts below this address may be read 32 bytes wide (0: none may).
  uintptr_t readable_below;
  Labels* labels;
  uint32_t operator()(size_t i) const {
    const auto row = static_cast<int64_t>(i);
    if (!texts.is_valid(row)) return kNullRow;
    const std::string_view t = texts.value(row);
    if (!t.empty() && t.size() <= Labels::kShort && reinterpret_cast<uintptr_t>(t.data()) < readable_below) {
      return labels->intern_readable(t);
    }
    return labels->intern(t);
  }
};

Result<CodedColumn> code_text(const arrow::ArrayPtr& column, const std::string& name) {
  auto texts = arrow::TextArray::make(column);
  if (!texts.ok()) return column_data_error(name, texts.take_error());
  CodedColumn out;
  out.is_text = true;
  // The values buffer holds at least the bytes up to the last text's end; 32-byte reads
  // that stay inside it are safe.
  const std::optional<std::string_view> bytes = texts->value_bytes();
  const uintptr_t readable_below =
      bytes && bytes->size() >= 32 ? reinterpret_cast<uintptr_t>(bytes->data() + bytes->size() - 31) : 0;
  const TextCoder coder{texts.value(), readable_below, &out.labels};
  out.index = build_index(static_cast<size_t>(texts->length()), coder, [&] { return out.labels.size(); },
                          out.any_null);
  number_labels(out);
  return out;
}

Error unsupported(const std::string& name, const arrow::DataType& type) {
  return Error{"Column '" + name + "' has unsupported type " + type.debug_name() + ", expected integer or float"};
}

void append_utf8_escaped(std::string& out, uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
  out += buf;
}

bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return false;
  if (cp == 0xad) return false;                      // soft hyphen
  if (cp >= 0x200b && cp <= 0x200f) return false;    // zero-width and direction marks
  if (cp >= 0x2028 && cp <= 0x202e) return false;    // separators and embeddings
  if (cp >= 0x2060 && cp <= 0x206f) return false;    // invisible operators
  if (cp == 0xfeff) return false;                    // byte order mark
  if (cp >= 0xfff9 && cp <= 0xfffb) return false;    // interlinear annotations
  if ((cp & 0xfffe) == 0xfffe) return false;         // noncharacters
  if (cp >= 0xfdd0 && cp <= 0xfdef) return false;
  if (cp >= 0xe000 && cp <= 0xf8ff) return false;    // private use
  if (cp >= 0xf0000) return false;                   // supplementary private use
  if (cp >= 0xe0000 && cp <= 0xe007f) return false;  // tags
  return true;
}

}  // namespace

Result<CodedColumn> code_column(const arrow::RecordBatch& batch, const std::string& name) {
  const int64_t index = batch.schema->find(name);
  if (index < 0) return Error{"Column '" + name + "' not found in Arrow data"};
  const arrow::ArrayPtr& column = batch.columns[static_cast<size_t>(index)];
  const arrow::DataType& type = *batch.schema->fields[static_cast<size_t>(index)]->type;

  if (type.id == Type::Dictionary) {
    if (!is_text_or_text_dictionary(type, 0)) return unsupported(name, type);
    return code_dictionary(column, name);
  }
  if (arrow::is_text(type)) return code_text(column, name);

  switch (type.id) {
    case Type::Int8: return code_numeric<int8_t>(*column);
    case Type::Int16: return code_numeric<int16_t>(*column);
    case Type::Int32: return code_numeric<int32_t>(*column);
    case Type::Int64: return code_numeric<int64_t>(*column);
    case Type::UInt8: return code_numeric<uint8_t>(*column);
    case Type::UInt16: return code_numeric<uint16_t>(*column);
    case Type::UInt32: return code_numeric<uint32_t>(*column);
    case Type::Float64: return code_numeric<double>(*column);
    default: return unsupported(name, type);
  }
}

Result<std::vector<CodedColumn>> code_columns_parallel(const arrow::RecordBatch& batch,
                                                       const std::vector<std::string>& names) {
  std::vector<std::optional<Result<CodedColumn>>> coded(names.size());
  auto job = [&](size_t j) -> std::optional<std::string> {
    coded[j].emplace(code_column(batch, names[j]));
    return std::nullopt;
  };
  // Small tables are not worth a hand-over to the workers.
  if (names.size() > 1 && batch.num_rows >= 65536) {
    std::optional<std::string> failed = pool::parallel_for(names.size(), job);
    if (failed) return Error{std::move(*failed)};
  } else {
    for (size_t j = 0; j < names.size(); ++j) job(j);
  }
  std::vector<CodedColumn> out;
  out.reserve(names.size());
  for (auto& c : coded) {
    if (!c->ok()) return c->take_error();
    out.push_back(std::move(*c).value());
  }
  return out;
}

Result<RowMask> valid_row_mask(const arrow::RecordBatch& batch, const std::vector<std::string>& names) {
  RowMask mask(static_cast<size_t>(batch.num_rows), 1);
  for (const std::string& name : names) {
    const int64_t index = batch.schema->find(name);
    if (index < 0) return Error{"Column '" + name + "' not found"};
    const arrow::Validity validity = arrow::validity_of(*batch.columns[static_cast<size_t>(index)]);
    if (validity.all_valid()) continue;
    for (int64_t i = 0; i < batch.num_rows; ++i) {
      if (!validity.is_valid(i)) mask[static_cast<size_t>(i)] = 0;
    }
  }
  return mask;
}

// ---------------------------------------------------------------------------------------
// Labels

Labels::Labels() : starts_{0}, slots_(16, Slot{0, kEmpty}), mask_(15) {}

namespace {

// The key of every label longer than Labels::kShort: no short key has this length.
const ShortKey kLongKey{{0, 0, 0, 0}, UINT64_MAX};

// A fast hash of a text longer than Labels::kShort (every byte counts; reads only inside
// the text).
uint64_t long_text_hash(const char* p, size_t len) {
  using text_bytes::load64;
  constexpr uint64_t k1 = 0x9e3779b97f4a7c15ULL;
  constexpr uint64_t k2 = 0xc2b2ae3d27d4eb4fULL;
  uint64_t a = 0;
  uint64_t b = 0;
  size_t i = 0;
  for (; i + 16 < len; i += 16) {
    a = (a ^ load64(p + i)) * k1;
    b = (b ^ load64(p + i + 8)) * k2;
    a ^= b >> 29;
  }
  // The last (up to) 16 bytes, as two possibly overlapping words.
  a ^= load64(p + (len - i > 8 ? i : len - 8));
  b ^= load64(p + len - 8);
  return text_bytes::mix64((a * k1) ^ ((b * k2) >> 7 | (b * k2) << 57) ^ (static_cast<uint64_t>(len) * k2));
}

}  // namespace

int64_t Labels::find(std::string_view text) const {
  constexpr uint32_t kNotFound = UINT32_MAX;
  auto not_found = [](uint32_t, size_t) { return kNotFound; };
  uint32_t position = kNotFound;
  if (text.size() <= kShort) {
    const ShortKey key = ShortKey::copy_of(text.data(), text.size());
    position = probe(key.hash(), [&](uint32_t p) { return keys_[p] == key; }, not_found);
  } else {
    position = probe(long_text_hash(text.data(), text.size()), [&](uint32_t p) { return equals_long(p, text); },
                     not_found);
  }
  return position == kNotFound ? -1 : static_cast<int64_t>(position);
}

uint32_t Labels::intern_long(std::string_view text) {
  return probe(
      long_text_hash(text.data(), text.size()), [&](uint32_t p) { return equals_long(p, text); },
      [&](uint32_t tag, size_t pos) { return insert(text, kLongKey, tag, pos); });
}

uint64_t Labels::hash_of(size_t position) const {
  if (keys_[position].len <= kShort) return keys_[position].hash();
  const std::string_view t = text(position);
  return long_text_hash(t.data(), t.size());
}

uint32_t Labels::insert(std::string_view text, const ShortKey& key, uint32_t tag, size_t pos) {
  const auto position = static_cast<uint32_t>(size());
  bytes_.append(text);
  starts_.push_back(bytes_.size());
  keys_.push_back(key);
  slots_[pos] = Slot{tag, position};
  if (size() * 2 > slots_.size()) grow();
  return position;
}

void Labels::grow() {
  std::vector<Slot> slots(slots_.size() * 2, Slot{0, kEmpty});
  mask_ = slots.size() - 1;
  for (size_t i = 0; i < size(); ++i) {
    const uint64_t h = hash_of(i);
    size_t pos = static_cast<size_t>(h) & mask_;
    while (slots[pos].position != kEmpty) pos = (pos + 1) & mask_;
    slots[pos] = Slot{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(i)};
  }
  slots_ = std::move(slots);
}

// ---------------------------------------------------------------------------------------
// Views and subsets

engine::CategoryIndex index_view(const IndexVector& index) {
  return std::visit(
      [](const auto& v) -> engine::CategoryIndex {
        using T = typename std::decay_t<decltype(v)>::value_type;
        return std::span<const T>(v.data(), v.size());
      },
      index);
}

namespace {

// The rows' category indices, into `index` (its storage is reused when it already holds
// indices of this width).
template <class T, class Src>
void gather(const Src* src, std::span<const int64_t> rows, IndexVector& index) {
  if (!std::holds_alternative<IndexVec<T>>(index)) index = IndexVec<T>();
  IndexVec<T>& out = std::get<IndexVec<T>>(index);
  out.resize(rows.size());
  T* dst = out.data();
  for (size_t k = 0; k < rows.size(); ++k) dst[k] = static_cast<T>(src[rows[k]]);
}

// Categories renumbered in order of first appearance among the rows; the scratch table
// (one slot per category of the column, plus the no-category value) is reused per thread
// and only the touched slots are reset.
template <class Src>
void renumber(const Src* src, size_t n_categories, std::span<const int64_t> column_codes,
              std::span<const int64_t> rows, CategorySubset& out) {
  thread_local std::vector<uint32_t> local;
  constexpr uint32_t kUnset = UINT32_MAX;
  thread_local std::vector<uint32_t> cats;
  if (local.size() < n_categories + 1) local.assign(n_categories + 1, kUnset);
  cats.resize(rows.size());
  out.own_codes.clear();
  bool any_null = false;
  for (size_t k = 0; k < rows.size(); ++k) {
    const size_t c = src[rows[k]];
    if (c >= n_categories) {
      cats[k] = kNullRow;
      any_null = true;
      continue;
    }
    uint32_t& l = local[c];
    if (l == kUnset) {
      l = static_cast<uint32_t>(out.own_codes.size());
      out.own_codes.push_back(column_codes[c]);
    }
    cats[k] = l;
  }
  for (size_t k = 0; k < rows.size(); ++k) {
    const size_t c = src[rows[k]];
    if (c < n_categories) local[c] = kUnset;
  }
  const size_t m = out.own_codes.size();
  auto put = [&](auto tag) {
    using T = decltype(tag);
    if (!std::holds_alternative<IndexVec<T>>(out.index)) out.index = IndexVec<T>();
    IndexVec<T>& v = std::get<IndexVec<T>>(out.index);
    v.resize(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) v[k] = cats[k] == kNullRow ? static_cast<T>(m) : static_cast<T>(cats[k]);
  };
  out.renumbered = true;
  out.any_null = any_null;
  if (m < 255) {
    put(uint8_t{});
  } else if (m < 65535) {
    put(uint16_t{});
  } else {
    put(uint32_t{});
  }
  out.codes = out.own_codes;
}

}  // namespace

void subset_rows(const CodedColumn& column, std::span<const int64_t> rows, CategorySubset& out) {
  const size_t k = column.codes.size();
  std::visit(
      [&](const auto& v) {
        using T = typename std::decay_t<decltype(v)>::value_type;
        if (k <= 256 || k <= rows.size()) {
          gather<T>(v.data(), rows, out.index);
          out.codes = column.codes;
          out.renumbered = false;
        } else {
          renumber(v.data(), k, column.codes, rows, out);
        }
      },
      column.index);
}

std::string quote_key(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    // Decode one UTF-8 sequence (texts come from Python str, so they are well formed;
    // a stray byte is shown as its own escape).
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xf0 && i + 3 < text.size()) {
      cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(text[i + 1]) & 0x3fu) << 12) |
           ((static_cast<unsigned char>(text[i + 2]) & 0x3fu) << 6) | (static_cast<unsigned char>(text[i + 3]) & 0x3fu);
      len = 4;
    } else if (c >= 0xe0 && i + 2 < text.size()) {
      cp = ((c & 0x0fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3fu) << 6) |
           (static_cast<unsigned char>(text[i + 2]) & 0x3fu);
      len = 3;
    } else if (c >= 0xc0 && i + 1 < text.size()) {
      cp = ((c & 0x1fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3fu);
      len = 2;
    } else if (c >= 0x80) {
      append_utf8_escaped(out, c);
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(cp)) {
          out.append(text.substr(i, len));
        } else {
          append_utf8_escaped(out, cp);
        }
    }
    i += len;
  }
  out += "\"";
  return out;
}

std::string display_key(const TargetKey& key) {
  return key.is_int() ? std::to_string(key.as_int()) : quote_key(key.as_text());
}

Result<engine::MatchedTargets> match_targets(const TargetSet& targets, const ColumnLabels& labels) {
  engine::MatchedTargets out;
  out.reserve(targets.entries().size());
  for (const auto& [column, shares] : targets.entries()) {
    auto found = labels.find(column);
    const Labels* text_labels = found == labels.end() ? nullptr : found->second;
    std::unordered_map<int64_t, double> codes;
    codes.reserve(shares.size());
    for (const auto& [key, share] : shares) {
      int64_t code = 0;
      if (text_labels != nullptr) {
        if (key.is_int()) {
          return Error{"Target key " + display_key(key) + " for column '" + column +
                       "' is numeric, but that column holds text category codes"};
        }
        code = text_labels->find(key.as_text());
        if (code < 0) {
          return Error{"Target key " + display_key(key) + " for column '" + column + "' is not a category in the data"};
        }
      } else {
        if (!key.is_int()) {
          return Error{"Target key " + display_key(key) + " for column '" + column +
                       "' is text, but that column holds numeric category codes"};
        }
        code = key.as_int();
      }
      codes[code] = share;
    }
    out.emplace_back(column, std::move(codes));
  }
  return out;
}

}  // namespace quelm::adapter
