# SPDX-License-Identifier: Apache-2.0
"""A minimal DER walker for the tests, written from the encoding rules alone,
to cut pieces out of signature blobs."""


def header(data, pos):
    """(tag byte, header length, content length) of the element at pos."""
    tag = data[pos]
    n = 1
    if tag & 0x1F == 0x1F:
        while data[pos + n] & 0x80:
            n += 1
        n += 1
    first = data[pos + n]
    n += 1
    if first < 0x80:
        return tag, n, first
    count = first & 0x7F
    length = int.from_bytes(data[pos + n:pos + n + count], "big")
    return tag, n + count, length


def children(data, pos):
    """[(tag, start, header length, content length)] of the element at pos."""
    tag, hl, length = header(data, pos)
    out, p, end = [], pos + hl, pos + hl + length
    while p < end:
        t, h, l = header(data, p)
        out.append((t, p, h, l))
        p += h + l
    return out


def element(data, start):
    t, h, l = header(data, start)
    return data[start:start + h + l]


def content(data, start):
    t, h, l = header(data, start)
    return data[start + h:start + h + l]


# Attribute types (DER of the OID's content) in the order the signer makes
# them: publisher information, signer flags, statement type, contentType,
# messageDigest.
_ATTRIBUTE_ORDER = [bytes.fromhex(h) for h in (
    "2B06010401823702010C", "2B0601040182372801", "2B06010401823702010B",
    "2A864886F70D010903", "2A864886F70D010904")]


def _attribute_rank(attribute):
    oid = content(attribute, children(attribute, 0)[0][1])
    return _ATTRIBUTE_ORDER.index(oid) if oid in _ATTRIBUTE_ORDER else len(_ATTRIBUTE_ORDER)


class SignedBlob:
    """The parts of a PKCS#7 ContentInfo(signedData) that the tests look at."""

    def __init__(self, blob):
        self.blob = blob
        top = children(blob, 0)
        assert top[0][0] == 0x06 and top[1][0] == 0xA0
        sd_pos = children(blob, top[1][1])[0][1]
        sd = children(blob, sd_pos)
        self.version = content(blob, sd[0][1])
        self.digest_algorithms = element(blob, sd[1][1])
        ci = children(blob, sd[2][1])
        self.content_type = element(blob, ci[0][1])
        inner = children(blob, ci[1][1])[0]
        # The signed bytes: the content SEQUENCE's contents, without its header.
        self.inner_start = inner[1] + inner[2]
        self.inner = blob[self.inner_start:self.inner_start + inner[3]]
        rest = sd[3:]
        self.certificates = []
        if rest and rest[0][0] == 0xA0:
            self.certificates = [element(blob, c[1]) for c in children(blob, rest[0][1])]
            rest = rest[1:]
        signer_infos = children(blob, rest[-1][1])
        assert len(signer_infos) == 1
        si = children(blob, signer_infos[0][1])
        self.signer_digest_algorithm = element(blob, si[2][1])
        # In the blob the attributes stand in DER order (sorted encodings);
        # `attributes` lists them by type, in the order the signer makes them.
        self.attributes_in_blob = [element(blob, a[1]) for a in children(blob, si[3][1])]
        self.attributes = sorted(self.attributes_in_blob, key=_attribute_rank)
        self.encryption_algorithm = element(blob, si[4][1])
        sig = si[5]
        self.signature_start = sig[1] + sig[2]
        self.signature = blob[self.signature_start:self.signature_start + sig[3]]
