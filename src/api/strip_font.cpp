#include "api/strip_font.h"

#include "api/font_passes.h"
#include "api/results.h"

namespace fontseal {

int32_t strip_font(const char* input_path, const char* output_path) {
    return run_with_result([&] {
        OpenFont open = open_font_without_dsig(input_path);
        write_font_file(*open.font, output_path);
        return FONTSEAL_OK;
    });
}

}  // namespace fontseal
