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
  std::vector<std::string> names;
  std::unordered_map<std::string, CodedColumn> coded;
  for (const std::string& name : call.target_columns) {
    auto column = code_column(batch, name);
    if (!column.ok()) return column.take_error();
    auto [it, inserted] = coded.insert_or_assign(name, std::move(column).value());
    if (inserted) names.push_back(name);
  }

  ColumnLabels labels;
  for (const auto& [name, column] : coded) labels[name] = column.is_text ? &column.labels : nullptr;
  auto matched = match_targets(targets, labels);
  if (!matched.ok()) return matched.take_error();

  RowMask mask;
  if (call.drop_nulls) {
    auto m = valid_row_mask(batch, call.target_columns);
    if (!m.ok()) return m.take_error();
    mask = std::move(m).value();
  }
  // The list of valid rows is only built when some rows are left out.
  int64_t n_masked_valid = n_rows;
  if (call.drop_nulls) {
    n_masked_valid = 0;
    for (uint8_t flag : mask) n_masked_valid += flag;
  }
  const bool all_valid = n_masked_valid == n_rows;
  std::vector<int64_t> valid_rows;
  if (!all_valid) {
    valid_rows.reserve(static_cast<size_t>(n_masked_valid));
    for (int64_t i = 0; i < n_rows; ++i) {
      if (mask[static_cast<size_t>(i)]) valid_rows.push_back(i);
    }
  }
  const auto n_valid = static_cast<uint64_t>(n_masked_valid);

  std::vector<double> weights(static_cast<size_t>(n_rows), 1.0);
  RunSummary summary;
  summary.n_valid = n_valid;

  if (n_valid > 0) {
    // The engine sees the valid rows only; the codes are copied just when rows were left out.
    std::vector<std::vector<int64_t>> compact;
    engine::ColumnCodes codes;
    codes.reserve(names.size());
    if (!all_valid) compact.reserve(names.size());
    for (const std::string& name : names) {
      const std::vector<int64_t>& all = coded.at(name).codes;
      if (all_valid) {
        codes.emplace_back(name, std::span<const int64_t>(all));
      } else {
        std::vector<int64_t>& part = compact.emplace_back();
        part.reserve(valid_rows.size());
        for (int64_t row : valid_rows) part.push_back(all[static_cast<size_t>(row)]);
        codes.emplace_back(name, std::span<const int64_t>(part));
      }
    }

    engine::RakeResult ran = engine::rake_weights(codes, matched.value(), call.options);
    if (auto* message = std::get_if<std::string>(&ran)) return Error{std::move(*message)};
    engine::RakeOutput& output = std::get<engine::RakeOutput>(ran);
    summary = summary_of(n_valid, output);

    if (!output.weights.empty()) {
      if (all_valid) {
        weights = std::move(output.weights);
      } else {
        for (size_t k = 0; k < valid_rows.size() && k < output.weights.size(); ++k) {
          weights[static_cast<size_t>(valid_rows[k])] = output.weights[k];
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
  }

  auto table = append_weight_column(batch, std::move(weights), call.weight_column);
  if (!table.ok()) return table.take_error();
  return TableRake{std::move(table).value(), summary};
}

}  // namespace quelm::adapter
