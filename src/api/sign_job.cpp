#include "api/sign_job.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "api/font_passes.h"
#include "api/results.h"
#include "base/error.h"
#include "base/heap_bytes.h"
#include "font/ot_dsig_table.h"
#include "font/ot_memory_stream.h"
#include "sign/digest_content.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

namespace {

constexpr int32_t kImageCapacity = 0x10000;
const char kDsigTag[4] = {'D', 'S', 'I', 'G'};

// First pass: the font exactly as the writer lays it out without a DSIG
// table, followed by the DSIG flags value 1 (00 01). This is what is signed.
std::unique_ptr<OTMemoryStream> buildSignedImage(const char* input_path) {
    OpenFont open = open_font_without_dsig(input_path);
    std::unique_ptr<OTMemoryStream> image(new OTMemoryStream(kImageCapacity));
    if (!image->isOk()) throw std::bad_alloc();
    open.font->setOutput(image.get());
    open.font->writeFont();
    open.font->setOutput(nullptr);
    static const uint8_t kFlags[2] = {0x00, 0x01};
    image->seek(image->size(), SeekOrigin::kBegin);
    if (image->write(kFlags, 2) != 2 || !image->isOk()) throw std::bad_alloc();
    return image;
}

HeapBytes buildContent(OTMemoryStream& image, DigestAlgorithm digest, int& length) {
    int needed = build_digest_content(image.buffer(), image.size(), digest, nullptr, 0);
    if (needed < 0) fail(Stage::kContent, needed);
    HeapBytes content(static_cast<uint8_t*>(std::malloc(needed > 0 ? needed : 1)));
    if (!content) throw std::bad_alloc();
    length = build_digest_content(image.buffer(), image.size(), digest, content.get(), needed);
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

int32_t runJob(const char* input_path, const char* output_path, SigningStep& signer,
               const SignOptions& options) {
    std::unique_ptr<OTMemoryStream> image = buildSignedImage(input_path);

    // Second pass: the font again, this time to receive the new DSIG table.
    OpenFont open = open_font_without_dsig(input_path);

    int content_length = 0;
    HeapBytes content = buildContent(*image, options.digestAlgorithm(), content_length);
    int signature_length = 0;
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
    if (options.requireTimestamp && outcome.server < 0) fail(Stage::kTimestamp);
    if (options.outcome) *options.outcome = outcome;
    content.reset();
    image.reset();

    std::unique_ptr<OTTable> table = open.font->createTable(kDsigTag);
    auto* dsig = static_cast<OTDsigTable*>(table.get());
    dsig->setSignature(signature.release(), static_cast<uint32_t>(signature_length));
    open.font->appendTable(std::move(table));

    write_font_file(*open.font, output_path);
    return FONTSEAL_OK;
}

}  // namespace

int32_t sign_job(const char* input_path, const char* output_path, SigningStep& signer,
                 const SignOptions& options) {
    return run_with_result([&] { return runJob(input_path, output_path, signer, options); });
}

}  // namespace fontseal
