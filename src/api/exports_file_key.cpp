// The file-key route of the exported interface: certificate file and PVK key.
#include "api/font_passes.h"
#include "api/own_key_signing_step.h"
#include "api/results.h"
#include "api/sign_job.h"
#include "api/cert_file_loader.h"
#include "base/error.h"
#include "fontseal/fontseal.h"
#include "key/pvk_reader.h"
#include "key/rsa_key.h"
#include "platform/file_source.h"

#include <new>

namespace fontseal {

namespace {

int32_t sign_with_files(const char* input_path, const char* output_path, const char* cert_path,
                        const char* key_path, const char* password, const SignOptions& options) {
    GrowArray<P7Certificate> certificates;
    try {
        load_certificates(cert_path, certificates);
    } catch (const error& e) {
        fail(Stage::kCertificateOpen, e.code);
    }
    if (certificates.count() == 0) fail(Stage::kCertificateRead);

    RsaPtr key = new_rsa_key();
    if (!key) throw std::bad_alloc();
    {
        FileSource key_file;
        try {
            key_file.open(key_path);
        } catch (const error& e) {
            fail(Stage::kKeyOpen, e.code);
        }
        int loaded = load_private_key(key_file, password, key.get());
        if (loaded < 0) fail(Stage::kKeyRead, loaded);
    }

    OwnKeySigningStep step(certificates, key.get());
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
