#!/usr/bin/env python3
"""Authenticode-signs a freshly linked BrelmotCp.exe in place.

usage: sign-image.py --osslsigncode PATH --openssl PATH
           (--pkcs12 FILE | --cert FILE --key FILE)
           [--password-file FILE] [--timestamp-url URL] [--verify-cafile FILE]
           IMAGE

Run by the build right after the link (cmake/Signing.cmake). The password
comes from --password-file when one is named, else from the environment
variable BRELMOT_SIGN_PASSWORD; it only ever travels through pipes to
openssl and osslsigncode, never through an argument or a file of ours.

The material is checked with openssl before anything is signed, so that
the usual mistakes get a sentence instead of an OpenSSL error stack. The
signature goes into IMAGE.signing next to IMAGE, is verified there and only
then renamed over IMAGE. On any failure both files are removed: a build
that was asked to sign never leaves an unsigned BrelmotCp.exe behind where
a signed one is expected. Every failure is one line on stderr, starting
with "BrelmotCp signing:".
"""

import argparse
import calendar
import os
import re
import struct
import subprocess
import sys
import time

PREFIX = "BrelmotCp signing: "
PASSWORD_ENV = "BRELMOT_SIGN_PASSWORD"
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"

PEM_CERTIFICATE = re.compile(
    rb"-----BEGIN CERTIFICATE-----\s.*?-----END CERTIFICATE-----", re.S)
