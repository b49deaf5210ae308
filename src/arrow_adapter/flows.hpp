// The bodies of the module functions below the Python layer: from an imported batch and
// parsed targets to the output batch with its weight column and the run diagnostics.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow_adapter/codes.hpp"
#include "arrow_adapter/targets.hpp"
#include "engine/engine.hpp"

namespace quelm::adapter {

// The diagnostics of one raking run as RakeResult shows them.
struct RunSummary {
  uint64_t n_valid = 0;
  uint64_t iterations = 0;
  bool converged = true;
  bool stalled = false;
  double max_target_gap = 0.0;
  double efficiency = 100.0;
  double weight_min = 1.0;
  double weight_max = 1.0;
};

RunSummary summary_of(uint64_t n_valid, const engine::RakeOutput& output);

struct RakeCall {
  std::vector<std::string> target_columns;
  engine::RakeOptions options;
  bool drop_nulls = true;
  std::optional<double> total;
  std::string weight_column;
};

struct TableRake {
  arrow::RecordBatch table;
  RunSummary summary;
};

// Rakes the whole table against one set of targets.
Result<TableRake> rake_table(const arrow::RecordBatch& batch, const TargetSet& targets, const RakeCall& call);

// The input batch with the weights appended as a Float64 column that is not nullable;
// the weight vector becomes the column's buffer.
Result<arrow::RecordBatch> append_weight_column(const arrow::RecordBatch& batch, engine::WeightVector&& weights,
                                                const std::string& name);

}  // namespace quelm::adapter
