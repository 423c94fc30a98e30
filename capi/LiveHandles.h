// LiveHandles: the handles the C interface has given out and not yet taken back, each with its
// object. A handle is checked here before it is used, so a null, foreign or destroyed one is
// refused without reading memory behind it.
//
// Threads: any; one reader-writer lock guards the table, so that lookups (every call, from any
// thread) do not wait for each other. The lock is not held while the object is used.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

template <typename Handle, typename Object>
class LiveHandles {
public:
    void Add(Handle handle, Object* object) {  // may throw std::bad_alloc
        std::lock_guard<std::shared_mutex> hold(lock_);
        live_[handle] = object;
    }
    // The object of a live handle, or null.
    Object* Find(Handle handle) const {
        std::shared_lock<std::shared_mutex> hold(lock_);
        const auto it = live_.find(handle);
        return it == live_.end() ? nullptr : it->second;
    }
    // Takes the handle back: its object, or null when it was not live.
    Object* Remove(Handle handle) {
        std::lock_guard<std::shared_mutex> hold(lock_);
        const auto it = live_.find(handle);
        if (it == live_.end()) {
            return nullptr;
        }
        Object* object = it->second;
        live_.erase(it);
        return object;
    }

private:
    mutable std::shared_mutex lock_;
    std::unordered_map<Handle, Object*> live_;
};
