// Raking engine: iterative proportional fitting over narrow per-row category indices.
//
// Layout of a run. Every target column arrives in factored form: one category index per
// row, of the narrowest unsigned type that holds the number of categories plus one extra
// value for "no category", and the code of each category. The engine reads these indices
// in place (it copies nothing per row); a category takes part when the targets give its
// code a share whose target count counts and at least one row carries it. All further
// work is sequential scans over the index vectors and the weight vector, with small
// per-category accumulator and factor tables; there is no hash lookup and no allocation
// inside the iterations.
//
// Floating-point discipline. Every category sum adds the weights of its rows one by one
// in ascending row order starting from 0.0: a scan `sums[cat[i]] += w[i]` does exactly
// that for every category at once, because each category only ever sees its own rows in
// scan order. The categories of one column cover disjoint rows, so all of a column's
// sums can be taken before any of its rows is adjusted. Rows that are not adjusted are
// multiplied by exactly 1.0, which leaves every value unchanged (including -0.0,
// infinities and NaN; the engine never produces signalling NaNs). Adjusting one column
// and summing the next one are fused into a single scan: each row is first multiplied,
// then its new value is added, which is the same per-category order of operations. In
// the same way the last column's adjustment shares its scan with the first clamp sweep
// of the caps or, without caps, with the sums of the first column for the next pass.
// Nothing here may be reordered: the build uses -ffp-contract=off and no fast-math.

#include "engine/engine.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quelm::engine {
namespace {

// Categories whose target count is below this are never adjusted or measured.
constexpr double kMinTargetCount = 1e-10;
// An iteration makes progress when its gap is below the previous gap times this factor.
constexpr double kProgressFactor = 0.9999999999;
// Widening of both caps with cap_correction.
constexpr double kCapCorrection = 0.0001;
// Largest number of clamp/renormalise sweeps after one pass.
constexpr int kMaxCapSweeps = 100;

// A target count takes part in raking unless it is below the minimum. A NaN count is not
// below anything, so it takes part (and turns its rows' weights into NaN).
inline bool target_count_counts(double t) { return !(t < kMinTargetCount); }

// ---------------------------------------------------------------------------------------
// Preparation: code -> category lookup (open addressing, used only to place the shares).

class CodeLookup {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  explicit CodeLookup(std::span<const int64_t> codes) {
    std::size_t cap = 8;
    while (cap < codes.size() * 2) cap <<= 1;
    mask_ = cap - 1;
    keys_.assign(cap, 0);
    slots_.assign(cap, kNone);
    for (std::size_t i = 0; i < codes.size(); ++i) {
      std::size_t pos = home(codes[i]);
      while (slots_[pos] != kNone) pos = (pos + 1) & mask_;
      keys_[pos] = codes[i];
      slots_[pos] = i;
    }
  }

  std::size_t find(int64_t code) const {
    std::size_t pos = home(code);
    while (true) {
      const std::size_t slot = slots_[pos];
      if (slot == kNone) return kNone;
      if (keys_[pos] == code) return slot;
      pos = (pos + 1) & mask_;
    }
  }

 private:
  std::size_t home(int64_t code) const {
    uint64_t x = static_cast<uint64_t>(code);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x) & mask_;
  }

  std::size_t mask_ = 0;
  std::vector<int64_t> keys_;
  std::vector<std::size_t> slots_;
};

// ---------------------------------------------------------------------------------------
// Indexed target column.

struct IndexedColumn {
  // One category per row, read in place from the caller's storage; the value `count`
  // means "no category".
  CategoryIndex cats;
  std::size_t count = 0;        // number of categories
  std::vector<double> targets;  // target count of each category (active ones only)
  std::vector<uint8_t> active;  // a share with a target count that counts, and rows
  std::vector<double> sums;     // per-pass accumulators, count + 1 entries (last: no category)
  std::vector<double> factors;  // per-pass factors, count + 1 entries (last is always 1.0)
};

// Marks the categories that have at least one row (plain stores, no dependency between
// rows; the no-category value marks the extra last slot).
template <class T>
void mark_present(std::span<const T> cats, uint8_t* present) {
  const T* in = cats.data();
  const std::size_t n = cats.size();
  for (std::size_t i = 0; i < n; ++i) present[in[i]] = 1;
}

