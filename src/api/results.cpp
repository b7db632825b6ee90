// SPDX-License-Identifier: Apache-2.0
#include "api/results.h"

#include "base/error.h"
#include "font/ot_errors.h"
#include "key/key_errors.h"
#include "platform/pkcs11_module.h"
#include "sign/signed_data_builder.h"

namespace fontseal {

void fail(Stage stage, int32_t code) { throw StageFailure{stage, code}; }

int32_t result_for(Stage stage, int32_t code) {
    switch (stage) {
        case Stage::kCertificateOpen:
            return FONTSEAL_E_CERT_OPEN;
        case Stage::kCertificateRead:
            return FONTSEAL_E_NO_CERTIFICATE;
        case Stage::kKeyOpen:
            return FONTSEAL_E_KEY_OPEN;
        case Stage::kKeyRead:
            switch (code) {
                case kErrKeyPassword:
                    return FONTSEAL_E_KEY_PASSWORD;
                case kErrKeyNotRsa:
                    return FONTSEAL_E_KEY_TYPE;
                case kErrKeyFormat:
                    return FONTSEAL_E_KEY_FORMAT;
                case kErrKeyIterations:
                    return FONTSEAL_E_KEY_ITERATIONS;
                default:
                    return FONTSEAL_E_KEY_READ;
            }
        case Stage::kKeyCertificates:
            return FONTSEAL_E_NO_CERTIFICATE;
        case Stage::kInputOpen:
            return FONTSEAL_E_INPUT_OPEN;
        case Stage::kOutputCreate:
            return FONTSEAL_E_OUTPUT_CREATE;
        case Stage::kContent:
            return FONTSEAL_E_CONTENT;
        case Stage::kSigning:
            // No matching certificate is the caller's to fix; anything else
            // the signer reports is a signing failure.
            return code == kNoMatchingCertificate ? FONTSEAL_E_NO_MATCHING_CERT : FONTSEAL_E_SIGN;
        case Stage::kTimestamp:
            return FONTSEAL_E_TIMESTAMP;
        case Stage::kToken:
            switch (code) {
                case kErrTokenModule:
                    return FONTSEAL_E_TOKEN_MODULE;
                case kErrTokenPin:
                    return FONTSEAL_E_TOKEN_PIN;
                case kErrTokenPinLocked:
                    return FONTSEAL_E_TOKEN_PIN_LOCKED;
                case kErrTokenPinSource:
                    return FONTSEAL_E_TOKEN_PIN_SOURCE;
                case kErrTokenKeyNotRsa:
                    return FONTSEAL_E_KEY_TYPE;
                default:
                    return FONTSEAL_E_TOKEN;
            }
    }
    return FONTSEAL_E_INTERNAL;
}

int32_t result_for_current_exception(int32_t* detail) {
    if (detail) *detail = 0;
    try {
        throw;
    } catch (const StageFailure& f) {
        return result_for(f.stage, f.code);
    } catch (const OT_EXCEPTION& e) {
        // The detail names the fault for the message: the reason where the
        // font layer knew one, else the kind of input.
        if (detail) *detail = e.reason != 0 ? e.reason : e.code;
        switch (e.code) {
            case kOtBadDirectory:
            case kOtWoff:
            case kOtWoff2:
            case kOtCollection:
            case kOtNotSfnt:
            case kOtTooLarge:
            case kOtWoffMember:
            case kOtTooManyMembers:
            case kOtCollectionDirectory:
                return FONTSEAL_E_FONT_DIRECTORY;
            case kOtCannotOpen:
                return FONTSEAL_E_INPUT_OPEN;
            case kOtCannotCreate:
                return FONTSEAL_E_OUTPUT_CREATE;
            default:
                // Objects used without the stream or owner they need.
                return FONTSEAL_E_FONT_OBJECT;
        }
    } catch (const error& e) {
        return e.code;
    } catch (...) {
        // Allocation failures and array index faults have no code of their own.
        return FONTSEAL_E_INTERNAL;
    }
}

}  // namespace fontseal
