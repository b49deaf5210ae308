// Raking engine: iterative proportional fitting over narrow per-row category indices.
//
// Layout of a run. Every target column arrives in factored form: one category index per
// row, of the narrowest unsigned type that holds the number of categories plus one extra
// value for "no category", and the code of each category. The engine reads these indices
// in place (it copies nothing per row); a category takes part when the targets give its
// code a share whose target count counts and at least one row carries it. All further
// work is sequential scans over the index vectors and the weights, with small
// per-category accumulator and factor tables; there is no hash lookup and no allocation
// inside the iterations. The weights are kept either one per row (the row layout) or,
// for large runs whose rows fall into few distinct combinations of categories, one per
// combination with a one- or two-byte combination number per row (the cell layout, see
// below); both give the same results to the last bit.
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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
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
  bool has_rest = false;        // some row is in an inactive category or in none
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
  if (column.all_occur) {
    present.assign(k + 1, 1);
    present[k] = column.none_occurs ? 1 : 0;
  } else {
    present.assign(k + 1, 0);
    std::visit([&](const auto& cats) { mark_present(cats, present.data()); }, col.cats);
  }
  any = false;
  col.has_rest = present[k] != 0;
  for (std::size_t c = 0; c < k; ++c) {
    col.active[c] = col.active[c] & present[c];
    any = any || col.active[c] != 0;
    col.has_rest = col.has_rest || (present[c] != 0 && col.active[c] == 0);
  }
  if (!any) return false;
  col.sums.assign(k + 1, 0.0);
  col.factors.assign(k + 1, 1.0);
  return true;
}

// ---------------------------------------------------------------------------------------
// Scans of one pass, row layout: one weight per row.

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

