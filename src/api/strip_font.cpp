// SPDX-License-Identifier: Apache-2.0
#include "api/strip_font.h"

#include "api/results.h"
#include "font/ot_collection_layout.h"
#include "font/ot_collection_passes.h"
#include "font/ot_passes.h"

namespace fontseal {

int32_t strip_font(const char* input_path, const char* output_path, int32_t* detail) {
    return run_with_result(
        [&] {
            if (is_font_collection(input_path)) {
                // The collection's DSIG and its members' own go; the header
                // stays at version 2 with its DSIG fields 0, so the stripped
                // file is exactly what a signature of it covers.
                OTSourceCollection source = open_collection(input_path);
                write_collection_file(source, layout_collection(source.collection), nullptr,
                                      output_path, source.permissions);
                return FONTSEAL_OK;
            }
            OTSourceFont source = open_font(input_path);
            write_font_file(*source.font, output_path, source.permissions);
            return FONTSEAL_OK;
        },
        detail);
}

}  // namespace fontseal