MONTHS = {name: number for number, name in enumerate(
    "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split(), 1)}


class SigningError(Exception):
    pass


def fail(message):
    raise SigningError(message)


def remove(*paths):
    for path in paths:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def openssl_reason(output):
    """The reason field of the first OpenSSL error line, or the first
    non-empty line: enough to say what went wrong in one line."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    for line in lines:
        fields = line.split(":")
        if len(fields) >= 6 and fields[1] == "error":
            return fields[5]
    return lines[0] if lines else "no output"


class Tools:
    def __init__(self, openssl, osslsigncode):
        self.openssl_path = openssl
        self.osslsigncode_path = osslsigncode

    def run(self, argv, stdin=b""):
        try:
            result = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        except OSError as error:
            fail("cannot run %s: %s" % (argv[0], error.strerror))
        return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")

    def openssl(self, *args, stdin=b""):
        return self.run([self.openssl_path] + list(args), stdin)

    def osslsigncode(self, *args, stdin=b""):
        # osslsigncode's own output (its "Succeeded", a TSA's "Connecting
        # to") would only be noise in the build log.
        returncode, out, err = self.run([self.osslsigncode_path] + list(args), stdin)
        return returncode, out.decode("utf-8", "replace") + err


def read_file(path, what):
    if not os.path.lexists(path):
        fail("%s %s does not exist" % (what, path))
    if os.path.isdir(path):
        fail("%s %s is a directory, not a file" % (what, path))
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as error:
        fail("cannot read %s %s: %s" % (what, path, error.strerror.lower()))


def read_password(options):
    """The password as bytes (empty for none). Trailing line breaks go, as
    osslsigncode drops them too; one inside would make openssl and
    osslsigncode see different passwords."""
    if options.password_file:
        password = read_file(options.password_file, "password file")
        if password.startswith(b"\xef\xbb\xbf"):
            password = password[3:]
    else:
        password = os.environb.get(PASSWORD_ENV.encode(), b"")
    password = password.rstrip(b"\r\n")
    if b"\n" in password or b"\r" in password:
        fail("the password from %s has more than one line"
             % (options.password_file or PASSWORD_ENV))
    if len(password) > 4000:
        fail("the password from %s is longer than osslsigncode accepts"
             % (options.password_file or PASSWORD_ENV))
    return password


def password_source(options):
    return options.password_file or "the environment variable " + PASSWORD_ENV


def parse_time(text):
    # openssl's fixed English form, "Dec 13 15:10:31 2026 GMT"; parsed by
    # hand so the build's locale cannot get in the way.
    match = re.match(r"(\w{3})\s+(\d+)\s+(\d+):(\d+):(\d+)\s+(\d+)\s+GMT$", text.strip())
    if not match or match.group(1) not in MONTHS:
        fail("cannot read the certificate date %r" % text)
    month, day, hour, minute, second, year = match.groups()
    return calendar.timegm((int(year), MONTHS[month], int(day), int(hour), int(minute),
                            int(second))), text.strip()


class Certificate:
    def __init__(self, tools, pem, path):
        self.pem = pem
        status, out, _ = tools.openssl("x509", "-noout", "-nameopt", "RFC2253",
                                       "-subject", "-startdate", "-enddate", stdin=pem)
        if status != 0:
            fail("%s holds a certificate openssl cannot read" % path)
        fields = dict(line.split("=", 1) for line in out.decode().splitlines() if "=" in line)
        self.subject = fields.get("subject", "").strip() or "(no subject)"
        self.not_before = parse_time(fields.get("notBefore", ""))
        self.not_after = parse_time(fields.get("notAfter", ""))
        status, out, _ = tools.openssl("x509", "-noout", "-pubkey", stdin=pem)
        self.public_key = b"".join(out.split()) if status == 0 else None
        status, out, _ = tools.openssl("x509", "-noout", "-ext", "extendedKeyUsage", stdin=pem)
        self.key_usage = out.decode("utf-8", "replace") if status == 0 else ""

    def check_usable(self, where):
        now = time.time()
        if now < self.not_before[0]:
            fail("certificate %s in %s is not valid before %s"
                 % (self.subject, where, self.not_before[1]))
        if now > self.not_after[0]:
            fail("certificate %s in %s expired on %s"
                 % (self.subject, where, self.not_after[1]))
        # No extended key usage at all means any use; one without code
        # signing makes Windows reject the signature.
        if "Extended Key Usage" in self.key_usage and not (
                "Code Signing" in self.key_usage or "Any Extended Key Usage" in self.key_usage):
            usages = ", ".join(line.strip() for line in self.key_usage.splitlines()[1:]
                               if line.strip())
            fail("certificate %s in %s is not for code signing (extended key usage: %s)"
                 % (self.subject, where, usages))


def certificates_in(tools, data, path):
    blocks = PEM_CERTIFICATE.findall(data)
    if not blocks:
        # A single DER certificate, or a PKCS#7 bundle (.spc, PEM or DER).
        for args in (["x509", "-inform", "DER"],
                     ["pkcs7", "-inform", "DER", "-print_certs"],
                     ["pkcs7", "-inform", "PEM", "-print_certs"]):
            status, out, _ = tools.openssl(*args, stdin=data)
            if status == 0:
                blocks = PEM_CERTIFICATE.findall(out)
                if blocks:
                    break
    if not blocks:
        fail("%s holds no certificate" % path)
    return [Certificate(tools, block, path) for block in blocks]


def public_key_of(tools, key_pem):
    status, out, _ = tools.openssl("pkey", "-pubout", stdin=key_pem)
    return b"".join(out.split()) if status == 0 else None


class Material:
    """The signer's certificate, the chain that came with it, and the
    osslsigncode arguments naming them."""

    def __init__(self, signer, certificates, sign_args, where):
        self.signer = signer
        self.certificates = certificates
        self.sign_args = sign_args
        self.where = where


def load_pkcs12(tools, options, password):
    path = options.pkcs12
    read_file(path, "PKCS#12 file")
    contents = None
    for legacy in ([], ["-legacy"]):
        status, out, err = tools.openssl("pkcs12", "-in", path, "-passin", "stdin", "-nodes",
                                         *legacy, stdin=password + b"\n")
        if status == 0:
            contents = out
            break
        if "invalid password" in err or "mac verify failure" in err:
            if password:
                fail("wrong password for %s (from %s)" % (path, password_source(options)))
            fail("%s needs a password: set %s or BRELMOT_SIGN_PASSWORD_FILE"
                 % (path, PASSWORD_ENV))
        # Old exports are encrypted with RC2, which OpenSSL 3 keeps in its
        # legacy provider.
        if "unsupported" not in err:
            break
    if contents is None:
        fail("%s is not a PKCS#12 file openssl can read (%s)" % (path, openssl_reason(err)))
    key = re.search(rb"-----BEGIN (?:RSA |EC )?PRIVATE KEY-----.*?"
                    rb"-----END (?:RSA |EC )?PRIVATE KEY-----", contents, re.S)
    if not key:
        fail("%s holds no private key" % path)
    certificates = certificates_in(tools, contents, path)
    public_key = public_key_of(tools, key.group(0))
    signer = next((c for c in certificates if public_key and c.public_key == public_key), None)
    if signer is None:
        fail("the private key in %s does not belong to any certificate in it" % path)
    return Material(signer, certificates, ["-pkcs12", path], path)


def load_pem(tools, options, password):
    if not options.cert:
        fail("BRELMOT_SIGN_KEY is set but BRELMOT_SIGN_CERT is not: the certificate is missing")
    if not options.key:
        fail("BRELMOT_SIGN_CERT is set but BRELMOT_SIGN_KEY is not: the private key is missing")
    cert_data = read_file(options.cert, "certificate file")
    key_data = read_file(options.key, "key file")
    certificates = certificates_in(tools, cert_data, options.cert)
    status, out, err = tools.openssl("pkey", "-in", options.key, "-passin", "stdin", "-pubout",
                                     stdin=password + b"\n")
    if status != 0:
        encrypted = b"ENCRYPTED" in key_data
        if encrypted and not password:
            fail("%s is encrypted and needs a password: set %s or BRELMOT_SIGN_PASSWORD_FILE"
                 % (options.key, PASSWORD_ENV))
        if encrypted or ("bad decrypt" in err and password):
            fail("wrong password for %s (from %s)" % (options.key, password_source(options)))
        fail("%s is not a private key openssl can read (%s)" % (options.key, openssl_reason(err)))
    public_key = b"".join(out.split())
    signer = next((c for c in certificates if c.public_key == public_key), None)
    if signer is None:
        fail("the key %s does not belong to any certificate in %s" % (options.key, options.cert))
    return Material(signer, certificates, ["-certs", options.cert, "-key", options.key],
                    options.cert)


def load_material(tools, options, password):
    if options.pkcs12 and (options.cert or options.key):
        fail("both BRELMOT_SIGN_PKCS12 and BRELMOT_SIGN_CERT/BRELMOT_SIGN_KEY are set: "
             "name one form of the signing material")
    if options.pkcs12:
        material = load_pkcs12(tools, options, password)
    elif options.cert or options.key:
        material = load_pem(tools, options, password)
    else:
        fail("BRELMOT_SIGN is ON but no signing material is set: "
             "give BRELMOT_SIGN_PKCS12, or BRELMOT_SIGN_CERT and BRELMOT_SIGN_KEY")
    material.signer.check_usable(material.where)
    return material


# --- the image -------------------------------------------------------------

def pe_fields(data, path):
    """Offsets of the checksum and of the security directory entry, and
    that entry's (file offset, size)."""
    try:
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise ValueError
        optional = pe_offset + 24
        (magic,) = struct.unpack_from("<H", data, optional)
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        security = directories + 4 * 8
        offset, size = struct.unpack_from("<II", data, security)
    except (struct.error, ValueError, KeyError):
        fail("%s is not a PE image" % path)
    return optional + 64, security, offset, size


def check_only_signature_added(unsigned, signed, path):
    """Signing may set the checksum and the security directory entry and
    append the certificate table at the next 8-byte boundary; every other
    byte has to be the linker's."""
    checksum, security, _, _ = pe_fields(unsigned, path)
    _, _, table, size = pe_fields(signed, path)
    table_start = (len(unsigned) + 7) & ~7

    def outside_fields(data):
        data = bytearray(data[:len(unsigned)])
        data[checksum:checksum + 4] = bytes(4)
        data[security:security + 8] = bytes(8)
        return data

    if (outside_fields(signed) != outside_fields(unsigned) or table != table_start
            or table + size != len(signed) or signed[len(unsigned):table_start].strip(b"\0")):
        fail("osslsigncode changed %s beyond adding the signature" % path)


def sign(tools, options, material, password, image, pending):
    args = ["sign", "-h", "sha256"] + material.sign_args
    # -readpass - reads the password from stdin; an empty one is no
    # password at all (osslsigncode refuses to read an empty one).
    if password:
        args += ["-readpass", "-"]
    if options.timestamp_url:
        args += ["-ts", options.timestamp_url]
    args += ["-in", image, "-out", pending]
    status, output = tools.osslsigncode(*args, stdin=password)
    if status != 0 or not os.path.isfile(pending):
        if options.timestamp_url and ("timestamp" in output.lower() or "HTTP" in output):
            fail("time-stamping at %s failed: %s" % (options.timestamp_url, openssl_reason(
                "\n".join(line for line in output.splitlines() if ":error:" in line)
                or output)))
        fail("osslsigncode could not sign %s: %s" % (image, openssl_reason(output)))


def verify(tools, options, material, pending, trust):
    # The chain that came with the material, the system's roots and the
    # vendor's own: enough to follow the signer to a root without the
    # network (no CRL downloads from a build).
    with open(trust, "wb") as stream:
        for certificate in material.certificates:
            stream.write(certificate.pem + b"\n")
        for extra in (options.verify_cafile, SYSTEM_CA_BUNDLE):
            if extra and os.path.isfile(extra):
                stream.write(read_file(extra, "CA file") + b"\n")
    status, output = tools.osslsigncode("verify", "-in", pending, "-CAfile", trust,
                                        "-TSA-CAfile", trust, "-ignore-cdp")
    if status != 0:
        reasons = [line.strip() for line in output.splitlines()
                   if "Error:" in line or "MISMATCH" in line]
        fail("the signed image does not verify (%s); if the chain is incomplete, add the "
             "issuing CA certificates to %s or name them in BRELMOT_SIGN_VERIFY_CAFILE"
             % (reasons[0] if reasons else openssl_reason(output), material.where))
    if "SHA256" not in output:
        fail("the signed image has no SHA-256 signature")
    if options.timestamp_url and "Timestamp time:" not in output:
        fail("the signed image carries no time stamp from %s" % options.timestamp_url)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--osslsigncode", required=True)
    parser.add_argument("--openssl", required=True)
    parser.add_argument("--pkcs12", default="")
    parser.add_argument("--cert", default="")
    parser.add_argument("--key", default="")
    parser.add_argument("--password-file", default="")
    parser.add_argument("--timestamp-url", default="")
    parser.add_argument("--verify-cafile", default="")
    parser.add_argument("image")
    options = parser.parse_args(argv)

    image = options.image
    pending = image + ".signing"
    trust = image + ".signing-ca.pem"
    tools = Tools(options.openssl, options.osslsigncode)
    try:
        remove(pending, trust)
        unsigned = read_file(image, "image")
        if pe_fields(unsigned, image)[3]:
            fail("%s is signed already: it did not come straight from the linker" % image)
        password = read_password(options)
        material = load_material(tools, options, password)
        sign(tools, options, material, password, image, pending)
        verify(tools, options, material, pending, trust)
        with open(pending, "rb") as stream:
            check_only_signature_added(unsigned, stream.read(), image)
        os.chmod(pending, os.stat(image).st_mode & 0o7777)
        os.replace(pending, image)
    except SigningError as error:
        remove(pending, image)
        print(PREFIX + str(error), file=sys.stderr)
        return 1
    except BaseException as error:
        remove(pending, image)
        if isinstance(error, Exception):
            print(PREFIX + "failed: %s: %s" % (type(error).__name__, error), file=sys.stderr)
            return 1
        raise
    finally:
        remove(trust)
    stamp = ("time-stamped by " + options.timestamp_url if options.timestamp_url
             else "not time-stamped")
    print(PREFIX + "signed %s as %s (SHA-256, %s)" % (os.path.basename(image),
                                                       material.signer.subject, stamp))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
