#include "arrow_adapter/groups.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <span>

#include "pool/pool.hpp"

namespace quelm::adapter {

namespace {

// Rows by dense group index, groups numbered in order of their first row.
GroupPartition partition_from_ids(const std::vector<uint32_t>& group_of_row, std::vector<std::string>&& keys) {
  GroupPartition out(keys.size());
  std::vector<size_t> counts(keys.size(), 0);
  for (uint32_t g : group_of_row) ++counts[g];
  for (size_t g = 0; g < keys.size(); ++g) {
    out[g].key = std::move(keys[g]);
    out[g].rows.reserve(counts[g]);
  }
  for (size_t i = 0; i < group_of_row.size(); ++i) out[group_of_row[i]].rows.push_back(static_cast<int64_t>(i));
  return out;
}

// Gives every distinct composite id a group, merging ids whose key texts are equal; groups
// are numbered in order of first row because ids are visited in that order.
GroupPartition merge_by_text(const std::vector<uint32_t>& composite, size_t n_composite,
                             const std::function<std::string(size_t first_row)>& key_of_row) {
  constexpr uint32_t kUnseen = UINT32_MAX;
  std::vector<uint32_t> group_of_id(n_composite, kUnseen);
  std::unordered_map<std::string, uint32_t> group_of_text;
  std::vector<std::string> keys;
  std::vector<uint32_t> group_of_row(composite.size());
  for (size_t i = 0; i < composite.size(); ++i) {
    uint32_t& g = group_of_id[composite[i]];
    if (g == kUnseen) {
      std::string key = key_of_row(i);
      auto [it, inserted] = group_of_text.try_emplace(key, static_cast<uint32_t>(keys.size()));
      if (inserted) keys.push_back(std::move(key));
      g = it->second;
    }
    group_of_row[i] = g;
  }
  return partition_from_ids(group_of_row, std::move(keys));
}

Result<std::unordered_map<std::string, CodedColumn>> code_columns(const arrow::RecordBatch& batch,
                                                                   const std::vector<std::string>& names,
                                                                   bool skip_missing) {
  std::vector<std::string> present;
  for (const std::string& name : names) {
    if (skip_missing && batch.schema->find(name) < 0) continue;
    present.push_back(name);
  }
  auto all = code_columns_parallel(batch, present);
  if (!all.ok()) return all.take_error();
  std::unordered_map<std::string, CodedColumn> coded;
  for (size_t j = 0; j < present.size(); ++j) coded.insert_or_assign(present[j], std::move(all.value()[j]));
  return coded;
}

ColumnLabels labels_of(const CodedColumns& coded) {
  ColumnLabels labels;
  for (const auto& [name, column] : coded) labels[name] = column.is_text ? &column.labels : nullptr;
  return labels;
}

// Runs `job` for every group on the task pool; the outcomes come back in partition order.
template <class Job>
Result<std::vector<GroupOutcome>> rake_groups_parallel(const GroupPartition& groups, Job&& job) {
  std::vector<GroupOutcome> outcomes(groups.size());
  std::optional<std::string> failed = pool::parallel_for(groups.size(), [&](size_t g) -> std::optional<std::string> {
    Result<GroupOutcome> r = job(groups[g]);
    if (!r.ok()) return r.error().message;
    outcomes[g] = std::move(r).value();
    return std::nullopt;
  });
  if (failed) return Error{std::move(*failed)};
  return outcomes;
}

GroupedRake finish(arrow::RecordBatch&& table, const GroupPartition& groups, std::vector<GroupOutcome>& outcomes) {
  GroupedRake out;
  out.table = std::move(table);
  out.groups.reserve(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) out.groups.emplace_back(groups[g].key, outcomes[g].summary);
  return out;
}

}  // namespace

Result<GroupPartition> partition_by_columns(const arrow::RecordBatch& batch, const std::vector<std::string>& columns) {
  const auto n = static_cast<size_t>(batch.num_rows);
  std::vector<GroupKeyColumn> keys;
  keys.reserve(columns.size());
  for (const std::string& name : columns) {
    auto k = group_key_texts(batch, name);
    if (!k.ok()) return k.take_error();
    keys.push_back(std::move(k).value());
  }
  if (keys.empty()) {
    std::vector<uint32_t> composite(n, 0);
    return partition_from_ids(composite, n == 0 ? std::vector<std::string>{} : std::vector<std::string>{""});
  }

  // Fold the per-column ids into one composite id per row (one hash lookup per row and
  // extra column), then give each composite id the joined text of its first row.
  std::vector<uint32_t> composite = keys[0].ids;
  size_t n_composite = keys[0].texts.size();
  for (size_t c = 1; c < keys.size(); ++c) {
    std::unordered_map<uint64_t, uint32_t> ids;
    const std::vector<uint32_t>& next = keys[c].ids;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t pair = (static_cast<uint64_t>(composite[i]) << 32) | next[i];
      auto [it, inserted] = ids.try_emplace(pair, static_cast<uint32_t>(ids.size()));
      composite[i] = it->second;
    }
    n_composite = ids.size();
  }
  return merge_by_text(composite, n_composite, [&](size_t row) {
    std::string key = keys[0].texts[keys[0].ids[row]];
    for (size_t c = 1; c < keys.size(); ++c) {
      key += "||";
      key += keys[c].texts[keys[c].ids[row]];
    }
    return key;
  });
}

