#include "result_messages.h"

#include "fontseal/fontseal.h"

namespace fontseal_cli {

namespace {

std::string explain(int32_t code, const SignFiles& f) {
    switch (code) {
        case FONTSEAL_E_INTERNAL:
            return "internal failure while signing " + f.input +
                   " (out of memory or a malformed structure)";
        case FONTSEAL_E_FONT_OBJECT:
            return "internal font-layer fault while processing " + f.input;
        case FONTSEAL_E_INPUT_OPEN:
            return "cannot open input font " + f.input;
        case FONTSEAL_E_OUTPUT_CREATE:
            return "cannot create output font " + f.output;
        case FONTSEAL_E_FONT_DIRECTORY:
            return f.input +
                   " is not a usable font: its table directory is damaged (more than 256 tables, "
                   "or a table reaching past the end of the file)";
        case FONTSEAL_E_CERT_OPEN:
            return "cannot open certificate file " + f.cert;
        case FONTSEAL_E_NO_CERTIFICATE:
            return "no certificate could be read from " + f.cert +
                   " (expected DER, PEM or base64, a single certificate or a PKCS#7 bundle)";
        case FONTSEAL_E_KEY_OPEN:
            return "cannot open private-key file " + f.key;
        case FONTSEAL_E_KEY_READ:
            return "cannot read private-key file " + f.key + " (not a valid PVK key file)";
        case FONTSEAL_E_KEY_PASSWORD:
            return "the password does not open the private-key file " + f.key;
        case FONTSEAL_E_NO_MATCHING_CERT:
            return "none of the certificates in " + f.cert + " belongs to the key in " + f.key;
        case FONTSEAL_E_CONTENT:
            return "cannot build the content to be signed for " + f.input;
        case FONTSEAL_E_SIGN:
            return "signing failed for " + f.input;
        case 258:
            return "cannot write output font " + f.output + " completely (disk full?)";
        default:
            if (code <= -5801 && code >= -5820)
                return "malformed data while building the signature for " + f.input;
            return "signing " + f.input + " failed";
    }
}

}  // namespace

std::string describe_result(int32_t code, const SignFiles& files) {
    return explain(code, files) + " (code " + std::to_string(code) + ")";
}

}  // namespace fontseal_cli
