#pragma once

#include <cstdint>

// A growable array with room for one element inside the object, so the
// one-neuron input and output layers and small lists never touch the heap.
// Capacity only grows (by doubling): rebuilding a network of the same or a
// smaller size reuses every buffer and allocates nothing.
//
// Positions beyond `size` keep whatever they last held; `resize` neither
// constructs nor clears. Callers that need defined values write them.
template <typename T>
struct InlineVector {
    uint64_t size = 0;
    uint64_t capacity = 1;
    T* data;
    T inlineElement{};

    InlineVector() : data(&inlineElement) {}

    // Copying follows the growth rule: the copy gets the smallest power-of-two
    // capacity that holds the source's used elements, and only those are
    // copied (nested vectors by the same rule, one level down).
    InlineVector(const InlineVector& other) : data(&inlineElement) { *this = other; }

    InlineVector& operator=(const InlineVector& other) {
        if (this == &other) return *this;
        reserve(other.size);
        for (uint64_t i = 0; i < other.size; ++i) data[i] = other.data[i];
        size = other.size;
        return *this;
    }

    ~InlineVector() {
        if (data != &inlineElement && data != nullptr) delete[] data;
    }

    T& operator[](uint64_t i) { return data[i]; }
    const T& operator[](uint64_t i) const { return data[i]; }

    void reserve(uint64_t n) {
        uint64_t newCapacity = capacity;
        while (newCapacity < n) {
            // Past 2^62 doubling would wrap; ask for an impossible count so
            // new[] fails with std::bad_array_new_length instead.
            if (newCapacity > (UINT64_MAX >> 2)) { newCapacity = UINT64_MAX; break; }
            newCapacity *= 2;
        }
        if (newCapacity == capacity) return;
        // new[] of an impossible count throws std::bad_array_new_length.
        T* grown = new T[newCapacity];
        for (uint64_t i = 0; i < size; ++i) grown[i] = data[i];
        if (data != &inlineElement) delete[] data;
        data = grown;
        capacity = newCapacity;
    }

    void resize(uint64_t n) {
        reserve(n);
        size = n;
    }

    void pushBack(const T& value) {
        if (size == capacity) {
            // `value` may be one of our own elements, which growth frees.
            const T copy = value;
            reserve(size + 1);
            data[size] = copy;
        } else {
            data[size] = value;
        }
        ++size;
    }

    void clear() { size = 0; }
};
