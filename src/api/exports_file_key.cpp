// The file-key route of the exported interface: certificate file and PVK key.
#include <utility>

#include "api/cert_file_loader.h"
#include "api/font_passes.h"
#include "api/own_key_signing_step.h"
#include "api/result_codes.h"
#include "api/sign_job.h"
#include "base/error.h"
#include "fontseal/fontseal.h"
#include "key/pvk_reader.h"
#include "platform/file_source.h"

namespace fontseal {

namespace {

int32_t sign_with_files(const char* input_path, const char* output_path, const char* cert_path,
                        const char* key_path, const char* password, const SignOptions& options) {
    GrowArray<P7Certificate> certificates;
    try {
        load_certificates(cert_path, certificates);
    } catch (const error&) {
        return kResultCertOpen;
    }
    if (certificates.count() == 0) return kResultNoCertificate;

    EvpPkeyPtr key;
    {
        FileSource key_file;
        try {
            key_file.open(key_path);
        } catch (const error&) {
            return kResultKeyOpen;
        }
        int loaded = load_private_key(key_file, password, key);
        if (loaded == kErrKeyPassword) return kResultKeyPassword;
        if (loaded < 0) return kResultKeyRead;
    }

    const EvpSigningKey signing_key(std::move(key));
    OwnKeySigningStep step(certificates, signing_key);
    return sign_job(input_path, output_path, step, options);
}

}  // namespace

}  // namespace fontseal

extern "C" FONTSEAL_API int32_t sign_font(const char* input_path, const char* output_path,
                                          const char* cert_path, const char* key_path,
                                          const char* password, int32_t use_sha1, int32_t statement,
                                          const char16_t* program_name, const char* more_info_url,
                                          const char* timestamp_url) {
    const fontseal::SignOptions options(use_sha1, statement, program_name, more_info_url,
                                        timestamp_url);
    return fontseal::run_with_result([&] {
        return fontseal::sign_with_files(input_path, output_path, cert_path, key_path, password,
                                         options);
    });
}