// Prepares one target column; returns false when no row of the column is in an active
// category (the column can then be left out of the iterations entirely).
bool index_column(const CategoryColumn& column, double nd, const std::unordered_map<int64_t, double>& shares,
                  double share_divisor, IndexedColumn& col) {
  const std::size_t k = column.codes.size();
  col.cats = column.index;
  col.count = k;
  if (k == 0 || shares.empty()) return false;
  col.targets.assign(k, 0.0);
  col.active.assign(k, 0);

  bool any = false;
  auto place = [&](std::size_t slot, double t) {
    col.targets[slot] = t;
    col.active[slot] = 1;
    any = true;
  };
  constexpr std::size_t kLinear = 16;
  std::optional<CodeLookup> lookup;
  if (k > kLinear) lookup.emplace(column.codes);
  for (const auto& [code, share] : shares) {
    const double s = share_divisor == 1.0 ? share : share / share_divisor;
    const double t = s * nd;
    if (!target_count_counts(t)) continue;
    std::size_t slot = CodeLookup::kNone;
    if (lookup) {
      slot = lookup->find(code);
    } else {
      for (std::size_t c = 0; c < k; ++c) {
        if (column.codes[c] == code) {
          slot = c;
          break;
        }
      }
    }
    if (slot != CodeLookup::kNone) place(slot, t);
  }
  if (!any) return false;

  // A category without rows is not active.
  thread_local std::vector<uint8_t> present;
  present.assign(k + 1, 0);
  std::visit([&](const auto& cats) { mark_present(cats, present.data()); }, col.cats);
  any = false;
  for (std::size_t c = 0; c < k; ++c) {
    col.active[c] = col.active[c] & present[c];
    any = any || col.active[c] != 0;
  }
  if (!any) return false;
  col.sums.assign(k + 1, 0.0);
  col.factors.assign(k + 1, 1.0);
  return true;
}

// ---------------------------------------------------------------------------------------
// Scans of one pass.

template <class T>
void sum_scan(const double* w, std::size_t n, const T* cats, double* sums) {
  for (std::size_t i = 0; i < n; ++i) sums[cats[i]] += w[i];
}

template <class A, class B>
void multiply_sum_scan(double* w, std::size_t n, const A* cats_a, const double* factors_a, const B* cats_b,
                       double* sums_b) {
  for (std::size_t i = 0; i < n; ++i) {
    const double x = w[i] * factors_a[cats_a[i]];
    w[i] = x;
    sums_b[cats_b[i]] += x;
  }
}

void reset_sums(IndexedColumn& col) {
  for (double& s : col.sums) s = 0.0;
}

void sum_column(const std::vector<double>& w, IndexedColumn& col) {
  reset_sums(col);
  std::visit([&](const auto& cats) { sum_scan(w.data(), w.size(), cats.data(), col.sums.data()); }, col.cats);
}

// Turns the column's sums into factors, measuring the gap of every category with a
// positive sum. Returns the column gap; sets `all_one` when every factor is exactly 1.0.
double column_factors(IndexedColumn& col, bool& all_one) {
  double col_gap = 0.0;
  all_one = true;
  for (std::size_t c = 0; c < col.count; ++c) {
    const double s = col.sums[c];
    const double t = col.targets[c];
    double f = 1.0;
    if (col.active[c] != 0 && s > 0.0) {
      const double gap = std::fabs(s - t) / (t + 1.0);
      if (gap > col_gap) col_gap = gap;
      f = t / s;
    }
    col.factors[c] = f;
    if (f != 1.0) all_one = false;
  }
  col.factors[col.count] = 1.0;
  return col_gap;
}

// ---------------------------------------------------------------------------------------
// Caps.

struct CapBounds {
  bool has_lo = false;
  bool has_hi = false;
  double lo = 0.0;
  double hi = 0.0;

  bool any() const { return has_lo || has_hi; }
};

// What a clamp sweep does to a weight before clamping it: nothing, the renormalisation
// of the previous sweep, or the adjustment of the pass's last column.
struct KeepWeight {
  double operator()(double x, std::size_t) const { return x; }
};

struct DivideWeight {
  double mean;
  double operator()(double x, std::size_t) const { return x / mean; }
};

template <class T>
struct AdjustWeight {
  const T* cats;
  const double* factors;
  double operator()(double x, std::size_t i) const { return x * factors[cats[i]]; }
};

