// SPDX-License-Identifier: Apache-2.0
// Reference-counted owning pointer. DER values and certificates are shared
// between lists and trees through it; the count is a plain integer because
// every signing call builds and drops its objects on one thread.
#pragma once
#include <cstdint>
#include <new>

namespace fontseal {

template <class T>
class SharedRef {
public:
    SharedRef() = default;
    explicit SharedRef(T* object) { reset(object); }
    SharedRef(const SharedRef& other) { assign(other); }
    SharedRef(SharedRef&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SharedRef& operator=(const SharedRef& other) {
        assign(other);
        return *this;
    }
    SharedRef& operator=(SharedRef&& other) noexcept {
        if (this != &other) {
            release();
            block_ = other.block_;
            other.block_ = nullptr;
        }
        return *this;
    }
    ~SharedRef() { release(); }

    // A reference that never deletes its object: for objects owned elsewhere
    // (the caller's key, a stack value) handed to code that expects a SharedRef.
    static SharedRef borrowed(T* object) {
        SharedRef ref;
        if (object) ref.block_ = new Block{object, 1, true};
        return ref;
    }

    void reset(T* object) {
        release();
        if (object) {
            try {
                block_ = new Block{object, 1, false};
            } catch (...) {
                delete object;
                throw;
            }
        }
    }

    void assign(const SharedRef& other) {
        if (other.block_ == block_) return;
        if (other.block_) ++other.block_->count;
        release();
        block_ = other.block_;
    }

    void release() {
        if (!block_) return;
        Block* block = block_;
        block_ = nullptr;
        if (--block->count <= 0) destroy(block);
    }

    T* get() const { return block_ ? block_->object : nullptr; }
    T* operator->() const { return get(); }
    T& operator*() const { return *get(); }
    explicit operator bool() const { return get() != nullptr; }
    int32_t useCount() const { return block_ ? block_->count : 0; }

private:
    struct Block {
        T* object;
        int32_t count;
        bool noDelete;
    };
    // Out of line on purpose: when the release is inlined, GCC cannot follow
    // the count and warns of a use after free wherever two references to one
    // object leave scope together.
    [[gnu::noinline]] static void destroy(Block* block) {
        if (!block->noDelete) delete block->object;
        delete block;
    }

    Block* block_ = nullptr;
};

}  // namespace fontseal
