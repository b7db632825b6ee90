// SPDX-License-Identifier: Apache-2.0
// Buffers for key material: every block is wiped before it goes back to the
// heap, including the blocks a vector abandons when it grows, so passwords,
// derived keys and decrypted key blobs do not linger in freed memory.
#pragma once
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace fontseal {

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

using SecureBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// A fixed-size value (digest, cipher state) wiped when it goes out of scope.
template <class T>
struct Wiped {
    T value{};
    Wiped() = default;
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { OPENSSL_cleanse(&value, sizeof(value)); }
};

}  // namespace fontseal
