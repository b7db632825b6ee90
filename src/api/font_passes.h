// Turning what the passes raise into result codes. The passes themselves
// live in the font layer (font/ot_passes.h).
#pragma once
#include <cstdint>

namespace fontseal {

// The result code for the exception being handled.
int32_t result_for_current_exception();

// Runs `body` and turns what it raises into a result code.
template <class Body>
int32_t run_with_result(Body&& body) {
    try {
        return body();
    } catch (...) {
        return result_for_current_exception();
    }
}

}  // namespace fontseal
