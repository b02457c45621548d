"""The signed images from the signing fixture (signlab.py prepare), and
signing builds that have to fail."""

import http.server
import os
import re
import struct
import subprocess
import tempfile
import threading
import unittest

import pefile

import signlab
from signlab import material

SIGNED_FORMS = ("pkcs12", "pem")
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def verify(path, *extra):
    result = subprocess.run([signlab.OSSLSIGNCODE, "verify", "-in", path,
                             "-CAfile", material("signer.cert.pem"), "-ignore-cdp"] + list(extra),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


class Signatures(unittest.TestCase):
    def test_each_form_signs_with_the_given_certificate(self):
        for form in SIGNED_FORMS:
            with self.subTest(form):
                status, output = verify(signlab.image(form))
                self.assertEqual(status, 0, output)
                self.assertIn("Signature verification: ok", output)
                self.assertRegex(output, r"Subject: /CN=%s\n" % re.escape(signlab.SIGNER_CN))
                self.assertRegex(output, r"Message digest algorithm\s*: SHA256")
                digests = re.findall(r"(Current|Calculated) message digest\s*: ([0-9A-F]+)",
                                     output)
                self.assertEqual(len(digests), 2, output)
                self.assertEqual(digests[0][1], digests[1][1])
                self.assertIn("Timestamp is not available", output)

    def test_build_reports_the_signer_and_leaves_only_the_image(self):
        prepared = signlab.prepared()
        for form in SIGNED_FORMS:
            with self.subTest(form):
                with open(os.path.join(signlab.LOGS, form + ".log")) as log:
                    lines = [line for line in log.read().splitlines()
                             if line.startswith("BrelmotCp signing:")]
                self.assertEqual(lines, ["BrelmotCp signing: signed BrelmotCp.exe as CN=%s "
                                         "(SHA-256, not time-stamped)" % signlab.SIGNER_CN])
                leftovers = [name for name in prepared[form]["build_dir_files"]
                             if name.startswith(signlab.IMAGE_NAME) and name != signlab.IMAGE_NAME]
                self.assertEqual(leftovers, [])
                self.assertEqual(prepared[form]["mode"], prepared["unsigned"]["mode"])
                self.assertTrue(prepared[form]["mode"] & 0o100, "signed image not executable")

    def test_a_tampered_signed_image_no_longer_verifies(self):
        # The check above means something only if osslsigncode would notice.
        data = bytearray(read(signlab.image("pkcs12")))
        text = pefile.PE(data=bytes(data)).sections[0].PointerToRawData
        data[text + 16] ^= 0xFF
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, signlab.IMAGE_NAME)
            with open(path, "wb") as stream:
                stream.write(data)
            status, output = verify(path)
        self.assertNotEqual(status, 0, output)
        self.assertIn("MISMATCH", output)


class Secrets(unittest.TestCase):
    """The passwords reach openssl and osslsigncode only through pipes."""

    def test_passwords_appear_on_no_command_line_log_or_cache(self):
        argv_log = read(signlab.ARGV_LOG).decode()
        self.assertIn("osslsigncode sign -h sha256 -pkcs12 ", argv_log)
        self.assertIn("osslsigncode sign -h sha256 -certs ", argv_log)
        self.assertIn("-readpass -", argv_log)
        places = [signlab.ARGV_LOG] + [os.path.join(signlab.LOGS, form + ".log")
                                       for form in SIGNED_FORMS + ("unsigned",)]
        places += [os.path.join(signlab.BUILD_DIR, name)
                   for name in ("CMakeCache.txt", "build.ninja", ".ninja_log")]
        for place in places:
            text = read(place)
            for password in (signlab.P12_PASSWORD, signlab.KEY_PASSWORD):
                with self.subTest(place=place, password=password):
                    self.assertNotIn(password.encode(), text)

    def test_a_password_given_to_cmake_is_refused_and_not_kept(self):
        status, output = signlab.configure(
            signlab.PKCS12_FORM, extra=["-DBRELMOT_SIGN_PASSWORD=" + signlab.P12_PASSWORD])
        self.assertNotEqual(status, 0)
        self.assertIn("BrelmotCp signing: do not pass the password to cmake", output)
        self.assertNotIn(signlab.P12_PASSWORD.encode(),
                         read(os.path.join(signlab.BUILD_DIR, "CMakeCache.txt")))