// Applies `pre` and then the clamping to every weight in row order, adds up the resulting
// weights in row order into `sum`, and reports whether any clamp applied. A weight above
// hi becomes hi and then, if below lo, lo; a NaN weight satisfies no comparison and is
// left alone. Branch-free: weights near a cap would make branches unpredictable.
template <bool kLo, bool kHi, class Pre>
bool clamp_scan(double* w, std::size_t n, double lo, double hi, Pre pre, double& sum) {
  unsigned hits = 0;
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double x = pre(w[i], i);
    if constexpr (kHi) {
      const bool above = x > hi;
      hits |= static_cast<unsigned>(above);
      x = above ? hi : x;
    }
    if constexpr (kLo) {
      const bool below = x < lo;
      hits |= static_cast<unsigned>(below);
      x = below ? lo : x;
    }
    w[i] = x;
    s += x;
  }
  sum = s;
  return hits != 0;
}

// Up to kMaxCapSweeps sweeps of clamping followed, when a sweep changed something, by
// the division of every weight by the mean weight (when that mean is positive). Each
// renormalisation is fused with the clamping of the next sweep; `first` is applied to
// every weight just before the first sweep's clamping.
template <bool kLo, bool kHi, class First>
void cap_sweeps(std::vector<double>& w, double lo, double hi, First first) {
  const std::size_t n = w.size();
  const double nd = static_cast<double>(n);
  double sum = 0.0;
  bool changed = clamp_scan<kLo, kHi>(w.data(), n, lo, hi, first, sum);
  for (int sweep = 1;; ++sweep) {
    if (!changed) return;
    const double mean = sum / nd;
    if (sweep == kMaxCapSweeps) {
      if (mean > 0.0) {
        for (double& x : w) x = x / mean;
      }
      return;
    }
    if (mean > 0.0) {
      changed = clamp_scan<kLo, kHi>(w.data(), n, lo, hi, DivideWeight{mean}, sum);
    } else {
      changed = clamp_scan<kLo, kHi>(w.data(), n, lo, hi, KeepWeight{}, sum);
    }
  }
}

template <class First>
void apply_caps(std::vector<double>& w, const CapBounds& caps, First first) {
  if (caps.has_lo && caps.has_hi) {
    cap_sweeps<true, true>(w, caps.lo, caps.hi, first);
  } else if (caps.has_lo) {
    cap_sweeps<true, false>(w, caps.lo, caps.hi, first);
  } else if (caps.has_hi) {
    cap_sweeps<false, true>(w, caps.lo, caps.hi, first);
  }
}

// ---------------------------------------------------------------------------------------
// One iteration's pass and caps.

// Adjusts all indexed columns in order, then applies the caps; returns the iteration gap.
//
// The scan that applies the last column's factors also does the next step's work: with
// caps it is the first clamp sweep; without caps it takes the sums of the first column
// for the next pass (`first_sums_ready` tells the next pass that they are there; the
// weights do not change between the two passes).
double rake_pass(std::vector<double>& w, std::vector<IndexedColumn>& cols, const CapBounds& caps,
                 bool& first_sums_ready) {
  double iter_gap = 0.0;
  const std::size_t n = w.size();
  if (cols.empty()) {
    apply_caps(w, caps, KeepWeight{});
    return iter_gap;
  }
  if (!first_sums_ready) sum_column(w, cols[0]);
  first_sums_ready = false;
  for (std::size_t j = 0; j < cols.size(); ++j) {
    IndexedColumn& col = cols[j];
    bool all_one = false;
    const double col_gap = column_factors(col, all_one);
    if (col_gap > iter_gap) iter_gap = col_gap;

    if (j + 1 < cols.size()) {
      IndexedColumn& next = cols[j + 1];
      if (all_one) {
        // Multiplying by 1.0 changes nothing; only the next column's sums are needed.
        sum_column(w, next);
      } else {
        reset_sums(next);
        std::visit(
            [&](const auto& cats_a, const auto& cats_b) {
              multiply_sum_scan(w.data(), n, cats_a.data(), col.factors.data(), cats_b.data(), next.sums.data());
            },
            col.cats, next.cats);
      }
      continue;
    }

    // Last column.
    if (caps.any()) {
      if (all_one) {
        apply_caps(w, caps, KeepWeight{});
      } else {
        std::visit(
            [&](const auto& cats) {
              using T = typename std::decay_t<decltype(cats)>::value_type;
              apply_caps(w, caps, AdjustWeight<T>{cats.data(), col.factors.data()});
            },
            col.cats);
      }
    } else if (!all_one) {
      IndexedColumn& first = cols[0];
      reset_sums(first);
      std::visit(
          [&](const auto& cats_a, const auto& cats_b) {
            multiply_sum_scan(w.data(), n, cats_a.data(), col.factors.data(), cats_b.data(), first.sums.data());
          },
          col.cats, first.cats);
      first_sums_ready = true;
    }
  }
  return iter_gap;
}

