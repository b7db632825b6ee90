// The library's own entry points around signing: what its tool and hosts
// need so that none of them parses our files itself.
#include <cstdint>
#include <cstring>

#include "api/messages.h"
#include "api/results.h"
#include "api/strip_font.h"
#include "base/error.h"
#include "fontseal/fontseal.h"
#include "platform/file_source.h"

extern "C" FONTSEAL_API int32_t fontseal_strip(const char* input_path, const char* output_path,
                                               fontseal_report* report) {
    using namespace fontseal;
    const CallFiles files{input_path ? input_path : "", output_path ? output_path : "", "", "", ""};
    return fill_report(report, strip_font(input_path, output_path), files);
}

extern "C" FONTSEAL_API int32_t fontseal_key_needs_password(const char* key_path,
                                                            fontseal_report* report) {
    using namespace fontseal;
    const CallFiles files{"", "", "", key_path ? key_path : "", ""};
    int32_t result = run_with_result([&]() -> int32_t {
        FileSource file;
        try {
            file.open(key_path);
        } catch (const error& e) {
            fail(Stage::kKeyOpen, e.code);
        }
        // A PVK file says in its header whether the blob is encrypted.
        static const uint8_t kMagic[4] = {0x1E, 0xF1, 0xB5, 0xB0};
        uint8_t header[16];
        if (file.remaining() < static_cast<int>(sizeof header)) return 1;
        file.read(header, sizeof header);
        if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return 1;
        return (header[12] | header[13] | header[14] | header[15]) != 0 ? 1 : 0;
    });
    return result < 0 ? fill_report(report, result, files) : result;
}
