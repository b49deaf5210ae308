// The raking engine: given one category code per row for each target column and the
// target share of each category, computes one weight per row by iterative proportional
// fitting, with optional caps, and describes the result. Standard library only; it knows
// nothing of Arrow, Python, nulls, groups or totals. The arithmetic is fixed to the last
// bit: every sum adds its terms in ascending row order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace quelm::engine {

// One column of a run in factored form: row i belongs to the category index[i], whose
// category code is codes[index[i]]; the index value codes.size() marks a row without a
// category. Preconditions (the callers guarantee them, the engine does not check): every
// index value is at most codes.size(), and the codes are distinct. The index has the
// narrowest of the three widths that holds codes.size().
using CategoryIndex =
    std::variant<std::span<const uint8_t>, std::span<const uint16_t>, std::span<const uint32_t>>;

struct CategoryColumn {
  CategoryIndex index;             // one per row of the run
  std::span<const int64_t> codes;  // the code of each category index
  // What the caller may already know of the index: with `all_occur`, every category index
  // below codes.size() occurs in it, and `none_occurs` tells whether the no-category value
  // does. Without it the engine finds out with a scan of the index.
  bool all_occur = false;
  bool none_occurs = true;
};

inline std::size_t rows_of(const CategoryIndex& index) {
  return std::visit([](const auto& s) { return s.size(); }, index);
}

// Column name -> the column's categories; every index has the same length n. The engine
// only reads them (the spans point into the callers' storage).
using ColumnCodes = std::vector<std::pair<std::string, CategoryColumn>>;

// Target column name -> (category code -> share), in the order the columns are adjusted.
// Column names are unique.
using MatchedTargets = std::vector<std::pair<std::string, std::unordered_map<int64_t, double>>>;

// An allocator that leaves the elements of a vector uninitialised on resize (a vector
// whose every element is written afterwards then costs one pass, not two).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// One weight per row.
using WeightVector = std::vector<double, UninitializedAllocator<double>>;

struct RakeOptions {
  std::optional<double> min_cap;
  std::optional<double> max_cap;
  uint64_t max_iterations = 0;
  double convergence_threshold = 0.0;
  bool cap_correction = false;
};

struct RakeOutput {
  WeightVector weights;  // n weights, or empty for the neutral result
  uint64_t iterations = 0;
  double max_target_gap = 0.0;
  double efficiency = 100.0;
  double weight_min = 1.0;
  double weight_max = 1.0;
  bool converged = true;
  bool stalled = false;
};

// Either the output or an error text ("Target column '{}' not found in data").
using RakeResult = std::variant<RakeOutput, std::string>;

RakeResult rake_weights(const ColumnCodes& codes, const MatchedTargets& targets, const RakeOptions& options);

}  // namespace quelm::engine
