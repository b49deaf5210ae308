#include "arrow_adapter/groups.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <span>

#include "pool/pool.hpp"

namespace quelm::adapter {

namespace {

constexpr uint32_t kUnseen = UINT32_MAX;

// Rows per chunk of the partition's parallel passes, at least.
constexpr size_t kMinChunkRows = size_t{1} << 16;

// The partition of the rows by their ids (each in [0, n_ids)); ids whose key texts are
// equal form one group, and groups are numbered in order of their first row.
//
// Two parallel passes over contiguous chunks of rows: the first counts every id's rows
// per chunk and notes, per chunk, each id's first row in order of appearance; the second
// writes every row index to its group's next slot of the chunk. A chunk's slots of a group
// follow those of the earlier chunks, so every group's rows come out ascending. Between the
// passes, one step per id on the calling thread: the ids in order of their first row (the
// first chunks' lists in chunk order), merged by text into groups.
GroupPartition partition_ids(std::span<const uint32_t> ids, size_t n_ids,
                             const std::function<std::string(size_t first_row)>& key_of_row) {
  GroupPartition out;
  const size_t n = ids.size();
  if (n == 0) return out;
  size_t chunks = std::min(pool::worker_count(), (n + kMinChunkRows - 1) / kMinChunkRows);
  // Per-chunk tables of one slot per id cost chunks x n_ids; with ids nearly as many as
  // rows one chunk does.
  if (n_ids * 4 > n) chunks = 1;
  chunks = std::max<size_t>(chunks, 1);
  const size_t per_chunk = (n + chunks - 1) / chunks;
  auto chunk_lo = [&](size_t c) { return std::min(n, c * per_chunk); };

  std::vector<uint64_t> counts(chunks * n_ids, 0);
  std::vector<std::vector<std::pair<uint32_t, uint64_t>>> firsts(chunks);  // (id, first row)
  pool::parallel_for(chunks, [&](size_t c) -> std::optional<std::string> {
    uint64_t* count = counts.data() + c * n_ids;
    auto& first = firsts[c];
    const size_t hi = chunk_lo(c + 1);
    for (size_t i = chunk_lo(c); i < hi; ++i) {
      if (count[ids[i]]++ == 0) first.emplace_back(ids[i], i);
    }
    return std::nullopt;
  });

  std::vector<uint32_t> group_of_id(n_ids, kUnseen);
  std::unordered_map<std::string, uint32_t> group_of_text;
  for (const auto& first : firsts) {
    for (const auto& [id, row] : first) {
      if (group_of_id[id] != kUnseen) continue;
      std::string key = key_of_row(row);
      auto [it, inserted] = group_of_text.try_emplace(key, static_cast<uint32_t>(out.keys.size()));
      if (inserted) out.keys.push_back(std::move(key));
      group_of_id[id] = it->second;
    }
  }
  firsts = {};

  // cursor[c * n_groups + g]: chunk c's first slot of group g.
  const size_t n_groups = out.keys.size();
  std::vector<uint64_t> cursor(chunks * n_groups, 0);
  for (size_t c = 0; c < chunks; ++c) {
    const uint64_t* count = counts.data() + c * n_ids;
    uint64_t* cur = cursor.data() + c * n_groups;
    for (size_t id = 0; id < n_ids; ++id) {
      if (count[id] != 0) cur[group_of_id[id]] += count[id];
    }
  }
  counts = {};
  out.starts.assign(n_groups + 1, 0);
  uint64_t next = 0;
  for (size_t g = 0; g < n_groups; ++g) {
    out.starts[g] = next;
    for (size_t c = 0; c < chunks; ++c) {
      const uint64_t k = cursor[c * n_groups + g];
      cursor[c * n_groups + g] = next;
      next += k;
    }
  }
  out.starts[n_groups] = next;

  out.rows.resize(n);
  pool::parallel_for(chunks, [&](size_t c) -> std::optional<std::string> {
    uint64_t* cur = cursor.data() + c * n_groups;
    int64_t* rows = out.rows.data();
    const uint32_t* group = group_of_id.data();
    const size_t hi = chunk_lo(c + 1);
    for (size_t i = chunk_lo(c); i < hi; ++i) rows[cur[group[ids[i]]]++] = static_cast<int64_t>(i);
    return std::nullopt;
  });
  return out;
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

// The row mask of `names`, or none when every row is valid: with drop_nulls off, or when
// none of the columns has a null (valid_row_mask reports a missing column).
Result<std::optional<RowMask>> mask_if_needed(const arrow::RecordBatch& batch, const std::vector<std::string>& names,
                                              bool drop_nulls) {
  if (!drop_nulls) return std::optional<RowMask>{};
  bool all_valid = true;
  for (const std::string& name : names) {
    const int64_t index = batch.schema->find(name);
    if (index < 0 || !arrow::validity_of(*batch.columns[static_cast<size_t>(index)]).all_valid()) {
      all_valid = false;
      break;
    }
  }
  if (all_valid) return std::optional<RowMask>{};
  auto m = valid_row_mask(batch, names);
  if (!m.ok()) return m.take_error();
  return std::optional<RowMask>{std::move(m).value()};
}

// Runs `job(g, rows)` for every group on the task pool; each job writes its group's
// weights into `weights` and returns its summary, which lands in its slot (partition order).
template <class Job>
Result<std::vector<RunSummary>> rake_groups_parallel(const GroupPartition& groups, Job&& job) {
  std::vector<RunSummary> summaries(groups.size());
  std::optional<std::string> failed = pool::parallel_for(groups.size(), [&](size_t g) -> std::optional<std::string> {
    Result<RunSummary> r = job(g, groups.rows_of(g));
    if (!r.ok()) return r.error().message;
    summaries[g] = r.value();
    return std::nullopt;
  });
  if (failed) return Error{std::move(*failed)};
  return summaries;
}

GroupedRake finish(arrow::RecordBatch&& table, GroupPartition& groups, const std::vector<RunSummary>& summaries) {
  GroupedRake out;
  out.table = std::move(table);
  out.groups.reserve(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) out.groups.emplace_back(std::move(groups.keys[g]), summaries[g]);
  return out;
}

// Per worker thread: the buffers of one group's run, reused from group to group.
struct GroupScratch {
  std::vector<int64_t> valid_rows;
  std::vector<CategorySubset> subsets;
  engine::ColumnCodes codes;
};

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
    GroupPartition out;
    if (n == 0) return out;
    out.keys.emplace_back();
    out.starts.push_back(n);
    out.rows.resize(n);
    for (size_t i = 0; i < n; ++i) out.rows[i] = static_cast<int64_t>(i);
    return out;
  }

