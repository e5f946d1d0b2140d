#include "utils/data_queue.hpp"

namespace velmora::utils {

DataQueue::DataQueue(std::size_t n) {
  items_.reserve(n == 0 ? 0 : 2 * n - 1);
  for (std::size_t i = 0; i < n; ++i) {
    items_.push_back({i, true});
    if (i + 1 < n) items_.push_back({i, false});
  }
}

std::optional<DataItem> DataQueue::pop() {
  if (items_.empty()) return std::nullopt;
  DataItem item = items_.back();
  items_.pop_back();
  return item;
}

}  // namespace velmora::utils