class OnlySignatureAdded(unittest.TestCase):
    """Signing may touch the checksum, the security directory entry, zero
    padding up to an 8-byte boundary and the certificate table it appends;
    no other byte."""

    def setUp(self):
        self.unsigned = read(signlab.image("unsigned"))

    def test_unsigned_build_is_the_plain_image(self):
        # Signing turned off again, with material still named, gives the
        # image of a build that never heard of signing.
        self.assertEqual(self.unsigned, read(os.environ["BRELMOT_IMAGE"]))
        security = pefile.PE(data=self.unsigned).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        self.assertEqual((security.VirtualAddress, security.Size), (0, 0))

    def test_signed_images_differ_only_by_the_signature(self):
        plain = pefile.PE(data=self.unsigned)
        checksum = plain.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        entry = plain.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].get_file_offset()
        for form in SIGNED_FORMS:
            with self.subTest(form):
                data = read(signlab.image(form))
                signed = pefile.PE(data=data)
                table = signed.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
                self.assertEqual(signed.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"),
                                 checksum)
                self.assertEqual(table.get_file_offset(), entry)

                # Everything the linker wrote, field by field outside the two.
                self.assertEqual(data[:checksum], self.unsigned[:checksum])
                self.assertEqual(data[checksum + 4:entry], self.unsigned[checksum + 4:entry])
                self.assertEqual(data[entry + 8:len(self.unsigned)],
                                 self.unsigned[entry + 8:])
                self.assertEqual([s.get_data() for s in signed.sections],
                                 [s.get_data() for s in plain.sections])

                # The table: 8-byte aligned after zero padding, to the end
                # of the file, one WIN_CERTIFICATE of PKCS#7 signed data.
                start = (len(self.unsigned) + 7) & ~7
                self.assertEqual(table.VirtualAddress, start)
                self.assertEqual(data[len(self.unsigned):start],
                                 bytes(start - len(self.unsigned)))
                self.assertEqual(table.VirtualAddress + table.Size, len(data))
                length, revision, kind = struct.unpack_from("<IHH", data, start)
                self.assertEqual((length, revision, kind), (table.Size, 0x0200, 0x0002))

                # And the checksum is the one of the signed file.
                self.assertEqual(signed.OPTIONAL_HEADER.CheckSum, signed.generate_checksum())


def signing_lines(output):
    return [line for line in output.splitlines() if "BrelmotCp signing:" in line]


