// SPDX-License-Identifier: Apache-2.0
// Byte blocks from the runtime heap allocator. Blobs handed between layers
// (content, signatures) are malloc'd and freed by their last owner.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace fontseal {

struct FreeDeleter {
    void operator()(uint8_t* block) const { std::free(block); }
};

using HeapBytes = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace fontseal
