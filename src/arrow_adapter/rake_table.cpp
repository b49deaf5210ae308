#include <span>
#include <unordered_map>

#include "arrow_adapter/flows.hpp"

namespace quelm::adapter {

RunSummary summary_of(uint64_t n_valid, const engine::RakeOutput& output) {
  RunSummary s;
  s.n_valid = n_valid;
  s.iterations = output.iterations;
  s.converged = output.converged;
  s.stalled = output.stalled;
  s.max_target_gap = output.max_target_gap;
  s.efficiency = output.efficiency;
  s.weight_min = output.weight_min;
  s.weight_max = output.weight_max;
  return s;
}

Result<TableRake> rake_table(const arrow::RecordBatch& batch, const TargetSet& targets, const RakeCall& call) {
  const int64_t n_rows = batch.num_rows;

  // Code every target column; a name listed twice is coded twice, the later one kept.
  auto all = code_columns_parallel(batch, call.target_columns);
  if (!all.ok()) return all.take_error();
  std::vector<std::string> names;
  std::unordered_map<std::string, CodedColumn> coded;
  for (size_t j = 0; j < call.target_columns.size(); ++j) {
    const std::string& name = call.target_columns[j];
    auto [it, inserted] = coded.insert_or_assign(name, std::move(all.value()[j]));
    if (inserted) names.push_back(name);
  }

  ColumnLabels labels;
  for (const auto& [name, column] : coded) labels[name] = column.is_text ? &column.labels : nullptr;
  auto matched = match_targets(targets, labels);
  if (!matched.ok()) return matched.take_error();

  // The mask (and the list of valid rows) is only built when a target column has nulls.
  bool any_nulls = false;
  if (call.drop_nulls) {
    for (const std::string& name : call.target_columns) {
      const int64_t index = batch.schema->find(name);
      if (index >= 0 && !arrow::validity_of(*batch.columns[static_cast<size_t>(index)]).all_valid()) any_nulls = true;
    }
  }
  std::vector<int64_t> valid_rows;
  bool all_valid = true;
  if (any_nulls) {
    auto m = valid_row_mask(batch, call.target_columns);
    if (!m.ok()) return m.take_error();
    const RowMask& mask = m.value();
    size_t count = 0;
    for (uint8_t flag : mask) count += flag;
    if (count != static_cast<size_t>(n_rows)) {
      all_valid = false;
      valid_rows.reserve(count);
      for (int64_t i = 0; i < n_rows; ++i) {
        if (mask[static_cast<size_t>(i)]) valid_rows.push_back(i);
      }
    }
  }
  const auto n_valid = all_valid ? static_cast<uint64_t>(n_rows) : static_cast<uint64_t>(valid_rows.size());

  engine::WeightVector weights;
  RunSummary summary;
  summary.n_valid = n_valid;

  if (n_valid > 0) {
    // The engine reads the coded columns in place; only when rows were left out does it get
    // copies of the valid rows' category indices.
    std::vector<CategorySubset> compact;
    engine::ColumnCodes codes;
    codes.reserve(names.size());
    if (!all_valid) compact.resize(names.size());
    for (size_t j = 0; j < names.size(); ++j) {
      const CodedColumn& column = coded.at(names[j]);
      if (all_valid) {
        codes.emplace_back(names[j], column.view());
      } else {
        subset_rows(column, valid_rows, compact[j]);
        codes.emplace_back(names[j], compact[j].view());
      }
    }

    engine::RakeResult ran = engine::rake_weights(codes, matched.value(), call.options);
    if (auto* message = std::get_if<std::string>(&ran)) return Error{std::move(*message)};
    engine::RakeOutput& output = std::get<engine::RakeOutput>(ran);
    summary = summary_of(n_valid, output);

    if (all_valid && output.weights.size() == static_cast<size_t>(n_rows)) {
      weights = std::move(output.weights);
    } else {
      weights.assign(static_cast<size_t>(n_rows), 1.0);
      if (!output.weights.empty()) {
        if (all_valid) {
          for (size_t k = 0; k < output.weights.size() && k < weights.size(); ++k) weights[k] = output.weights[k];
        } else {
          for (size_t k = 0; k < valid_rows.size() && k < output.weights.size(); ++k) {
            weights[static_cast<size_t>(valid_rows[k])] = output.weights[k];
          }
        }
      }
    }

    // The total applies to the rows that took part; the others keep 1.0.
    if (call.total && *call.total > 0.0) {
      double sum = 0.0;
      if (all_valid) {
        for (double w : weights) sum += w;
      } else {
        for (int64_t row : valid_rows) sum += weights[static_cast<size_t>(row)];
      }
      if (sum > 0.0) {
        const double factor = *call.total / sum;
        if (all_valid) {
          for (double& w : weights) w *= factor;
        } else {
          for (int64_t row : valid_rows) weights[static_cast<size_t>(row)] *= factor;
        }
      }
    }
  } else {
    weights.assign(static_cast<size_t>(n_rows), 1.0);
  }

  auto table = append_weight_column(batch, std::move(weights), call.weight_column);
  if (!table.ok()) return table.take_error();
  return TableRake{std::move(table).value(), summary};
}

}  // namespace quelm::adapter
