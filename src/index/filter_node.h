// A filter tree as the core sees it: plain values, no Python objects, so it can be evaluated
// without the GIL. Each node owns its children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zanth {

// The opcode values are those of the Python form (op, ...).
enum class FilterOp : std::uint8_t { kExact = 0, kRange = 1, kAnd = 2, kOr = 3, kNot = 4 };

// Conversion refuses deeper trees. Neither conversion, evaluation nor destruction recurses: a
// tree is dropped on whatever thread holds it last, which may have the smallest stack Python
// allows.
inline constexpr std::size_t kMaxFilterDepth = 1024;

struct FilterNode {
  FilterOp op = FilterOp::kAnd;
  std::string key;                   // kExact: the index key; kRange: start (UTF-8 bytes)
  std::string end;                   // kRange: end
  std::vector<FilterNode> children;  // kAnd / kOr: in order; kNot: exactly one

  FilterNode() = default;
  FilterNode(const FilterNode&) = default;
  FilterNode(FilterNode&&) noexcept = default;
  FilterNode& operator=(const FilterNode&) = default;
  FilterNode& operator=(FilterNode&&) noexcept = default;
  // Takes the tree apart a level at a time from a list of its own, so each node dies childless.
  ~FilterNode() {
    if (children.empty()) return;
    std::vector<FilterNode> pending = std::move(children);
    while (!pending.empty()) {
      FilterNode node = std::move(pending.back());
      pending.pop_back();
      for (FilterNode& child : node.children) pending.push_back(std::move(child));
      node.children.clear();
    }
  }

  static FilterNode Exact(std::string key) {
    FilterNode n;
    n.op = FilterOp::kExact;
    n.key = std::move(key);
    return n;
  }
  static FilterNode Range(std::string start, std::string end) {
    FilterNode n;
    n.op = FilterOp::kRange;
    n.key = std::move(start);
    n.end = std::move(end);
    return n;
  }
  static FilterNode And(std::vector<FilterNode> children) {
    FilterNode n;
    n.op = FilterOp::kAnd;
    n.children = std::move(children);
    return n;
  }
  static FilterNode Or(std::vector<FilterNode> children) {
    FilterNode n;
    n.op = FilterOp::kOr;
    n.children = std::move(children);
    return n;
  }
  static FilterNode Not(FilterNode child) {
    FilterNode n;
    n.op = FilterOp::kNot;
    n.children.push_back(std::move(child));
    return n;
  }
};

}  // namespace zanth
