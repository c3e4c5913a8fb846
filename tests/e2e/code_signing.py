"""A code-signing PKI of the tests' own, made with openssl once per run, and Authenticode
signatures made with osslsigncode, as a vendor makes them.

The trusted root issues a code-signing CA, which issues the publisher's certificate and another
publisher's. Beside them: a self-signed certificate with the publisher's name, one with the
publisher's name from a CA that nobody trusts and whose certificate the signature leaves out (a
chain that reaches no root), and one with the publisher's name from the trusted CA that is for
server authentication only. No key leaves the run's directory."""

import hashlib
import os
import shutil
import subprocess

PUBLISHER = "Velmora Test Publisher"
OTHER_PUBLISHER = "Other Test Publisher"
CODE_SIGNING = "extendedKeyUsage=codeSigning"

# name: (organisation and common name, issuer, extended key usage, issuer in the signature)
CERTIFICATES = {
    "publisher": (PUBLISHER, "code-ca", CODE_SIGNING, True),
    "other": (OTHER_PUBLISHER, "code-ca", CODE_SIGNING, True),
    "self-signed": (PUBLISHER, None, CODE_SIGNING, False),
    "unknown-ca": (PUBLISHER, "untrusted-ca", CODE_SIGNING, False),
    "server-auth": (PUBLISHER, "code-ca", "extendedKeyUsage=serverAuth", True),
}


def _openssl(*arguments):
    subprocess.run(["openssl"] + list(arguments), check=True, capture_output=True, timeout=60)


class SigningPki:
    def __init__(self, directory):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self._authority("root", "Velmora Test Root", None, 3650)
        self._authority("code-ca", "Velmora Test Code Signing CA", "root", 1825)
        self._authority("untrusted-ca", "Velmora Test Root", None, 3650)  # a lookalike
        for name, (subject, issuer, usage, _) in CERTIFICATES.items():
            self._leaf(name, subject, issuer, usage)

    def path(self, name, suffix):
        return os.path.join(self.directory, name + suffix)

    # Each certificate's validity lies within its issuer's.
    def _authority(self, name, common_name, issuer, days):
        extensions = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"]
        self._certificate(name, "/CN=" + common_name, issuer, extensions, days)

    def _leaf(self, name, subject, issuer, usage):
        extensions = ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature",
                      usage]
        self._certificate(name, "/O=%s/CN=%s" % (subject, subject), issuer, extensions, 30)

    def _certificate(self, name, subject, issuer, extensions, days):
        key, certificate = self.path(name, ".key"), self.path(name, ".pem")
        _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key)
        if issuer is None:
            _openssl("req", "-new", "-x509", "-key", key, "-subj", subject, "-days", str(days),
                     "-sha256", *sum((["-addext", e] for e in extensions), []), "-out",
                     certificate)
            return
        request, extension_file = self.path(name, ".csr"), self.path(name, ".ext")
        with open(extension_file, "w") as f:
            f.write("\n".join(extensions) + "\n")
        _openssl("req", "-new", "-key", key, "-subj", subject, "-out", request)
        _openssl("x509", "-req", "-in", request, "-CA", self.path(issuer, ".pem"), "-CAkey",
                 self.path(issuer, ".key"), "-set_serial",
                 str(int(hashlib.sha1(name.encode()).hexdigest()[:8], 16)), "-days", str(days),
                 "-sha256", "-extfile", extension_file, "-out", certificate)

    def root_der(self):
        der = self.path("root", ".der")
        if not os.path.exists(der):
            _openssl("x509", "-in", self.path("root", ".pem"), "-outform", "DER", "-out", der)
        with open(der, "rb") as f:
            return f.read()

    def sign(self, source, output, signer, digest="sha256"):
        """Signs a copy of `source` as `output` with `signer`'s certificate and key, carrying the
        chain up to (not including) the root, or the certificate alone where the row wants a
        chain that the machine cannot complete."""
        _, issuer, _, with_issuer = CERTIFICATES[signer]
        chain = self.path(signer + "-chain", ".pem")
        with open(chain, "wb") as out:
            for name in [signer] + ([issuer] if with_issuer else []):
                with open(self.path(name, ".pem"), "rb") as f:
                    out.write(f.read())
        os.makedirs(os.path.dirname(output), exist_ok=True)
        subprocess.run(["osslsigncode", "sign", "-h", digest, "-certs", chain, "-key",
                        self.path(signer, ".key"), "-in", source, "-out", output],
                       check=True, capture_output=True, timeout=60)
        return output


def changed_after_signing(signed, output):
    """A copy of a signed program with one byte of its code changed (the signature is left as
    it was)."""
    shutil.copyfile(signed, output)
    with open(output, "r+b") as f:
        f.seek(0x3C)
        header = int.from_bytes(f.read(4), "little")
        # The first section's raw data begins at its PointerToRawData, 20 bytes into the
        # section table's first entry.
        f.seek(header + 4 + 16)
        optional_size = int.from_bytes(f.read(2), "little")
        section_table = header + 4 + 20 + optional_size
        f.seek(section_table + 20)
        code = int.from_bytes(f.read(4), "little")
        f.seek(code + 64)
        byte = f.read(1)[0]
        f.seek(code + 64)
        f.write(bytes([byte ^ 0x01]))
    return output
