// Handle values for objects of one kind, in a range of their own: counted up and never reused
// within a process, so that a closed or made-up handle is always refused. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tarnel::host {

template <typename Object>
class HandleValues {
  public:
    explicit HandleValues(std::uintptr_t first) : first_(first) {}

    template <typename Handle>
    Handle insert(Object object) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t value = first_ + 4 * next_++;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<Handle>(value);
    }
    template <typename Handle>
    bool find(Handle handle, Object& out) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == objects_.end())
            return false;
        out = it->second;
        return true;
    }
    template <typename Handle>
    bool remove(Handle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return objects_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
    }

  private:
    const std::uintptr_t first_;
    mutable std::mutex mutex_;
    std::uintptr_t next_ = 0;
    std::unordered_map<std::uintptr_t, Object> objects_;
};

}  // namespace tarnel::host