class Errors(unittest.TestCase):
    """Each failing signing build says what is wrong in one line and leaves
    no BrelmotCp.exe behind, signed or not."""

    def assert_fails_clearly(self, values, password, expected, prefix=()):
        status, output = signlab.configure_and_build(values, password, prefix)
        self.assertNotEqual(status, 0, output)
        lines = signing_lines(output)
        self.assertEqual(len(lines), 1, output)
        self.assertTrue(lines[0].startswith("BrelmotCp signing: "), output)
        self.assertIn(expected, lines[0])
        # ninja's own frame aside (progress, FAILED:, the command it ran,
        # its last word), the signing line is all there is.
        noise = [line for line in output.split("FAILED:", 1)[-1].splitlines()[2:]
                 if line not in lines and not line.startswith("ninja: build stopped")]
        self.assertEqual(noise, [], output)
        self.assertIn("Linking", output, "the image was not linked, so nothing was removed")
        left = [name for name in os.listdir(signlab.BUILD_DIR)
                if name.startswith(signlab.IMAGE_NAME)]
        self.assertEqual(left, [], "a failed signing build left an image behind")
        return lines[0]

    def test_bad_material_fails_the_build_with_one_line(self):
        pkcs12 = signlab.PKCS12_FORM
        pem = signlab.PEM_FORM
        p12_password = signlab.P12_PASSWORD
        missing = material("missing.p12")
        cases = [
            ("missing PKCS#12 file", dict(pkcs12, BRELMOT_SIGN_PKCS12=missing), p12_password,
             "PKCS#12 file %s does not exist" % missing),
            ("missing key file", dict(pem, BRELMOT_SIGN_KEY=material("missing.key.pem")), None,
             "key file %s does not exist" % material("missing.key.pem")),
            ("missing password file",
             dict(pem, BRELMOT_SIGN_PASSWORD_FILE=material("missing.txt")), None,
             "password file %s does not exist" % material("missing.txt")),
            ("directory for a file", dict(pkcs12, BRELMOT_SIGN_PKCS12=material("directory.p12")),
             p12_password, "%s is a directory" % material("directory.p12")),
            ("wrong PKCS#12 password", pkcs12, "not-" + p12_password,
             "wrong password for %s (from the environment variable BRELMOT_SIGN_PASSWORD)"
             % material("signer.p12")),
            ("no PKCS#12 password", pkcs12, None,
             "%s needs a password" % material("signer.p12")),
            ("wrong key password",
             dict(pem, BRELMOT_SIGN_PASSWORD_FILE=material("wrong-password.txt")), None,
             "wrong password for %s (from %s)"
             % (material("signer.key.pem"), material("wrong-password.txt"))),
            ("no key password", dict(pem, BRELMOT_SIGN_PASSWORD_FILE=""), None,
             "%s is encrypted and needs a password" % material("signer.key.pem")),
            ("expired certificate", dict(pkcs12, BRELMOT_SIGN_PKCS12=material("expired.p12")),
             p12_password, "certificate CN=Expired Signer in %s expired on Jan  1 00:00:00 2021"
             % material("expired.p12")),
            ("certificate not yet valid",
             dict(pem, BRELMOT_SIGN_CERT=material("future.cert.pem"),
                  BRELMOT_SIGN_KEY=material("dated.key.pem"), BRELMOT_SIGN_PASSWORD_FILE=""),
             None, "certificate CN=Future Signer in %s is not valid before Jan  1 00:00:00 2099"
             % material("future.cert.pem")),
            ("key of another certificate",
             dict(pem, BRELMOT_SIGN_KEY=material("other.key.pem"), BRELMOT_SIGN_PASSWORD_FILE=""),
             None, "the key %s does not belong to any certificate in %s"
             % (material("other.key.pem"), material("signer.cert.pem"))),
            ("certificate without a key", dict(pem, BRELMOT_SIGN_KEY=""), None,
             "BRELMOT_SIGN_CERT is set but BRELMOT_SIGN_KEY is not"),
            ("key without a certificate", dict(pem, BRELMOT_SIGN_CERT=""), None,
             "BRELMOT_SIGN_KEY is set but BRELMOT_SIGN_CERT is not"),
            ("both forms", dict(pem, BRELMOT_SIGN_PKCS12=material("signer.p12")), None,
             "both BRELMOT_SIGN_PKCS12 and BRELMOT_SIGN_CERT/BRELMOT_SIGN_KEY are set"),
            ("no material", dict(BRELMOT_SIGN="ON"), None, "no signing material is set"),
            ("not a certificate", dict(pem, BRELMOT_SIGN_CERT=material("garbage.pem")), None,
             "%s holds no certificate" % material("garbage.pem")),
            ("not for code signing",
             dict(pem, BRELMOT_SIGN_CERT=material("server.cert.pem"),
                  BRELMOT_SIGN_KEY=material("other.key.pem"), BRELMOT_SIGN_PASSWORD_FILE=""),
             None, "certificate CN=Server Only in %s is not for code signing "
             "(extended key usage: TLS Web Server Authentication)" % material("server.cert.pem")),
            ("chain without its root",
             dict(BRELMOT_SIGN="ON", BRELMOT_SIGN_CERT=material("leaf.cert.pem"),
                  BRELMOT_SIGN_KEY=material("leaf.key.pem")), None,
             "the signed image does not verify (Error: unable to get local issuer "
             "certificate); if the chain is incomplete, add the issuing CA certificates to %s"
             % material("leaf.cert.pem")),
            ("time-stamping service down",
             dict(pkcs12, BRELMOT_SIGN_TIMESTAMP_URL="http://127.0.0.1:%d/" % closed_port()),
             p12_password, "failed: Connection refused"),
        ]
        for name, values, password, expected in cases:
            with self.subTest(name):
                line = self.assert_fails_clearly(values, password, expected)
                for secret in (signlab.P12_PASSWORD, signlab.KEY_PASSWORD):
                    self.assertNotIn(secret, line)

    def test_unreadable_file(self):
        # root reads any file; without the two DAC capabilities it is held
        # to the mode bits like everyone else.
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
            if subprocess.run(prefix + ["true"]).returncode != 0:
                self.skipTest("cannot drop the DAC capabilities here")
        self.assert_fails_clearly(dict(signlab.PEM_FORM,
                                       BRELMOT_SIGN_CERT=material("unreadable.cert.pem")),
                                  None, "cannot read certificate file %s: permission denied"
                                  % material("unreadable.cert.pem"), prefix=prefix)