// The gap of every active category of the column, from sums of the final weights.
double final_column_gap(const IndexedColumn& col, double gap_so_far) {
  for (std::size_t c = 0; c < col.count; ++c) {
    if (col.active[c] == 0) continue;
    const double t = col.targets[c];
    const double gap = std::fabs(col.sums[c] - t) / (t + 1.0);
    if (gap > gap_so_far) gap_so_far = gap;
  }
  return gap_so_far;
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
// of the previous sweep, or the adjustment of the pass's last column. The second
// argument is the row (row layout) or the cell (cell layout) of the weight.
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

// A weight above hi becomes hi and then, if below lo, lo; a NaN weight satisfies no
// comparison and is left alone. `hit` tells whether a clamp applied. Branch-free: weights
// near a cap would make branches unpredictable.
template <bool kLo, bool kHi>
inline double clamp_weight(double x, double lo, double hi, unsigned& hit) {
  if constexpr (kHi) {
    const bool above = x > hi;
    hit |= static_cast<unsigned>(above);
    x = above ? hi : x;
  }
  if constexpr (kLo) {
    const bool below = x < lo;
    hit |= static_cast<unsigned>(below);
    x = below ? lo : x;
  }
  return x;
}

// Up to kMaxCapSweeps sweeps of clamping followed, when a sweep changed something, by
// the division of every weight by the mean weight (when that mean is positive). `first`
// is applied to every weight just before the first sweep's clamping, and each
// renormalisation is applied just before the next sweep's clamping. The layout provides
// clamp(pre) (apply pre, clamp, report whether any clamp applied), total() (the sum of
// all weights in row order after the last clamp) and divide(mean).
template <class Sweeps, class First>
void cap_sweeps(Sweeps& layout, double nd, First first) {
  bool changed = layout.clamp(first);
  for (int sweep = 1;; ++sweep) {
    if (!changed) return;
    const double mean = layout.total() / nd;
    if (sweep == kMaxCapSweeps) {
      if (mean > 0.0) layout.divide(mean);
      return;
    }
    if (mean > 0.0) {
      changed = layout.clamp(DivideWeight{mean});
    } else {
      changed = layout.clamp(KeepWeight{});
    }
  }
}

// Dispatches on which caps are set; the layout's `sweeper<lo, hi>(caps)` does the sweeps.
template <class Layout, class First>
void apply_caps(Layout& layout, const CapBounds& caps, double nd, First first) {
  if (caps.has_lo && caps.has_hi) {
    auto sweeps = layout.template sweeper<true, true>(caps);
    cap_sweeps(sweeps, nd, first);
  } else if (caps.has_lo) {
    auto sweeps = layout.template sweeper<true, false>(caps);
    cap_sweeps(sweeps, nd, first);
  } else if (caps.has_hi) {
    auto sweeps = layout.template sweeper<false, true>(caps);
    cap_sweeps(sweeps, nd, first);
  }
}

// The extremes of the final weights and the two sums of the efficiency (all weights, and
// all squared weights, in row order).
struct Extremes {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  double s = 0.0;
  double q = 0.0;
};

// ---------------------------------------------------------------------------------------
// Row layout: one weight per row.

class RowLayout {
 public:
  RowLayout(std::vector<IndexedColumn>& cols, std::size_t n) : cols_(cols), w_(n, 1.0) {}

  void sum(std::size_t j) {
    IndexedColumn& col = cols_[j];
    reset_sums(col);
    std::visit([&](const auto& cats) { sum_scan(w_.data(), w_.size(), cats.data(), col.sums.data()); }, col.cats);
  }

  void adjust_and_sum(std::size_t a, std::size_t b) {
    IndexedColumn& col = cols_[a];
    IndexedColumn& next = cols_[b];
    reset_sums(next);
    std::visit(
        [&](const auto& cats_a, const auto& cats_b) {
          multiply_sum_scan(w_.data(), w_.size(), cats_a.data(), col.factors.data(), cats_b.data(),
                            next.sums.data());
        },
        col.cats, next.cats);
  }

  // The caps, after the factors of column `last` when it is given.
  void caps(const CapBounds& caps, std::optional<std::size_t> last) {
    const double nd = static_cast<double>(w_.size());
    if (!last) {
      apply_caps(*this, caps, nd, KeepWeight{});
      return;
    }
    const IndexedColumn& col = cols_[*last];
    std::visit(
        [&](const auto& cats) {
          using T = typename std::decay_t<decltype(cats)>::value_type;
          apply_caps(*this, caps, nd, AdjustWeight<T>{cats.data(), col.factors.data()});
        },
        col.cats);
  }

  // Each clamp sweep is one scan that also adds up the clamped weights.
  template <bool kLo, bool kHi>
  struct Sweeper {
    WeightVector& w;
    double lo, hi;
    double sum = 0.0;
    template <class Pre>
    bool clamp(Pre pre) {
      unsigned hits = 0;
      double s = 0.0;
      double* x = w.data();
      const std::size_t n = w.size();
      for (std::size_t i = 0; i < n; ++i) {
        const double v = clamp_weight<kLo, kHi>(pre(x[i], i), lo, hi, hits);
        x[i] = v;
        s += v;
      }
      sum = s;
      return hits != 0;
    }
    double total() const { return sum; }
    void divide(double mean) {
      for (double& x : w) x = x / mean;
    }
  };
  template <bool kLo, bool kHi>
  Sweeper<kLo, kHi> sweeper(const CapBounds& caps) {
    return Sweeper<kLo, kHi>{w_, caps.lo, caps.hi};
  }

  // Zero replacement, extremes and the two sums of the efficiency, in row order; then the
  // sums of every column on the final weights.
  Extremes finish() {
    Extremes e;
    for (double& x : w_) {
      if (x == 0.0) x = 1.0;
      if (x < e.lo) e.lo = x;
      if (x > e.hi) e.hi = x;
      e.s += x;
      e.q += x * x;
    }
    for (std::size_t j = 0; j < cols_.size(); ++j) sum(j);
    return e;
  }

  // The final weights.
  void take_weights(WeightVector& out) { out = std::move(w_); }

 private:
  std::vector<IndexedColumn>& cols_;
  WeightVector w_;
};

// ---------------------------------------------------------------------------------------
// Cell layout: one weight per cell.
//
// Rows that are in the same category of every indexed column (the same cell) go through
// exactly the same operations: a factor depends only on the row's categories, clamping
// and renormalising only on the weight. Their weights therefore stay equal to the last
// bit, and a run can keep one weight per cell. Each row then carries its cell number (one
// or two bytes); the per-row scans read those numbers and a small table and write
// nothing, and the weight vector is written once at the end. Every sum still adds the
// weight of each row, looked up through its cell, in ascending row order, so the results
// are those of the row layout to the last bit; only the memory traffic changes.
//
// Inside a column, the inactive categories and "no category" always keep the factor 1.0,
// so they share one state; the number of cells is the product over the indexed columns of
// their active categories (plus one when some row is in none of them).

// The cell layout is used for runs of at least this many rows (below, the weights stay in
// the caches and the row layout is as fast), ...
constexpr std::size_t kCellMinRows = std::size_t{1} << 15;
// ... with at most this many cells ...
constexpr std::size_t kMaxCells = std::size_t{1} << 16;
// ... and at least this many rows per cell on average.
constexpr std::size_t kRowsPerCell = 16;

// The number of cells of the columns, or 0 when it is above kMaxCells.
std::size_t count_cells(const std::vector<IndexedColumn>& cols) {
  std::size_t cells = 1;
  for (const IndexedColumn& col : cols) {
    std::size_t states = col.has_rest ? 1 : 0;
    for (std::size_t c = 0; c < col.count; ++c) states += col.active[c];
    cells *= states;
    if (cells > kMaxCells) return 0;
  }
  return cells;
}

// Adds the states of one column to the rows' cells (the first column sets them); the
// last column also marks the cells that have rows.
template <class Id, class T>
void add_states(const T* cats, std::size_t n, const Id* states, Id* ids, bool first, uint8_t* present) {
  if (first && present != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const Id c = states[cats[i]];
      ids[i] = c;
      present[c] = 1;
    }
  } else if (first) {
    for (std::size_t i = 0; i < n; ++i) ids[i] = states[cats[i]];
  } else if (present != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<Id>(ids[i] + states[cats[i]]);
      ids[i] = c;
      present[c] = 1;
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<Id>(ids[i] + states[cats[i]]);
  }
}

