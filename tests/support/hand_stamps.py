# SPDX-License-Identifier: Apache-2.0
"""Time stamps made by hand, for stampers that real TSA software refuses to
run as (a certificate without the time-stamping purpose) and for times other
than now. DER from the encoding rules, RSA signatures by the cryptography
package; nothing here comes from fontseal.

rfc3161_token(...)      a TimeStampToken (ContentInfo of SignedData over a TSTInfo)
rfc3161_reply(token)    the TimeStampResp granting it
counter_signature(...)  a SignerInfo counter-signing a signature value
issue(...)              a certificate with chosen dates and key purposes
"""
import datetime
import hashlib

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

HASHES = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1",
          "sha384": "2.16.840.1.101.3.4.2.2", "sha512": "2.16.840.1.101.3.4.2.3"}
TIME_STAMPING = "1.3.6.1.5.5.7.3.8"
OLDER_TIME_STAMPING = "1.3.6.1.4.1.311.10.3.2"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        return bytes([tag, n]) + body
    size = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + body


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


def integer(value):
    return tlv(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def generalized_time(when):
    return tlv(0x18, when.strftime("%Y%m%d%H%M%SZ").encode())


def utc_time(when):
    return tlv(0x17, when.strftime("%y%m%d%H%M%SZ").encode())


def algorithm(name):
    return seq(oid(HASHES[name]), b"\x05\x00")


def attribute(type_oid, value):
    return seq(oid(type_oid), set_of(value))


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def issue(name, key, issuer=None, issuer_key=None, not_before=None, not_after=None,
          purposes=None, critical=False, ca=False):
    """A certificate for `key` named CN=`name`, self-signed without an issuer.
    `purposes`: dotted OIDs of an extended key usage (None: no extension)."""
    subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(subject)
               .issuer_name(issuer.subject if issuer else subject)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(not_before or now - datetime.timedelta(days=1))
               .not_valid_after(not_after or now + datetime.timedelta(days=30))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), True))
    if purposes is not None:
        builder = builder.add_extension(
            x509.ExtendedKeyUsage([x509.ObjectIdentifier(p) for p in purposes]), critical)
    return builder.sign(issuer_key or key, hashes.SHA256())


def der(cert):
    return cert.public_bytes(serialization.Encoding.DER)


def pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _issuer_and_serial(cert):
    return seq(cert.issuer.public_bytes(), integer(cert.serial_number))


def _sign(key, data, digest="sha256"):
    chosen = {"sha1": hashes.SHA1(), "sha256": hashes.SHA256()}[digest]
    return key.sign(data, padding.PKCS1v15(), chosen)


def rfc3161_token(imprint, imprint_hash, cert, key, when, nonce=None, certs=(), tsa=None):
    """A TimeStampToken for `imprint` (the digest bytes) at `when` (an aware
    datetime), signed by `key` with SHA-256 and naming `cert` in a
    signingCertificateV2 attribute; `certs` (besides `cert`) go with it.
    `tsa`: an x509.Name for the TSTInfo's tsa field (a directoryName)."""
    fields = [integer(1), oid("1.2.3.4.1"), seq(algorithm(imprint_hash), tlv(0x04, imprint)),
              integer(int(when.timestamp())), generalized_time(when)]
    if nonce is not None:
        fields.append(tlv(0x02, nonce))
    if tsa is not None:
        fields.append(tlv(0xA0, tlv(0xA4, tsa.public_bytes())))
    tst_info = seq(*fields)
    ess = seq(seq(seq(tlv(0x04, hashlib.sha256(der(cert)).digest()))))
    attributes = [attribute("1.2.840.113549.1.9.3", oid("1.2.840.113549.1.9.16.1.4")),
                  attribute("1.2.840.113549.1.9.5", utc_time(when)),
                  attribute("1.2.840.113549.1.9.4", tlv(0x04, hashlib.sha256(tst_info).digest())),
                  attribute("1.2.840.113549.1.9.16.2.47", ess)]
    signed = set_of(*attributes)
    signer = seq(integer(1), _issuer_and_serial(cert), algorithm("sha256"),
                 b"\xA0" + signed[1:], seq(oid("1.2.840.113549.1.1.1"), b"\x05\x00"),
                 tlv(0x04, _sign(key, signed)))
    signed_data = seq(integer(3), set_of(algorithm("sha256")),
                      seq(oid("1.2.840.113549.1.9.16.1.4"), tlv(0xA0, tlv(0x04, tst_info))),
                      tlv(0xA0, b"".join(der(c) for c in [cert] + list(certs))),
                      set_of(signer))
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data))


def rfc3161_reply(token):
    return seq(seq(integer(0)), token)


def counter_signature(signature, cert, key, when):
    """A SignerInfo counter-signing `signature` with SHA-1 at `when`, the
    older servers' way (signingTime among the attributes)."""
    attributes = [attribute("1.2.840.113549.1.9.3", oid("1.2.840.113549.1.7.1")),
                  attribute("1.2.840.113549.1.9.5", utc_time(when)),
                  attribute("1.2.840.113549.1.9.4", tlv(0x04, hashlib.sha1(signature).digest()))]
    signed = set_of(*attributes)
    return seq(integer(1), _issuer_and_serial(cert), algorithm("sha1"), b"\xA0" + signed[1:],
               seq(oid("1.2.840.113549.1.1.1"), b"\x05\x00"), tlv(0x04, _sign(key, signed, "sha1")))


def counter_signature_reply(signature, cert, key, when, certs=()):
    """The reply of a counter-signature server: a SignedData over
    `signature` whose one signer is counter_signature(...)."""
    signer = counter_signature(signature, cert, key, when)
    signed_data = seq(integer(1), set_of(algorithm("sha1")),
                      seq(oid("1.2.840.113549.1.7.1"), tlv(0xA0, tlv(0x04, signature))),
                      tlv(0xA0, b"".join(der(c) for c in [cert] + list(certs))),
                      set_of(signer))
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data))
