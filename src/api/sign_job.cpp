// SPDX-License-Identifier: Apache-2.0
#include "api/sign_job.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "api/results.h"
#include "base/error.h"
#include "base/heap_bytes.h"
#include "font/ot_collection_layout.h"
#include "font/ot_collection_passes.h"
#include "font/ot_dsig_table.h"
#include "font/ot_passes.h"
#include "sign/digest_content.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

namespace {

class DigestSink : public OTChunkSink {
public:
    explicit DigestSink(ImageDigest& digest) : digest_(digest) {}
    void put(const uint8_t* data, size_t count) override { digest_.update(data, count); }

private:
    ImageDigest& digest_;
};

// The content to be signed, over the digest of the signed image, which is
// taken as `emit` lays the image out into a sink and never held whole.
template <class Emit>
HeapBytes buildContent(Emit&& emit, DigestAlgorithm algorithm, int& length) {
    ImageDigest digest(algorithm);
    DigestSink sink(digest);
    emit(sink);
    uint8_t value[ImageDigest::kMaxLength];
    int value_length = digest.finish(value);
    if (value_length < 0) fail(Stage::kContent, value_length);
    int needed = build_digest_content_for_digest(value, value_length, algorithm, nullptr, 0);
    if (needed < 0) fail(Stage::kContent, needed);
    HeapBytes content(static_cast<uint8_t*>(std::malloc(needed > 0 ? needed : 1)));
    if (!content) throw std::bad_alloc();
    length = build_digest_content_for_digest(value, value_length, algorithm, content.get(), needed);
    if (length < 0) fail(Stage::kContent, length);
    return content;
}

HeapBytes signContent(SigningStep& signer, const uint8_t* content, int length,
                      const SignOptions& options, int& signature_length) {
    uint8_t* raw = nullptr;
    int result = signer.sign(content, length, options, &raw);
    HeapBytes signature(raw);
    if (result < 0) fail(Stage::kSigning, result);
    if (!signature || result == 0) fail(Stage::kSigning);
    signature_length = result;
    return signature;
}

// The signature over `content`, time-stamped as the options ask.
HeapBytes signAndStamp(SigningStep& signer, HeapBytes content, int content_length,
                       const SignOptions& options, int& signature_length) {
    HeapBytes signature =
        signContent(signer, content.get(), content_length, options, signature_length);
    // Without a time stamp (no server, or none to be had) the plain signature
    // stays, unless one was required.
    const TimestampServer original{options.timestampUrl, &kCounterSignatureProtocol};
    const TimestampServer* servers = options.timestampServers;
    int server_count = options.timestampServerCount;
    if (server_count <= 0 && options.timestampUrl) {
        servers = &original;
        server_count = 1;
    }
    TimestampOutcome outcome;
    uint8_t* stamped = nullptr;
    const int stamped_length =
        server_count > 0
            ? timestamp_signature(signature.get(), signature_length, &stamped, servers,
                                  server_count, options.imprintHash, TransferOptions(), outcome)
            : -1;
    if (stamped_length > 0) {
        signature.reset(stamped);
        signature_length = stamped_length;
    }
    // The caller learns why there is no stamp even when that fails the job.
    if (options.outcome) *options.outcome = outcome;
    if (options.requireTimestamp && outcome.server < 0) fail(Stage::kTimestamp);
    return signature;
}

// A collection is signed as a whole: one DSIG, last in the file, that the
// header names.
int32_t runCollectionJob(const char* input_path, const char* output_path, SigningStep& signer,
                         const SignOptions& options) {
    OTSourceCollection source = open_collection(input_path);
    const OTLayout layout = layout_collection(source.collection);
    int content_length = 0;
    HeapBytes content =
        buildContent([&](OTChunkSink& sink) { emit_collection_signed_image(source, layout, sink); },
                     options.digestAlgorithm(), content_length);
    int signature_length = 0;
    HeapBytes signature =
        signAndStamp(signer, std::move(content), content_length, options, signature_length);
    OTDsigTable dsig("DSIG", source.owner.get());
    dsig.setSignature(signature.release(), static_cast<uint32_t>(signature_length));
    write_collection_file(source, layout, &dsig, output_path, source.permissions);
    return FONTSEAL_OK;
}

int32_t runJob(const char* input_path, const char* output_path, SigningStep& signer,
               const SignOptions& options) {
    // The original entry points keep refusing collections, as they always have.
    if (options.collections && is_font_collection(input_path)) {
        return runCollectionJob(input_path, output_path, signer, options);
    }
    OTSourceFont source = open_font(input_path);

    int content_length = 0;
    HeapBytes content =
        buildContent([&](OTChunkSink& sink) { emit_signed_image(*source.font, sink); },
                     options.digestAlgorithm(), content_length);
    int signature_length = 0;
    HeapBytes signature =
        signAndStamp(signer, std::move(content), content_length, options, signature_length);

    // The same font, now with the new DSIG table.
    OTDsigTable& dsig = source.font->appendDsigTable();
    dsig.setSignature(signature.release(), static_cast<uint32_t>(signature_length));
    write_font_file(*source.font, output_path, source.permissions);
    return FONTSEAL_OK;
}

}  // namespace

int32_t sign_job(const char* input_path, const char* output_path, SigningStep& signer,
                 const SignOptions& options, int32_t* detail) {
    return run_with_result([&] { return runJob(input_path, output_path, signer, options); },
                           detail);
}

}  // namespace fontseal