template <class Id>
void cell_sum_scan(const Id* ids, std::size_t n, const double* w, const uint32_t* cat, double* sums) {
  for (std::size_t i = 0; i < n; ++i) {
    const Id c = ids[i];
    sums[cat[c]] += w[c];
  }
}

// Writes the weight of every row's cell into the output vector (a single pass: the
// vector is built from this iterator, without a fill first).
template <class Id>
struct CellWeights {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = double;
  using difference_type = std::ptrdiff_t;
  using pointer = const double*;
  using reference = const double&;

  const Id* id;
  const double* w;

  reference operator*() const { return w[*id]; }
  reference operator[](difference_type k) const { return w[id[k]]; }
  CellWeights& operator++() {
    ++id;
    return *this;
  }
  CellWeights operator++(int) {
    CellWeights before = *this;
    ++id;
    return before;
  }
  CellWeights& operator--() {
    --id;
    return *this;
  }
  CellWeights operator--(int) {
    CellWeights before = *this;
    --id;
    return before;
  }
  CellWeights& operator+=(difference_type k) {
    id += k;
    return *this;
  }
  CellWeights& operator-=(difference_type k) {
    id -= k;
    return *this;
  }
  friend CellWeights operator+(CellWeights it, difference_type k) { return it += k; }
  friend CellWeights operator+(difference_type k, CellWeights it) { return it += k; }
  friend CellWeights operator-(CellWeights it, difference_type k) { return it -= k; }
  friend difference_type operator-(const CellWeights& a, const CellWeights& b) { return a.id - b.id; }
  friend bool operator==(const CellWeights& a, const CellWeights& b) { return a.id == b.id; }
  friend auto operator<=>(const CellWeights& a, const CellWeights& b) { return a.id <=> b.id; }
};

template <class Id>
class CellLayout {
 public:
  CellLayout(std::vector<IndexedColumn>& cols, std::size_t n, std::size_t cells)
      : cols_(cols), n_(n), ids_(new Id[n]), w_(cells, 1.0), present_(cells, 0), cat_(cols.size()) {
    // A row's cell is the sum over the columns of (state of its category) x (product of
    // the state counts of the columns before).
    std::size_t stride = 1;
    std::vector<Id> states;
    std::vector<uint32_t> category_of_state;
    for (std::size_t j = 0; j < cols.size(); ++j) {
      const IndexedColumn& col = cols[j];
      category_of_state.clear();
      for (std::size_t c = 0; c < col.count; ++c) {
        if (col.active[c] != 0) category_of_state.push_back(static_cast<uint32_t>(c));
      }
      const std::size_t rest = category_of_state.size();
      const std::size_t n_states = rest + (col.has_rest ? 1 : 0);
      category_of_state.push_back(static_cast<uint32_t>(col.count));
      // Without rest rows the rest state is never looked up; 0 keeps it in range.
      const auto rest_value = static_cast<Id>(col.has_rest ? rest * stride : 0);
      states.assign(col.count + 1, rest_value);
      for (std::size_t s = 0; s < rest; ++s) states[category_of_state[s]] = static_cast<Id>(s * stride);
      uint8_t* present = j + 1 == cols.size() ? present_.data() : nullptr;
      std::visit([&](const auto& cats) { add_states(cats.data(), n, states.data(), ids_.get(), j == 0, present); },
                 col.cats);
      std::vector<uint32_t>& cat = cat_[j];
      cat.resize(cells);
      for (std::size_t cell = 0; cell < cells; ++cell) cat[cell] = category_of_state[(cell / stride) % n_states];
      stride *= n_states;
    }
  }

