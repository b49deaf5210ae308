// The parsed form of a targets mapping: column name -> (category key -> share).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace quelm::adapter {

// One category key as the caller wrote it: an integer code or a text.
struct TargetKey {
  std::variant<int64_t, std::string> value;

  static TargetKey integer(int64_t v) { return TargetKey{v}; }
  static TargetKey text(std::string v) { return TargetKey{std::move(v)}; }
  bool is_int() const { return value.index() == 0; }
  int64_t as_int() const { return std::get<0>(value); }
  const std::string& as_text() const { return std::get<1>(value); }
  bool operator==(const TargetKey&) const = default;
};

struct TargetKeyHash {
  size_t operator()(const TargetKey& k) const {
    if (k.is_int()) return std::hash<int64_t>{}(k.as_int()) * 2u;
    return std::hash<std::string>{}(k.as_text()) * 2u + 1u;
  }
};

// The shares of one target column; each key once.
using TargetSpec = std::unordered_map<TargetKey, double, TargetKeyHash>;

// Column name -> shares, in the order of the caller's dict (a name seen again keeps its
// first position and takes the later shares).
class TargetSet {
 public:
  void put(std::string column, TargetSpec shares) {
    auto [it, inserted] = index_.try_emplace(column, entries_.size());
    if (!inserted) {
      entries_[it->second].second = std::move(shares);
      return;
    }
    entries_.emplace_back(std::move(column), std::move(shares));
  }
  const std::vector<std::pair<std::string, TargetSpec>>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<std::string, TargetSpec>> entries_;
  std::unordered_map<std::string, size_t> index_;
};

}  // namespace quelm::adapter