class Chain(unittest.TestCase):
    def test_signer_below_a_ca_signs_once_the_root_is_known(self):
        leaf = dict(BRELMOT_SIGN="ON", BRELMOT_SIGN_KEY=material("leaf.key.pem"))
        cases = [
            ("root in the certificate file",
             dict(leaf, BRELMOT_SIGN_CERT=material("chain.cert.pem"))),
            ("root named for the check",
             dict(leaf, BRELMOT_SIGN_CERT=material("leaf.cert.pem"),
                  BRELMOT_SIGN_VERIFY_CAFILE=material("root.cert.pem"))),
        ]
        for name, values in cases:
            with self.subTest(name):
                status, output = signlab.configure_and_build(values)
                self.assertEqual(status, 0, output)
                result = subprocess.run(
                    [signlab.OSSLSIGNCODE, "verify", "-in",
                     os.path.join(signlab.BUILD_DIR, signlab.IMAGE_NAME),
                     "-CAfile", material("root.cert.pem"), "-ignore-cdp"],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertIn("Subject: /CN=Brelmot Test Leaf\n", result.stdout)
                self.assertIn("Issuer : /CN=Brelmot Test Root\n", result.stdout)


def closed_port():
    """A loopback port with nothing listening on it."""
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class TimeStampAuthority:
    """An RFC 3161 service on the loopback interface, answering with
    `openssl ts -reply` and a throwaway TSA certificate."""

    def __init__(self, directory):
        self.directory = directory
        self.key = os.path.join(directory, "tsa.key.pem")
        self.cert = os.path.join(directory, "tsa.cert.pem")
        self.config = os.path.join(directory, "tsa.cnf")
        signlab.new_key(self.key)
        signlab.self_signed(self.cert, self.key, "Brelmot Test TSA",
                            usage="critical,timeStamping")
        with open(self.config, "w") as stream:
            stream.write("[tsa]\ndefault_tsa = test\n[test]\nserial = %s/serial\n"
                         "crypto_device = builtin\nsigner_digest = sha256\n"
                         "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512, sha1\n"
                         "accuracy = secs:1\ness_cert_id_alg = sha256\n" % directory)
        with open(os.path.join(directory, "serial"), "w") as stream:
            stream.write("01\n")
        self.requests = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = signlab.openssl("ts", "-reply", "-config", authority.config,
                                        "-queryfile", "/dev/stdin", "-signer", authority.cert,
                                        "-inkey", authority.key, stdin=query)
                authority.requests += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class TimeStamp(unittest.TestCase):
    def test_signature_is_time_stamped_by_the_named_service(self):
        with tempfile.TemporaryDirectory() as scratch, TimeStampAuthority(scratch) as tsa:
            status, output = signlab.configure_and_build(
                dict(signlab.PKCS12_FORM, BRELMOT_SIGN_TIMESTAMP_URL=tsa.url),
                signlab.P12_PASSWORD)
            self.assertEqual(status, 0, output)
            self.assertEqual(signing_lines(output),
                             ["BrelmotCp signing: signed BrelmotCp.exe as CN=%s (SHA-256, "
                              "time-stamped by %s)" % (signlab.SIGNER_CN, tsa.url)])
            self.assertEqual(tsa.requests, 1)
            status, output = verify(os.path.join(signlab.BUILD_DIR, signlab.IMAGE_NAME),
                                    "-TSA-CAfile", tsa.cert)
        self.assertEqual(status, 0, output)
        self.assertIn("Timestamp Server Signature verification: ok", output)
        self.assertRegex(output, r"Issuer: /CN=Brelmot Test TSA")


if __name__ == "__main__":
    unittest.main()