  void sum(std::size_t j) {
    IndexedColumn& col = cols_[j];
    reset_sums(col);
    cell_sum_scan(ids_.get(), n_, w_.data(), cat_[j].data(), col.sums.data());
  }

  void adjust_and_sum(std::size_t a, std::size_t b) {
    const uint32_t* cat = cat_[a].data();
    const double* factors = cols_[a].factors.data();
    for (std::size_t c = 0; c < w_.size(); ++c) w_[c] = w_[c] * factors[cat[c]];
    sum(b);
  }

  void caps(const CapBounds& caps, std::optional<std::size_t> last) {
    const double nd = static_cast<double>(n_);
    if (!last) {
      apply_caps(*this, caps, nd, KeepWeight{});
    } else {
      apply_caps(*this, caps, nd, AdjustWeight<uint32_t>{cat_[*last].data(), cols_[*last].factors.data()});
    }
  }

  // A clamp sweep works on the cells (a clamp counts when its cell has rows); the sum of
  // all weights is taken in row order only when the sweep asks for a renormalisation.
  template <bool kLo, bool kHi>
  struct Sweeper {
    CellLayout& layout;
    double lo, hi;
    template <class Pre>
    bool clamp(Pre pre) {
      unsigned hits = 0;
      std::vector<double>& w = layout.w_;
      const uint8_t* present = layout.present_.data();
      for (std::size_t c = 0; c < w.size(); ++c) {
        unsigned hit = 0;
        w[c] = clamp_weight<kLo, kHi>(pre(w[c], c), lo, hi, hit);
        hits |= hit & present[c];
      }
      return hits != 0;
    }
    double total() const {
      const Id* ids = layout.ids_.get();
      const double* w = layout.w_.data();
      double s = 0.0;
      for (std::size_t i = 0; i < layout.n_; ++i) s += w[ids[i]];
      return s;
    }
    void divide(double mean) {
      for (double& x : layout.w_) x = x / mean;
    }
  };
  template <bool kLo, bool kHi>
  Sweeper<kLo, kHi> sweeper(const CapBounds& caps) {
    return Sweeper<kLo, kHi>{*this, caps.lo, caps.hi};
  }

  // Zero replacement and extremes on the cells with rows; then one scan over the rows
  // takes the two sums of the efficiency and the sums of up to three columns (each is its
  // own chain of additions in row order), and further scans the other columns' sums.
  Extremes finish() {
    Extremes e;
    std::vector<double> squares(w_.size(), 0.0);
    for (std::size_t c = 0; c < w_.size(); ++c) {
      if (present_[c] == 0) continue;
      double& x = w_[c];
      if (x == 0.0) x = 1.0;
      if (x < e.lo) e.lo = x;
      if (x > e.hi) e.hi = x;
      squares[c] = x * x;
    }
    for (IndexedColumn& col : cols_) reset_sums(col);
    const std::size_t m = cols_.size();
    final_scan<true>(0, std::min<std::size_t>(m, 3), squares.data(), e);
    for (std::size_t j = 3; j < m; j += 4) final_scan<false>(j, std::min<std::size_t>(m - j, 4), nullptr, e);
    return e;
  }

  void take_weights(WeightVector& out) {
    const Id* ids = ids_.get();
    out.assign(CellWeights<Id>{ids, w_.data()}, CellWeights<Id>{ids + n_, w_.data()});
  }

 private:
  // Sums of the columns [from, from + count) (count at most 4) and, with kTotals, of all
  // weights and all squared weights, in one scan.
  template <bool kTotals>
  void final_scan(std::size_t from, std::size_t count, const double* squares, Extremes& e) {
    switch (count) {
      case 0:
        if constexpr (kTotals) final_scan_of<0, kTotals>(from, squares, e);
        return;
      case 1:
        return final_scan_of<1, kTotals>(from, squares, e);
      case 2:
        return final_scan_of<2, kTotals>(from, squares, e);
      case 3:
        return final_scan_of<3, kTotals>(from, squares, e);
      default:
        return final_scan_of<4, kTotals>(from, squares, e);
    }
  }

