// Category codes: target columns turned into narrow category indices per row with the code
// of each category, the row mask of rows without nulls, and the targets keyed by code.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <variant>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow_adapter/targets.hpp"
#include "engine/engine.hpp"

namespace quelm::adapter {

template <class T>
using Result = arrow::Result<T>;
using arrow::Error;

// The code of a row that has no category (a null).
inline constexpr int64_t kNoCategory = std::numeric_limits<int64_t>::min();

namespace text_bytes {

inline uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t mix64(uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

}  // namespace text_bytes

// A text of up to 32 bytes as four words: its bytes in order, zeros after its end, and
// its length. Two short texts are equal exactly when their keys are.
struct ShortKey {
  uint64_t w[4];
  uint64_t len;

  bool operator==(const ShortKey&) const = default;

  // From a copy of the bytes (reads only inside the text).
  static ShortKey copy_of(const char* p, size_t len) {
    char bytes[32] = {};
    if (len > 0) std::memcpy(bytes, p, len);
    ShortKey k;
    for (int i = 0; i < 4; ++i) k.w[i] = text_bytes::load64(bytes + 8 * i);
    k.len = len;
    return k;
  }

  // From four loads of 8 bytes at p, masked to the text. Precondition: 32 bytes at p
  // are readable. Branch-free, so texts of mixed lengths cost no mispredictions.
  [[gnu::always_inline]] static ShortKey load_at(const char* p, size_t len) {
    ShortKey k;
    constexpr uint64_t kAll = ~uint64_t{0};
    for (size_t i = 0; i < 4; ++i) {
      // The word's first `have` bytes belong to the text (all of them from 8 on).
      const size_t have = len > 8 * i ? len - 8 * i : 0;
      const size_t bits = (have & 7) * 8;
      const uint64_t partial =
          std::endian::native == std::endian::little ? (uint64_t{1} << bits) - 1 : ~(kAll >> bits);
      k.w[i] = text_bytes::load64(p + 8 * i) & (have >= 8 ? kAll : partial);
    }
    k.len = len;
    return k;
  }

  uint64_t hash() const {
    constexpr uint64_t k1 = 0x9e3779b97f4a7c15ULL;
    constexpr uint64_t k2 = 0xc2b2ae3d27d4eb4fULL;
    constexpr uint64_t k3 = 0x165667b19e3779f9ULL;
    constexpr uint64_t k4 = 0xd6e8feb86659fd93ULL;
    const uint64_t a = w[0] * k1, b = w[1] * k2, c = w[2] * k3, d = w[3] * k4;
    return text_bytes::mix64(a ^ ((b >> 23) | (b << 41)) ^ c ^ ((d >> 41) | (d << 23)) ^ (len * k2));
  }
};

// The distinct non-null texts of a text column in order of first appearance; a text's
// code is its position. An open-addressing table over one byte arena: one hash and
// usually one comparison per lookup.
class Labels {
 public:
  // Texts up to this length are keyed by their words (ShortKey), longer ones by a hash
  // of their bytes (long_text_hash).
  static constexpr size_t kShort = 32;

  Labels();
  // The position of `text`, appending it when it is new.
  uint32_t intern(std::string_view text) {
    if (text.size() <= kShort) return intern_short(ShortKey::copy_of(text.data(), text.size()), text);
    return intern_long(text);
  }
  // The same for a text of 1 to kShort bytes after which the memory is readable up to 32
  // bytes from its start.
  [[gnu::always_inline]] uint32_t intern_readable(std::string_view text) {
    return intern_short(ShortKey::load_at(text.data(), text.size()), text);
  }
  // The position of `text`, or -1.
  int64_t find(std::string_view text) const;
  size_t size() const { return starts_.size() - 1; }
  std::string_view text(size_t position) const {
    return {bytes_.data() + starts_[position], static_cast<size_t>(starts_[position + 1] - starts_[position])};
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint32_t tag;
    uint32_t position;
  };

