// For a key, the first entry of a sequence that carries it, as a search from
// the front would find it, in logarithmic time: the index is built once from
// the whole sequence, then asked many times.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <utility>
#include <vector>

template <typename Key>
class FirstIndex {
public:
    // Entries are added in sequence order; may throw std::bad_alloc.
    void reserve(size_t n) { entries_.reserve(n); }
    void add(const Key& key, size_t position) { entries_.emplace_back(key, position); }
    // Orders the entries by key, keeping sequence order among equal keys.
    void seal() {
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.first < b.first; });
    }
    // The position of the first entry with the key, or -1.
    long find(const Key& key) const {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const Entry& e, const Key& k) { return e.first < k; });
        if (it == entries_.end() || !(it->first == key)) return -1;
        return static_cast<long>(it->second);
    }

private:
    using Entry = std::pair<Key, size_t>;
    std::vector<Entry> entries_;
};
