#include "api/strip_font.h"

#include "api/results.h"
#include "font/ot_passes.h"

namespace fontseal {

int32_t strip_font(const char* input_path, const char* output_path, int32_t* detail) {
    return run_with_result([&] {
        OTSourceFont source = open_font(input_path);
        write_font_file(*source.font, output_path, source.permissions);
        return FONTSEAL_OK;
    }, detail);
}

}  // namespace fontseal
