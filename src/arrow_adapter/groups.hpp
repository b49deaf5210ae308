// Grouped raking: group key texts of group columns, the partition of the rows into
// groups (in order of first appearance), the raking of every group on the task pool, each
// group writing its weights into its own rows of the table's weight vector, and the totals.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow_adapter/codes.hpp"
#include "arrow_adapter/flows.hpp"
#include "arrow_adapter/targets.hpp"
#include "engine/engine.hpp"

namespace quelm::adapter {

// The group key texts of one column, interned: row i's key is texts[ids[i]]. Distinct ids
// may carry equal texts (for example NaNs with different payloads); callers that compare
// keys compare the texts.
struct GroupKeyColumn {
  std::vector<uint32_t> ids;
  std::vector<std::string> texts;
};

// One column's keys: texts byte for byte, integers in decimal, floats in their shortest
// round-trip decimal form without exponent, nulls "__null__".
Result<GroupKeyColumn> group_key_texts(const arrow::RecordBatch& batch, const std::string& name);

// The shortest decimal text that reads back as `value`, without exponent ("1", "2.5",
// "0.0000001", "-0", "NaN", "inf", "-inf").
std::string float_key_text(double value);

// The rows of the table grouped by the texts of the group columns joined with "||"; groups
// in the order of their first row, rows ascending within a group. All row lists share one
// array: group g's rows are rows[starts[g], starts[g + 1]).
struct GroupPartition {
  std::vector<std::string> keys;
  std::vector<size_t> starts{0};
  IndexVec<int64_t> rows;

  size_t size() const { return keys.size(); }
  std::span<const int64_t> rows_of(size_t g) const { return {rows.data() + starts[g], starts[g + 1] - starts[g]}; }
};

// The partition by the group columns (no columns: one group "").
Result<GroupPartition> partition_by_columns(const arrow::RecordBatch& batch, const std::vector<std::string>& columns);

// Column name -> codes of every table row.
using CodedColumns = std::unordered_map<std::string, CodedColumn>;

// Rakes one group: its valid rows (all rows without a mask) with the codes of the listed
// columns that are coded, the targets and the options. Writes a weight to every row of the
// group in `weights` (the table's weight vector): the engine's weight on each valid row,
// 1.0 on the others and on all rows when the engine has no weights. Groups own disjoint
// rows, so groups may run at the same time on one weight vector.
Result<RunSummary> rake_group(std::span<const int64_t> rows, const CodedColumns& coded,
                              const std::vector<std::string>& target_columns, const engine::MatchedTargets& targets,
                              const RowMask* mask, const engine::RakeOptions& options, std::span<double> weights);

// Scales all weights to sum to `total` when it is given and positive and the weights sum
// to a positive value.
void scale_to_total(engine::WeightVector& weights, std::optional<double> total);

struct GroupedRake {
  arrow::RecordBatch table;
  std::vector<std::pair<std::string, RunSummary>> groups;  // in partition order
};

struct GroupedCall {
  RakeCall common;
  std::vector<std::string> group_columns;
};

// Every group raked against the same targets.
Result<GroupedRake> rake_grouped(const arrow::RecordBatch& batch, const TargetSet& targets, const GroupedCall& call);

struct SchemeCall {
  RakeCall common;  // target_columns unused
  std::string group_column;
  // Key text -> scheme, later duplicates already merged into the earlier position.
  std::vector<std::pair<std::string, TargetSet>> schemes;
  std::optional<TargetSet> default_scheme;
  std::optional<std::vector<std::pair<std::string, double>>> group_totals;
};

// Every group raked against the scheme of its key (or the default scheme, or left as it is).
Result<GroupedRake> rake_by_scheme(const arrow::RecordBatch& batch, const SchemeCall& call);

}  // namespace quelm::adapter
