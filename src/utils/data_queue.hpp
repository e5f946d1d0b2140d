// The work list of path creation: which node and edge patterns of a path are
// taken up, in which order.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace velmora::utils {

struct DataItem {
  std::size_t index;
  bool is_node;  // false: the edge between node `index` and node `index + 1`
  bool operator==(const DataItem&) const = default;
};

class DataQueue {
 public:
  // (0, node), (0, edge), (1, node), ..., (n - 1, node): 2n - 1 items.
  // n is the number of node patterns, at least 1.
  explicit DataQueue(std::size_t n);

  // Takes the last item; nothing when empty.
  std::optional<DataItem> pop();
  // Puts an item back at the end.
  void push(DataItem item) { items_.push_back(item); }
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  const std::vector<DataItem>& items() const { return items_; }

 private:
  std::vector<DataItem> items_;
};

}  // namespace velmora::utils
