// SPDX-License-Identifier: Apache-2.0
/* A host of an installed libfontseal, built with nothing but what
 * `pkg-config --cflags --libs fontseal` gives: signs a font, then verifies it
 * against the root that issued the signer's certificate.
 *   host INPUT OUTPUT CERT KEY CA */
#include <fontseal/fontseal.h>
#include <fontseal/store.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: host INPUT OUTPUT CERT KEY CA\n");
        return 2;
    }
    fontseal_sign_request request = {sizeof request};
    request.input_path = argv[1];
    request.output_path = argv[2];
    request.cert_path = argv[3];
    request.key_path = argv[4];
    request.digest = FONTSEAL_HASH_SHA384;
    request.program_name = "Installed host";
    fontseal_report report = {sizeof report};
    int32_t signed_result = fontseal_sign(&request, &report);
    if (signed_result != FONTSEAL_OK || report.result != signed_result) {
        fprintf(stderr, "sign: %d %s\n", (int)signed_result, report.message);
        return 1;
    }

    fontseal_verify_request check = {sizeof check};
    check.font_path = argv[2];
    check.ca_file = argv[5];
    fontseal_verify_report verdict = {sizeof verdict};
    int32_t verified = fontseal_verify(&check, &verdict);
    if (verified != FONTSEAL_OK) {
        fprintf(stderr, "verify: %d %s: %s\n", (int)verified, verdict.check, verdict.message);
        return 1;
    }
    printf("signer=%s\ndigest=%s\nprogram=%s\nchain=%d\n", verdict.signer_subject, verdict.digest,
           verdict.program_name, (int)verdict.chain_checked);
    /* The headers and the library the loader found are of one release. */
    printf("version=%s/%s %d.%d.%d\n", FONTSEAL_VERSION_STRING, fontseal_version(),
           FONTSEAL_VERSION_MAJOR, FONTSEAL_VERSION_MINOR, FONTSEAL_VERSION_PATCH);
    return 0;
}