  // Fold the per-column ids into one composite id per row (one hash lookup per row and
  // extra column), then give each composite id the joined text of its first row.
  std::vector<uint32_t>& composite = keys[0].ids;
  size_t n_composite = keys[0].texts.size();
  if (keys.size() > 1) {
    // The first column's ids are replaced; its texts are looked up through a copy.
    std::vector<uint32_t> first_ids = composite;
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
    return partition_ids(composite, n_composite, [&](size_t row) {
      std::string key = keys[0].texts[first_ids[row]];
      for (size_t c = 1; c < keys.size(); ++c) {
        key += "||";
        key += keys[c].texts[keys[c].ids[row]];
      }
      return key;
    });
  }
  return partition_ids(composite, n_composite, [&](size_t row) { return keys[0].texts[composite[row]]; });
}

Result<RunSummary> rake_group(std::span<const int64_t> rows, const CodedColumns& coded,
                              const std::vector<std::string>& target_columns, const engine::MatchedTargets& targets,
                              const RowMask* mask, const engine::RakeOptions& options, std::span<double> weights) {
  thread_local GroupScratch scratch;
  std::span<const int64_t> valid = rows;
  if (mask != nullptr) {
    scratch.valid_rows.clear();
    for (int64_t row : rows) {
      weights[static_cast<size_t>(row)] = 1.0;
      if ((*mask)[static_cast<size_t>(row)]) scratch.valid_rows.push_back(row);
    }
    valid = scratch.valid_rows;
  }
  RunSummary summary;
  summary.n_valid = valid.size();
  auto keep_ones = [&] {
    if (mask == nullptr) {
      for (int64_t row : rows) weights[static_cast<size_t>(row)] = 1.0;
    }
  };
  if (valid.empty()) {
    keep_ones();
    return summary;
  }

  if (scratch.subsets.size() < target_columns.size()) scratch.subsets.resize(target_columns.size());
  engine::ColumnCodes& codes = scratch.codes;
  codes.clear();
  for (size_t j = 0; j < target_columns.size(); ++j) {
    const std::string& name = target_columns[j];
    auto it = coded.find(name);
    if (it == coded.end()) continue;
    if (std::any_of(codes.begin(), codes.end(), [&](const auto& c) { return c.first == name; })) continue;
    subset_rows(it->second, valid, scratch.subsets[j]);
    codes.emplace_back(name, scratch.subsets[j].view());
  }
  engine::RakeResult ran = engine::rake_weights(codes, targets, options);
  codes.clear();
  if (auto* message = std::get_if<std::string>(&ran)) return Error{std::move(*message)};
  const engine::RakeOutput& output = std::get<engine::RakeOutput>(ran);
  summary = summary_of(valid.size(), output);
  if (output.weights.empty()) {
    keep_ones();
    return summary;
  }
  const size_t m = std::min(valid.size(), output.weights.size());
  double* w = weights.data();
  for (size_t k = 0; k < m; ++k) w[valid[k]] = output.weights[k];
  return summary;
}

void scale_to_total(engine::WeightVector& weights, std::optional<double> total) {
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
  auto mask = mask_if_needed(batch, call.common.target_columns, call.common.drop_nulls);
  if (!mask.ok()) return mask.take_error();
  const RowMask* row_mask = mask.value() ? &*mask.value() : nullptr;

  // Every group writes all of its rows, so the vector needs no initial value.
  engine::WeightVector weights(static_cast<size_t>(batch.num_rows));
  const std::span<double> out_weights(weights);
  auto summaries = rake_groups_parallel(groups.value(), [&](size_t, std::span<const int64_t> rows) {
    return rake_group(rows, coded.value(), call.common.target_columns, matched.value(), row_mask,
                      call.common.options, out_weights);
  });
  if (!summaries.ok()) return summaries.take_error();

  scale_to_total(weights, call.common.total);
  auto table = append_weight_column(batch, std::move(weights), call.common.weight_column);
  if (!table.ok()) return table.take_error();
  return finish(std::move(table).value(), groups.value(), summaries.value());
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
  for (const auto& [name, shares] : scheme.entries()) {
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
  GroupPartition groups = partition_ids(keys.ids, keys.texts.size(), [&](size_t row) { return keys.texts[keys.ids[row]]; });

  // Every column that any scheme names and the table has is coded once.
  std::vector<std::string> names;
  auto collect = [&](const TargetSet& s) {
    for (const auto& [name, shares] : s.entries()) names.push_back(name);
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
  // One mask per distinct set of mask columns (none when all their rows are valid).
  std::map<std::vector<std::string>, std::optional<RowMask>> masks;
  for (const PreparedScheme& p : prepared) {
    if (masks.count(p.mask_columns) != 0) continue;
    auto m = mask_if_needed(batch, p.mask_columns, call.common.drop_nulls);
    if (!m.ok()) return m.take_error();
    masks.emplace(p.mask_columns, std::move(m).value());
  }

  // Every group writes all of its rows, so the vector needs no initial value.
  engine::WeightVector weights(static_cast<size_t>(batch.num_rows));
  const std::span<double> out_weights(weights);
  auto summaries = rake_groups_parallel(groups, [&](size_t g, std::span<const int64_t> rows) -> Result<RunSummary> {
    auto found = scheme_of_key.find(groups.keys[g]);
    const PreparedScheme* scheme = nullptr;
    if (found != scheme_of_key.end()) {
      scheme = &prepared[found->second];
    } else if (default_index) {
      scheme = &prepared[*default_index];
    }
    if (scheme == nullptr) {
      for (int64_t row : rows) out_weights[static_cast<size_t>(row)] = 1.0;
      RunSummary unraked;
      unraked.n_valid = rows.size();
      return unraked;
    }
    const std::optional<RowMask>& mask = masks.at(scheme->mask_columns);
    return rake_group(rows, coded.value(), scheme->columns, scheme->matched, mask ? &*mask : nullptr,
                      call.common.options, out_weights);
  });
  if (!summaries.ok()) return summaries.take_error();

  if (call.group_totals) {
    double sum = 0.0;
    for (const auto& [key, share] : *call.group_totals) sum += share;
    const bool percent = sum > 1.5;
    std::unordered_map<std::string, double> shares;
    for (const auto& [key, share] : *call.group_totals) shares[key] = percent ? share / 100.0 : share;
    const auto n = static_cast<double>(batch.num_rows);
    for (size_t g = 0; g < groups.size(); ++g) {
      auto it = shares.find(groups.keys[g]);
      if (it == shares.end()) continue;
      const std::span<const int64_t> rows = groups.rows_of(g);
      double group_sum = -0.0;
      for (int64_t row : rows) group_sum += weights[static_cast<size_t>(row)];
      if (!(group_sum > 0.0)) continue;
      const double factor = (it->second * n) / group_sum;
      for (int64_t row : rows) weights[static_cast<size_t>(row)] = factor * weights[static_cast<size_t>(row)];
    }
  }
  scale_to_total(weights, call.common.total);

  auto table = append_weight_column(batch, std::move(weights), call.common.weight_column);
  if (!table.ok()) return table.take_error();
  return finish(std::move(table).value(), groups, summaries.value());
}

}  // namespace quelm::adapter