Result<GroupOutcome> rake_group(const std::vector<int64_t>& rows, const CodedColumns& coded,
                                const std::vector<std::string>& target_columns, const engine::MatchedTargets& targets,
                                const RowMask& mask, const engine::RakeOptions& options) {
  GroupOutcome out;
  out.valid_rows.reserve(rows.size());
  for (int64_t row : rows) {
    if (mask[static_cast<size_t>(row)]) out.valid_rows.push_back(row);
  }
  out.summary.n_valid = out.valid_rows.size();
  if (out.valid_rows.empty()) return out;

  std::vector<CategorySubset> own(target_columns.size());
  engine::ColumnCodes codes;
  for (size_t j = 0; j < target_columns.size(); ++j) {
    const std::string& name = target_columns[j];
    auto it = coded.find(name);
    if (it == coded.end()) continue;
    if (std::any_of(codes.begin(), codes.end(), [&](const auto& c) { return c.first == name; })) continue;
    subset_rows(it->second, out.valid_rows, own[j]);
    codes.emplace_back(name, own[j].view());
  }
  engine::RakeResult ran = engine::rake_weights(codes, targets, options);
  if (auto* message = std::get_if<std::string>(&ran)) return Error{std::move(*message)};
  engine::RakeOutput& output = std::get<engine::RakeOutput>(ran);
  out.summary = summary_of(out.valid_rows.size(), output);
  out.weights = std::move(output.weights);
  return out;
}

std::vector<double> reassemble_weights(int64_t n_rows, const std::vector<GroupOutcome>& outcomes) {
  std::vector<double> weights(static_cast<size_t>(n_rows), 1.0);
  for (const GroupOutcome& o : outcomes) {
    const size_t n = std::min(o.valid_rows.size(), o.weights.size());
    for (size_t k = 0; k < n; ++k) weights[static_cast<size_t>(o.valid_rows[k])] = o.weights[k];
  }
  return weights;
}

void scale_to_total(std::vector<double>& weights, std::optional<double> total) {
  if (!total || !(*total > 0.0) || weights.empty()) return;
  double sum = -0.0;
  for (double w : weights) sum += w;
  if (!(sum > 0.0)) return;
  const double factor = *total / sum;
  for (double& w : weights) w *= factor;
}

Result<GroupedRake> rake_grouped(const arrow::RecordBatch& batch, const TargetSet& targets, const GroupedCall& call) {
  auto groups = partition_by_columns(batch, call.group_columns);
  if (!groups.ok()) return groups.take_error();
  auto coded = code_columns(batch, call.common.target_columns, false);
  if (!coded.ok()) return coded.take_error();
  auto matched = match_targets(targets, labels_of(coded.value()));
  if (!matched.ok()) return matched.take_error();
  RowMask mask;
  if (call.common.drop_nulls) {
    auto m = valid_row_mask(batch, call.common.target_columns);
    if (!m.ok()) return m.take_error();
    mask = std::move(m).value();
  } else {
    mask.assign(static_cast<size_t>(batch.num_rows), 1);
  }

  auto outcomes = rake_groups_parallel(groups.value(), [&](const GroupRows& g) {
    return rake_group(g.rows, coded.value(), call.common.target_columns, matched.value(), mask, call.common.options);
  });
  if (!outcomes.ok()) return outcomes.take_error();

  std::vector<double> weights = reassemble_weights(batch.num_rows, outcomes.value());
  scale_to_total(weights, call.common.total);
  auto table = append_weight_column(batch, std::move(weights), call.common.weight_column);
  if (!table.ok()) return table.take_error();
  return finish(std::move(table).value(), groups.value(), outcomes.value());
}