  template <std::size_t M, bool kTotals>
  void final_scan_of(std::size_t from, const double* squares, Extremes& e) {
    const uint32_t* cat[M > 0 ? M : 1];
    double* sums[M > 0 ? M : 1];
    for (std::size_t j = 0; j < M; ++j) {
      cat[j] = cat_[from + j].data();
      sums[j] = cols_[from + j].sums.data();
    }
    const Id* ids = ids_.get();
    const double* w = w_.data();
    double s = 0.0;
    double q = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      const Id c = ids[i];
      const double x = w[c];
      if constexpr (kTotals) {
        s += x;
        q += squares[c];
      }
      for (std::size_t j = 0; j < M; ++j) sums[j][cat[j][c]] += x;
    }
    if constexpr (kTotals) {
      e.s = s;
      e.q = q;
    }
  }

  std::vector<IndexedColumn>& cols_;
  std::size_t n_;
  std::unique_ptr<Id[]> ids_;
  std::vector<double> w_;              // weight of each cell
  std::vector<uint8_t> present_;       // cells with rows
  std::vector<std::vector<uint32_t>> cat_;  // per column: the category index of each cell
};

// ---------------------------------------------------------------------------------------
// One iteration's pass and caps, and the whole run, in either layout.

// Adjusts all indexed columns in order, then applies the caps; returns the iteration gap.
//
// The scan that applies the last column's factors also does the next step's work: with
// caps it is the first clamp sweep; without caps it takes the sums of the first column
// for the next pass (`first_sums_ready` tells the next pass that they are there; the
// weights do not change between the two passes).
template <class Layout>
double rake_pass(Layout& layout, std::vector<IndexedColumn>& cols, const CapBounds& caps, bool& first_sums_ready) {
  double iter_gap = 0.0;
  if (cols.empty()) {
    if (caps.any()) layout.caps(caps, std::nullopt);
    return iter_gap;
  }
  if (!first_sums_ready) layout.sum(0);
  first_sums_ready = false;
  for (std::size_t j = 0; j < cols.size(); ++j) {
    bool all_one = false;
    const double col_gap = column_factors(cols[j], all_one);
    if (col_gap > iter_gap) iter_gap = col_gap;

    if (j + 1 < cols.size()) {
      // Multiplying by 1.0 changes nothing; then only the next column's sums are needed.
      if (all_one) {
        layout.sum(j + 1);
      } else {
        layout.adjust_and_sum(j, j + 1);
      }
      continue;
    }

    // Last column.
    if (caps.any()) {
      layout.caps(caps, all_one ? std::nullopt : std::optional<std::size_t>(j));
    } else if (!all_one) {
      layout.adjust_and_sum(j, 0);
      first_sums_ready = true;
    }
  }
  return iter_gap;
}

template <class Layout>
void run(Layout& layout, std::vector<IndexedColumn>& cols, const CapBounds& caps, const RakeOptions& options,
         double nd, RakeOutput& out) {
  uint64_t k = 0;
  bool converged = false;
  bool stalled = false;
  if (options.max_iterations > 0) {
    double prev_gap = std::numeric_limits<double>::infinity();
    unsigned no_progress = 0;
    bool first_sums_ready = false;
    for (k = 1;; ++k) {
      const double gap = rake_pass(layout, cols, caps, first_sums_ready);
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

  // Zero replacement, extremes, the sums of the efficiency and each column's final sums.
  const Extremes e = layout.finish();
  out.weight_min = e.lo;
  out.weight_max = e.hi;
  out.efficiency = e.q == 0.0 ? 0.0 : (e.s * e.s) / (e.q * nd) * 100.0;

  // Remaining gap on the final weights, over all active categories.
  double final_gap = 0.0;
  for (const IndexedColumn& col : cols) final_gap = final_column_gap(col, final_gap);
  out.max_target_gap = final_gap;
  layout.take_weights(out.weights);
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

  CapBounds caps;
  if (options.min_cap) {
    caps.has_lo = true;
    caps.lo = options.cap_correction ? *options.min_cap - kCapCorrection : *options.min_cap;
  }
  if (options.max_cap) {
    caps.has_hi = true;
    caps.hi = options.cap_correction ? *options.max_cap + kCapCorrection : *options.max_cap;
  }

  RakeOutput out;
  const std::size_t cells = cols.empty() || n < kCellMinRows ? 0 : count_cells(cols);
  if (cells != 0 && cells * kRowsPerCell <= n) {
    if (cells <= 256) {
      CellLayout<uint8_t> layout(cols, n, cells);
      run(layout, cols, caps, options, nd, out);
    } else {
      CellLayout<uint16_t> layout(cols, n, cells);
      run(layout, cols, caps, options, nd, out);
    }
  } else {
    RowLayout layout(cols, n);
    run(layout, cols, caps, options, nd, out);
  }
  return out;
}

}  // namespace quelm::engine
