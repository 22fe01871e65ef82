// For a key, the first entry of a sequence that carries it, as a search from
// the front would find it, in constant time: the index is built once from the
// whole sequence, then asked many times.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

// Hash gives a size_t for a Key (std::hash by default); its bits are mixed
// again here, so an identity hash of addresses that share their low bits
// spreads as well as any.
template <typename Key, typename Hash = std::hash<Key>>
class FirstIndex {
public:
    // Room for n entries without growing; may throw std::bad_alloc.
    void reserve(size_t n) {
        if (2 * n > slots_.size()) rehash(2 * n);
    }
    // Entries are added in sequence order: a key already present keeps its
    // first position. May throw std::bad_alloc.
    void add(const Key& key, size_t position) {
        if (2 * (used_ + 1) > slots_.size()) rehash(2 * (used_ + 1));
        Slot& slot = slots_[probe(key)];
        if (slot.position >= 0) return;
        slot = Slot{key, static_cast<long>(position)};
        ++used_;
    }
    // The position of the first entry with the key, or -1.
    long find(const Key& key) const { return slots_.empty() ? -1 : slots_[probe(key)].position; }

private:
    struct Slot {
        Key key{};
        long position = -1;  // -1: empty
    };

    // The slot that holds the key, or the empty one where it would go: the
    // table is never more than half full, so one is always found.
    size_t probe(const Key& key) const {
        const size_t mask = slots_.size() - 1;
        size_t at =
            static_cast<size_t>((static_cast<uint64_t>(Hash()(key)) * 0x9E3779B97F4A7C15ULL) >> shift_);
        while (slots_[at].position >= 0 && !(slots_[at].key == key)) at = (at + 1) & mask;
        return at;
    }

    // At least `wanted` slots, a power of two; the entries move over.
    void rehash(size_t wanted) {
        size_t size = 16;
        int bits = 4;
        while (size < wanted) {
            size *= 2;
            ++bits;
        }
        std::vector<Slot> old(size);
        old.swap(slots_);
        shift_ = 64 - bits;
        for (const Slot& slot : old)
            if (slot.position >= 0) slots_[probe(slot.key)] = slot;
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
    int shift_ = 64;
};