namespace {

struct PreparedScheme {
  std::vector<std::string> columns;       // the scheme's columns, in its order
  engine::MatchedTargets matched;
  std::vector<std::string> mask_columns;  // the coded ones, sorted
};

Result<PreparedScheme> prepare_scheme(const TargetSet& scheme, const CodedColumns& coded, const ColumnLabels& labels) {
  PreparedScheme out;
  auto matched = match_targets(scheme, labels);
  if (!matched.ok()) return matched.take_error();
  out.matched = std::move(matched).value();
  for (const auto& [name, spec] : scheme.entries()) {
    out.columns.push_back(name);
    if (coded.count(name) != 0) out.mask_columns.push_back(name);
  }
  std::sort(out.mask_columns.begin(), out.mask_columns.end());
  return out;
}

}  // namespace

Result<GroupedRake> rake_by_scheme(const arrow::RecordBatch& batch, const SchemeCall& call) {
  auto key_column = group_key_texts(batch, call.group_column);
  if (!key_column.ok()) return key_column.take_error();
  const GroupKeyColumn& keys = key_column.value();
  GroupPartition groups = merge_by_text(keys.ids, keys.texts.size(), [&](size_t row) { return keys.texts[keys.ids[row]]; });

  // Every column that any scheme names and the table has is coded once.
  std::vector<std::string> names;
  auto collect = [&](const TargetSet& s) {
    for (const auto& [name, spec] : s.entries()) names.push_back(name);
  };
  for (const auto& [key, scheme] : call.schemes) collect(scheme);
  if (call.default_scheme) collect(*call.default_scheme);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  auto coded = code_columns(batch, names, true);
  if (!coded.ok()) return coded.take_error();
  const ColumnLabels labels = labels_of(coded.value());

  std::vector<PreparedScheme> prepared;
  prepared.reserve(call.schemes.size() + 1);
  std::unordered_map<std::string, size_t> scheme_of_key;
  for (const auto& [key, scheme] : call.schemes) {
    auto p = prepare_scheme(scheme, coded.value(), labels);
    if (!p.ok()) return p.take_error();
    scheme_of_key[key] = prepared.size();
    prepared.push_back(std::move(p).value());
  }
  std::optional<size_t> default_index;
  if (call.default_scheme) {
    auto p = prepare_scheme(*call.default_scheme, coded.value(), labels);
    if (!p.ok()) return p.take_error();
    default_index = prepared.size();
    prepared.push_back(std::move(p).value());
  }

  // One mask per distinct set of mask columns.
  std::map<std::vector<std::string>, RowMask> masks;
  for (const PreparedScheme& p : prepared) {
    if (masks.count(p.mask_columns) != 0) continue;
    RowMask mask;
    if (call.common.drop_nulls) {
      auto m = valid_row_mask(batch, p.mask_columns);
      if (!m.ok()) return m.take_error();
      mask = std::move(m).value();
    } else {
      mask.assign(static_cast<size_t>(batch.num_rows), 1);
    }
    masks.emplace(p.mask_columns, std::move(mask));
  }

  auto outcomes = rake_groups_parallel(groups, [&](const GroupRows& g) -> Result<GroupOutcome> {
    auto found = scheme_of_key.find(g.key);
    const PreparedScheme* scheme = nullptr;
    if (found != scheme_of_key.end()) {
      scheme = &prepared[found->second];
    } else if (default_index) {
      scheme = &prepared[*default_index];
    }
    if (scheme == nullptr) {
      GroupOutcome unraked;
      unraked.valid_rows = g.rows;
      unraked.summary.n_valid = g.rows.size();
      return unraked;
    }
    return rake_group(g.rows, coded.value(), scheme->columns, scheme->matched, masks.at(scheme->mask_columns),
                      call.common.options);
  });
  if (!outcomes.ok()) return outcomes.take_error();

  std::vector<double> weights = reassemble_weights(batch.num_rows, outcomes.value());

  if (call.group_totals) {
    double sum = 0.0;
    for (const auto& [key, share] : *call.group_totals) sum += share;
    const bool percent = sum > 1.5;
    std::unordered_map<std::string, double> shares;
    for (const auto& [key, share] : *call.group_totals) shares[key] = percent ? share / 100.0 : share;
    const auto n = static_cast<double>(batch.num_rows);
    for (const GroupRows& g : groups) {
      auto it = shares.find(g.key);
      if (it == shares.end()) continue;
      double group_sum = -0.0;
      for (int64_t row : g.rows) group_sum += weights[static_cast<size_t>(row)];
      if (!(group_sum > 0.0)) continue;
      const double factor = (it->second * n) / group_sum;
      for (int64_t row : g.rows) weights[static_cast<size_t>(row)] = factor * weights[static_cast<size_t>(row)];
    }
  }
  scale_to_total(weights, call.common.total);

  auto table = append_weight_column(batch, std::move(weights), call.common.weight_column);
  if (!table.ok()) return table.take_error();
  return finish(std::move(table).value(), groups, outcomes.value());
}

}  // namespace quelm::adapter