RakeOutput neutral_output() { return RakeOutput{}; }

}  // namespace

RakeResult rake_weights(const ColumnCodes& codes, const MatchedTargets& targets, const RakeOptions& options) {
  // Nothing to rake: the neutral result, without looking at the targets.
  if (codes.empty()) return neutral_output();
  const std::size_t n = rows_of(codes.front().second.index);
  if (n == 0) return neutral_output();
  const double nd = static_cast<double>(n);

  // Percentages or proportions, per column: a share sum above 1.5 means percentages.
  std::vector<double> divisors;
  divisors.reserve(targets.size());
  for (const auto& [name, shares] : targets) {
    double total = 0.0;
    for (const auto& entry : shares) total += entry.second;
    divisors.push_back(total > 1.5 ? 100.0 : 1.0);
  }

  // Every target column must have codes; the first missing one is reported.
  std::vector<const CategoryColumn*> target_codes;
  target_codes.reserve(targets.size());
  for (const auto& [name, shares] : targets) {
    const CategoryColumn* found = nullptr;
    for (const auto& [code_name, seq] : codes) {
      if (code_name == name) {
        found = &seq;
        break;
      }
    }
    if (found == nullptr) return std::string("Target column '") + name + "' not found in data";
    target_codes.push_back(found);
  }

  // Category index of every target column that has an active category with rows. The
  // columns' tables come from the thread's spares (runs of many small groups then
  // allocate nothing here) and go back there when the run ends.
  thread_local std::vector<IndexedColumn> spare;
  std::vector<IndexedColumn> cols;
  cols.reserve(targets.size());
  for (std::size_t j = 0; j < targets.size(); ++j) {
    IndexedColumn col;
    if (!spare.empty()) {
      col = std::move(spare.back());
      spare.pop_back();
    }
    if (index_column(*target_codes[j], nd, targets[j].second, divisors[j], col)) {
      cols.push_back(std::move(col));
    } else {
      spare.push_back(std::move(col));
    }
  }
  struct ReturnSpares {
    std::vector<IndexedColumn>& cols;
    ~ReturnSpares() {
      for (IndexedColumn& c : cols) spare.push_back(std::move(c));
    }
  } return_spares{cols};

  RakeOutput out;
  out.weights.assign(n, 1.0);
  std::vector<double>& w = out.weights;

  CapBounds caps;
  if (options.min_cap) {
    caps.has_lo = true;
    caps.lo = options.cap_correction ? *options.min_cap - kCapCorrection : *options.min_cap;
  }
  if (options.max_cap) {
    caps.has_hi = true;
    caps.hi = options.cap_correction ? *options.max_cap + kCapCorrection : *options.max_cap;
  }

  // Iterations.
  uint64_t k = 0;
  bool converged = false;
  bool stalled = false;
  if (options.max_iterations > 0) {
    double prev_gap = std::numeric_limits<double>::infinity();
    unsigned no_progress = 0;
    bool first_sums_ready = false;
    for (k = 1;; ++k) {
      const double gap = rake_pass(w, cols, caps, first_sums_ready);
      if (gap < options.convergence_threshold) {
        converged = true;
        break;
      }
      if (gap >= prev_gap * kProgressFactor) {
        if (no_progress > 1) {
          stalled = true;
          break;
        }
        ++no_progress;
      } else {
        no_progress = 0;
      }
      if (k == options.max_iterations) break;
      prev_gap = gap;
    }
  }
  out.iterations = k;
  out.converged = converged;
  out.stalled = stalled;

  // Zero replacement, extremes and the two sums of the efficiency, in row order.
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  double s = 0.0;
  double q = 0.0;
  for (double& x : w) {
    if (x == 0.0) x = 1.0;
    if (x < lo) lo = x;
    if (x > hi) hi = x;
    s += x;
    q += x * x;
  }
  out.weight_min = lo;
  out.weight_max = hi;
  out.efficiency = q == 0.0 ? 0.0 : (s * s) / (q * nd) * 100.0;

  // Remaining gap on the final weights, over all active categories.
  double final_gap = 0.0;
  for (IndexedColumn& col : cols) {
    sum_column(w, col);
    for (std::size_t c = 0; c < col.count; ++c) {
      if (col.active[c] == 0) continue;
      const double t = col.targets[c];
      const double gap = std::fabs(col.sums[c] - t) / (t + 1.0);
      if (gap > final_gap) final_gap = gap;
    }
  }
  out.max_target_gap = final_gap;
  return out;
}

}  // namespace quelm::engine
