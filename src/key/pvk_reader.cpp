// SPDX-License-Identifier: Apache-2.0
#include "key/pvk_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/error.h"
#include "key/private_key_blob.h"
#include "key/pvk_cipher.h"
#include "base/secure_bytes.h"

namespace fontseal {
namespace {

constexpr uint32_t kPvkMagic = 0xB0B5F11E;
// Streams that cannot tell their length are read in steps of this size, so a
// forged length costs no more memory than the bytes really present.
constexpr uint32_t kUnknownLengthStep = 64 * 1024;

struct PvkHeader {
    uint32_t magic;
    uint32_t reserved;
    uint32_t key_type;
    uint32_t encrypted;
    uint32_t salt_length;
    uint32_t blob_length;
};

uint32_t read_le32(ByteSource& stream) {
    uint8_t b[4];
    stream.read(b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool read_header(ByteSource& stream, PvkHeader& header) {
    header.magic = read_le32(stream);
    if (header.magic != kPvkMagic) return false;
    header.reserved = read_le32(stream);
    if (header.reserved != 0) return false;
    header.key_type = read_le32(stream);
    header.encrypted = read_le32(stream);
    header.salt_length = read_le32(stream);
    header.blob_length = read_le32(stream);
    return header.blob_length != 0;
}

// True when the salt and the blob can both still be in the stream; a length
// the stream cannot hold is a damaged file, not a request for gigabytes.
bool lengths_fit(ByteSource& stream, const PvkHeader& header) {
    const int remaining = stream.remaining();
    if (remaining < 0) return true;
    const uint64_t needed = uint64_t(header.salt_length) + header.blob_length;
    return needed <= uint64_t(remaining);
}

// Appends exactly `count` bytes of the stream to `out`; raises `error` when
// the stream ends first.
void append_exact(ByteSource& stream, uint32_t count, SecureBytes& out) {
    const std::size_t start = out.size();
    const int remaining = stream.remaining();
    if (remaining >= 0) {
        // lengths_fit has bounded count by remaining, which is an int.
        out.resize(start + count);
        stream.read(out.data() + start, static_cast<int>(count));
        return;
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t step = std::min(count - done, kUnknownLengthStep);
        out.resize(start + done + step);
        stream.read(out.data() + start + done, static_cast<int>(step));
        done += step;
    }
}

int load(ByteSource& stream, const char* password, EvpPkeyPtr& key, OSSL_LIB_CTX* library) {
    const std::size_t password_length = password ? std::strlen(password) : 0;

    PvkHeader header;
    if (!read_header(stream, header)) return kErrKeyFile;
    if (!lengths_fit(stream, header)) return kErrKeyFile;

    SecureBytes material;  // salt, then password
    if (header.salt_length > 0) append_exact(stream, header.salt_length, material);
    SecureBytes blob;
    append_exact(stream, header.blob_length, blob);
    const uint32_t blob_length = header.blob_length;

    // A file saved without encryption holds its blob in clear; decrypting it
    // could only ever report a wrong password.
    if (header.encrypted == 0 && blob_length >= kBlobMarkerEnd &&
        is_private_key_marker(blob.data() + kBlobClearPrefix)) {
        key = key_from_private_blob(blob.data(), blob_length, library);
        return key ? 0 : kErrKeyBlob;
    }

    if (header.salt_length == 0 && password_length == 0) return kErrKeyFile;
    // Too short to hold even the marker, let alone the components.
    if (blob_length < kBlobMarkerEnd) return kErrKeyBlob;

    material.insert(material.end(), password, password + password_length);
    const std::size_t body_length = blob_length - kBlobClearPrefix;
    SecureBytes plain(body_length);
    if (!decrypt_key_body(material.data(), material.size(), blob.data() + kBlobClearPrefix,
                          body_length, plain.data())) {
        return kErrKeyPassword;
    }
    std::copy(plain.begin(), plain.end(), blob.begin() + kBlobClearPrefix);
    key = key_from_private_blob(blob.data(), blob_length, library);
    return key ? 0 : kErrKeyBlob;
}

int needsPassword(ByteSource& stream) {
    PvkHeader header;
    if (!read_header(stream, header) || !lengths_fit(stream, header)) return kErrKeyFile;
    if (header.encrypted != 0 || header.blob_length < kBlobMarkerEnd) return 1;
    SecureBytes skipped;
    append_exact(stream, header.salt_length, skipped);
    uint8_t start[kBlobMarkerEnd];
    stream.read(start, kBlobMarkerEnd);
    return is_private_key_marker(start + kBlobClearPrefix) ? 0 : 1;
}

}  // namespace

int load_private_key(ByteSource& stream, const char* password, EvpPkeyPtr& key,
                     OSSL_LIB_CTX* library) {
    key.reset();
    try {
        const int result = load(stream, password, key, library);
        if (result != 0) key.reset();
        return result;
    } catch (const error&) {
        key.reset();
        return kErrKeyFile;
    } catch (const std::bad_alloc&) {
        key.reset();
        return kErrKeyFile;
    }
}

int pvk_needs_password(ByteSource& stream) {
    try {
        return needsPassword(stream);
    } catch (const error&) {
        return kErrKeyFile;
    } catch (const std::bad_alloc&) {
        return kErrKeyFile;
    }
}

}  // namespace fontseal
