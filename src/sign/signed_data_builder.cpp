// SPDX-License-Identifier: Apache-2.0
#include "der/der_header.h"
#include "der/oids.h"
#include "sign/signed_data_builder.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "der/der_raw.h"
#include "pkcs7/p7_content_info.h"
#include "pkcs7/p7_signed_data.h"
#include "base/error.h"
#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "pkcs7/p7_signer_info.h"
#include "pkcs7/signer_attributes.h"
#include "sign/signer_selection.h"

namespace fontseal {

namespace {


SharedRef<DerRaw> borrowedElement(const uint8_t* bytes, int length) {
    return SharedRef<DerRaw>(new DerRaw(bytes, length, false));
}

// The SignedData for one signer, with every certificate of the list.
SharedRef<P7SignedData> assemble(P7Certificate* certificates, int count,
                                 const CertificateInfo& signer, const uint8_t* content,
                                 int content_length, DigestAlgorithm digest, int statement,
                                 const char16_t* program_name, const char* more_info_url,
                                 const SigningKey& key) {
    SharedRef<P7ContentInfo> contentInfo(new P7ContentInfo());
    contentInfo->setContentType(kOidIndirectData);
    contentInfo->setContent(content, content_length, kTagSequence, kFormConstructed, false);

    auto* signerInfo =
        new P7SignerInfo(contentInfo, &key, borrowedElement(signer.issuer(), signer.issuerLength()),
                         borrowedElement(signer.serial(), signer.serialLength()), digest);
    SharedRef<DerValue> signerInfoRef(signerInfo);
    auto& attributes = signerInfo->authenticatedAttributes();
    attributes.append() = make_publisher_info_attribute(program_name, more_info_url);
    attributes.append() = make_signer_flags_attribute();
    attributes.append() =
        make_statement_attribute(statement_is_commercial(statement, signer.purpose()));

    SharedRef<P7SignedData> signedData(new P7SignedData());
    signedData->setContent(contentInfo);
    for (int i = 0; i < count; ++i) {
        // A copy shares the captured certificate bytes; it writes them back
        // unchanged.
        signedData->certificates().append() =
            SharedRef<DerValue>(new P7Certificate(certificates[i]));
    }
    signedData->signerInfos().append() = signerInfoRef;
    return signedData;
}

}  // namespace

int build_signed_data(P7Certificate* certificates, int count, const uint8_t* content,
                      int content_length, DigestAlgorithm digest, int statement,
                      const char16_t* program_name, const char* more_info_url, uint8_t** out,
                      const SigningKey& key) {
    int signer = find_signer(certificates, count, key);
    if (signer < 0) return kNoMatchingCertificate;
    if (!out || content_length < 0 || (!content && content_length > 0)) {
        return kSignedDataEncodingFailed;
    }

    try {
        SharedRef<P7SignedData> signedData =
            assemble(certificates, count, *certificates[signer].info(), content, content_length,
                     digest, statement, program_name, more_info_url, key);
        int length = signedData->encode(nullptr);
        if (length <= 0) return kSignedDataEncodingFailed;
        HeapBytes block(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length))));
        if (!block) return kSignedDataEncodingFailed;
        MemoryStream sink(block.get(), length);
        signedData->encode(&sink);
        *out = block.release();
        return sink.position();
    } catch (const error&) {
        return kSignedDataEncodingFailed;
    } catch (const std::bad_alloc&) {
        return kSignedDataEncodingFailed;
    } catch (int) {
        return kSignedDataEncodingFailed;
    }
}

}  // namespace fontseal
