// Category codes: target columns turned into one signed 64-bit code per row, the row mask
// of rows without nulls, and the targets keyed by code.
#pragma once

#include <cstdint>
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

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The distinct non-null texts of a text column in order of first appearance; a text's
// code is its position.
class Labels {
 public:
  // The position of `text`, appending it when it is new.
  int64_t intern(std::string_view text) {
    auto it = positions_.find(text);
    if (it != positions_.end()) return it->second;
    const auto position = static_cast<int64_t>(texts_.size());
    texts_.emplace_back(text);
    positions_.emplace(texts_.back(), position);
    return position;
  }
  // The position of `text`, or -1.
  int64_t find(std::string_view text) const {
    auto it = positions_.find(text);
    return it == positions_.end() ? -1 : it->second;
  }
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  std::vector<std::string> texts_;
  std::unordered_map<std::string, int64_t, TextHash, std::equal_to<>> positions_;
};

struct CodedColumn {
  std::vector<int64_t> codes;  // one per row of the table
  bool is_text = false;
  Labels labels;  // text columns only
};

// Column name -> labels of its coded column (null: a numeric column).
using ColumnLabels = std::unordered_map<std::string, const Labels*>;

// One flag per row: true for a row that takes part in raking.
using RowMask = std::vector<uint8_t>;

Result<CodedColumn> code_column(const arrow::RecordBatch& batch, const std::string& name);
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