  // Looks for the label with hash h that `same(position)` accepts: returns its position,
  // or what `absent(tag, pos)` returns for the empty slot where it would go.
  template <class Same, class Absent>
  [[gnu::always_inline]] uint32_t probe(uint64_t h, Same same, Absent absent) const {
    size_t pos = static_cast<size_t>(h) & mask_;
    const auto tag = static_cast<uint32_t>(h >> 32);
    while (true) {
      const Slot slot = slots_[pos];
      if (slot.position == kEmpty) return absent(tag, pos);
      if (slot.tag == tag && same(slot.position)) return slot.position;
      pos = (pos + 1) & mask_;
    }
  }
  [[gnu::always_inline]] uint32_t intern_short(const ShortKey& key, std::string_view text) {
    return probe(
        key.hash(), [&](uint32_t position) { return keys_[position] == key; },
        [&](uint32_t tag, size_t pos) { return insert(text, key, tag, pos); });
  }
  uint32_t intern_long(std::string_view text);
  bool equals_long(uint32_t position, std::string_view text) const {
    const uint64_t b = starts_[position], e = starts_[position + 1];
    return e - b == text.size() && std::memcmp(bytes_.data() + b, text.data(), text.size()) == 0;
  }
  uint64_t hash_of(size_t position) const;
  uint32_t insert(std::string_view text, const ShortKey& key, uint32_t tag, size_t pos);
  void grow();

  std::string bytes_;             // every label's bytes, one after the other
  std::vector<uint64_t> starts_;  // label i is bytes_[starts_[i], starts_[i + 1])
  std::vector<ShortKey> keys_;    // label i's key (long labels: a length no short key has)
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

// One category index per row, of the narrowest width that holds the number of categories
// plus the no-category value (which equals the number of categories). Not initialised on
// allocation: every element is written by the coder.
template <class T>
using IndexVec = std::vector<T, engine::UninitializedAllocator<T>>;
using IndexVector = std::variant<IndexVec<uint8_t>, IndexVec<uint16_t>, IndexVec<uint32_t>>;

engine::CategoryIndex index_view(const IndexVector& index);

// A target column in factored form: row i has the category index[i], whose code is
// codes[index[i]]; index value codes.size() marks a row without a category (a null text).
// Text columns: the codes are the label positions 0, 1, ...; numeric columns: the code is
// the value widened to int64 (a null row has the code of the smallest int64), one category
// per distinct value, in order of first appearance.
struct CodedColumn {
  IndexVector index;
  std::vector<int64_t> codes;  // every category occurs in the index
  bool any_null = false;       // some row has no category
  bool is_text = false;
  Labels labels;  // text columns only

  engine::CategoryColumn view() const {
    return engine::CategoryColumn{index_view(index), codes, true, any_null};
  }
};

// The categories of some rows of a column, as a column of their own. When the column has
// many categories compared with the rows, they are renumbered in order of first
// appearance among these rows (with their own codes), so that a small group never pays
// for the categories of the whole table.
struct CategorySubset {
  IndexVector index;
  std::vector<int64_t> own_codes;
  std::span<const int64_t> codes;
  bool renumbered = false;  // then every category occurs ...
  bool any_null = false;    // ... and this tells whether a row has no category

  engine::CategoryColumn view() const {
    return engine::CategoryColumn{index_view(index), codes, renumbered, !renumbered || any_null};
  }
};
// Reuses the storage `out` already holds.
void subset_rows(const CodedColumn& column, std::span<const int64_t> rows, CategorySubset& out);

// Column name -> labels of its coded column (null: a numeric column).
using ColumnLabels = std::unordered_map<std::string, const Labels*>;

// One flag per row: true for a row that takes part in raking.
using RowMask = std::vector<uint8_t>;

Result<CodedColumn> code_column(const arrow::RecordBatch& batch, const std::string& name);
// The columns of `names`, coded on the task pool (one column per job); the first failure
// in list order is the result.
Result<std::vector<CodedColumn>> code_columns_parallel(const arrow::RecordBatch& batch,
                                                       const std::vector<std::string>& names);
Result<RowMask> valid_row_mask(const arrow::RecordBatch& batch, const std::vector<std::string>& names);
Result<engine::MatchedTargets> match_targets(const TargetSet& targets, const ColumnLabels& labels);

// Malformed values found while reading column `name` (the import checks the structure,
// the readers the values).
inline Error column_data_error(const std::string& name, Error error) {
  return Error{"Arrow batch error: " + std::move(error.message) + " (column '" + name + "')"};
}

// A text key in double quotes with escapes, as error messages show it.
std::string quote_key(std::string_view text);
// A key as error messages show it: decimal for integers, quoted for texts.
std::string display_key(const TargetKey& key);

}  // namespace quelm::adapter
