// SPDX-License-Identifier: Apache-2.0
// The library's own entry points around signing: what its tool and hosts
// need so that none of them parses our files itself.
#include <cstdint>

#include "api/messages.h"
#include "api/results.h"
#include "api/strip_font.h"
#include "base/error.h"
#include "fontseal/fontseal.h"
#include "key/key_file.h"
#include "platform/pkcs11_module.h"
#include "platform/temp_files.h"

extern "C" FONTSEAL_API int32_t fontseal_strip(const char* input_path, const char* output_path,
                                               fontseal_report* report) {
    using namespace fontseal;
    const CallFiles files{input_path ? input_path : "", output_path ? output_path : "", "", ""};
    int32_t detail = 0;
    const int32_t result = strip_font(input_path, output_path, &detail);
    return fill_report(report, result, files, detail);
}

extern "C" FONTSEAL_API int32_t fontseal_key_needs_password(const char* key_path,
                                                            fontseal_report* report) {
    using namespace fontseal;
    const CallFiles files{"", "", "", key_path ? key_path : ""};
    // A key on a token has a PIN, asked for by the signing call, not a password.
    if (is_pkcs11_uri(key_path)) return 0;
    int32_t result = run_with_result([&]() -> int32_t {
        int needs = 0;
        try {
            needs = key_file_needs_password(key_path);
        } catch (const error& e) {
            fail(Stage::kKeyOpen, e.code);
        }
        if (needs < 0) fail(Stage::kKeyRead, needs);
        return needs;
    });
    return result < 0 ? fill_report(report, result, files) : result;
}

extern "C" FONTSEAL_API void fontseal_remove_temporaries(void) {
    fontseal::temp_files_remove_all();
}

extern "C" FONTSEAL_API void fontseal_release_tokens(void) {
    fontseal::Pkcs11Module::releaseLogins();
}

extern "C" FONTSEAL_API const char* fontseal_version(void) { return FONTSEAL_VERSION_STRING; }
