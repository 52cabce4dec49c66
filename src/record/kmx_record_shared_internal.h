// Fields of the running record that other threads write while the record
// thread reads them (chain temperatures, frequency and voltage, the fan
// duty, the running mode): every access to them is a relaxed atomic load or
// store. A record may still mix values of two moments, as it always could,
// but no access is a data race.
#pragma once

#include <atomic>

namespace kmx_record {

template <typename T>
inline T shared_load(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}

template <typename T, typename V>
inline void shared_store(T &field, V value) {
    std::atomic_ref<T>(field).store(T(value), std::memory_order_relaxed);
}

}  // namespace kmx_record
