"""Throwaway signing material and signing builds of BrelmotCp.exe for the
signing tests.

As a script, `signlab.py prepare` is the ctest fixture: it makes the
material with openssl, configures one fresh mingw build directory with
BRELMOT_SIGN=ON and builds it signed with a PKCS#12 file, then with a PEM
certificate and encrypted key, then with signing turned off again, and
keeps a copy of each image. The tests read those copies; the tests that
need builds of their own reuse the same build directory, one at a time.

Locations come from the environment (tests/signing/CMakeLists.txt):
BRELMOT_SIGNING_WORK, BRELMOT_SOURCE_DIR, BRELMOT_CMAKE.
"""

import json
import os
import shutil
import subprocess
import sys

SIGNER_CN = "Brelmot Test Signer"
P12_PASSWORD = "p12-pass-5d1e9c"
KEY_PASSWORD = "key-pass-83b07a"
SIGN_VARIABLES = ("BRELMOT_SIGN", "BRELMOT_SIGN_PKCS12", "BRELMOT_SIGN_CERT", "BRELMOT_SIGN_KEY",
                  "BRELMOT_SIGN_PASSWORD_FILE", "BRELMOT_SIGN_TIMESTAMP_URL",
                  "BRELMOT_SIGN_VERIFY_CAFILE")
IMAGE_NAME = "BrelmotCp.exe"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"
OSSLSIGNCODE = shutil.which("osslsigncode") or "/usr/bin/osslsigncode"

WORK = os.environ.get("BRELMOT_SIGNING_WORK", "")
SOURCE_DIR = os.environ.get("BRELMOT_SOURCE_DIR", "")
CMAKE = os.environ.get("BRELMOT_CMAKE", "cmake")

MATERIAL = os.path.join(WORK, "material")
BUILD_DIR = os.path.join(WORK, "build")
IMAGES = os.path.join(WORK, "images")
LOGS = os.path.join(WORK, "logs")
WRAPPERS = os.path.join(WORK, "wrappers")
ARGV_LOG = os.path.join(LOGS, "tool-argv.log")


def material(name):
    return os.path.join(MATERIAL, name)


def image(form):
    return os.path.join(IMAGES, form, IMAGE_NAME)


def openssl(*args, stdin=None):
    result = subprocess.run([OPENSSL] + list(args), input=stdin, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args), result.stderr.decode()))
    return result.stdout


def new_key(path, password=None):
    encryption = ["-aes-256-cbc", "-pass", "pass:" + password] if password else []
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
            *encryption, "-out", path)


def self_signed(cert, key, cn, usage="codeSigning", key_password=None, days=30):
    passin = ["-passin", "pass:" + key_password] if key_password else []
    openssl("req", "-x509", "-new", "-key", key, *passin, "-out", cert, "-days", str(days),
            "-subj", "/CN=" + cn, "-addext", "basicConstraints=critical,CA:FALSE",
            "-addext", "keyUsage=critical,digitalSignature",
            "-addext", "extendedKeyUsage=" + usage)


def self_signed_between(cert, key, cn, start, end):
    """A code-signing certificate valid from start to end (YYYYMMDDHHMMSSZ):
    `openssl req -x509` of OpenSSL 3.0 only counts days from now, `openssl
    ca` takes both dates."""
    ca_dir = material("ca-" + cn.replace(" ", "-"))
    os.makedirs(os.path.join(ca_dir, "new"))
    open(os.path.join(ca_dir, "index.txt"), "w").close()
    with open(os.path.join(ca_dir, "serial"), "w") as serial:
        serial.write("1000\n")
    config = os.path.join(ca_dir, "ca.cnf")
    with open(config, "w") as stream:
        stream.write("[ca]\ndefault_ca = test\n"
                     "[test]\ndatabase = %s/index.txt\nnew_certs_dir = %s/new\n"
                     "serial = %s/serial\ndefault_md = sha256\npolicy = any\n"
                     "x509_extensions = codesign\nunique_subject = no\n"
                     "[any]\ncommonName = supplied\n"
                     "[codesign]\nbasicConstraints = critical,CA:FALSE\n"
                     "keyUsage = critical,digitalSignature\nextendedKeyUsage = codeSigning\n"
                     % (ca_dir, ca_dir, ca_dir))
    request = os.path.join(ca_dir, "request.pem")
    openssl("req", "-new", "-key", key, "-subj", "/CN=" + cn, "-out", request)
    openssl("ca", "-batch", "-config", config, "-selfsign", "-keyfile", key, "-in", request,
            "-startdate", start, "-enddate", end, "-notext", "-out", cert)


def issued(cert, key, cn, ca_cert, ca_key):
    """A code-signing certificate for key, issued by a test CA."""
    request = cert + ".request"
    extensions = cert + ".ext"
    with open(extensions, "w") as stream:
        stream.write("basicConstraints = critical,CA:FALSE\n"
                     "keyUsage = critical,digitalSignature\nextendedKeyUsage = codeSigning\n")
    openssl("req", "-new", "-key", key, "-subj", "/CN=" + cn, "-out", request)
    openssl("x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key, "-set_serial", "7",
            "-days", "30", "-extfile", extensions, "-out", cert)


def pkcs12(out, cert, key, password, key_password=None):
    passin = ["-passin", "pass:" + key_password] if key_password else []
    openssl("pkcs12", "-export", "-in", cert, "-inkey", key, *passin,
            "-passout", "pass:" + password, "-out", out)


def make_material():
    """Everything the tests sign with or fail with, in MATERIAL."""
    shutil.rmtree(MATERIAL, ignore_errors=True)
    os.makedirs(MATERIAL)
    new_key(material("signer.key.pem"), KEY_PASSWORD)
    self_signed(material("signer.cert.pem"), material("signer.key.pem"), SIGNER_CN,
                key_password=KEY_PASSWORD)
    pkcs12(material("signer.p12"), material("signer.cert.pem"), material("signer.key.pem"),
           P12_PASSWORD, KEY_PASSWORD)
    with open(material("key-password.txt"), "w") as stream:
        stream.write(KEY_PASSWORD + "\n")
    with open(material("wrong-password.txt"), "w") as stream:
        stream.write("not-" + KEY_PASSWORD + "\n")

    new_key(material("other.key.pem"))
    new_key(material("dated.key.pem"))
    self_signed_between(material("expired.cert.pem"), material("dated.key.pem"),
                        "Expired Signer", "20200101000000Z", "20210101000000Z")
    pkcs12(material("expired.p12"), material("expired.cert.pem"), material("dated.key.pem"),
           P12_PASSWORD)
    self_signed_between(material("future.cert.pem"), material("dated.key.pem"),
                        "Future Signer", "20990101000000Z", "21000101000000Z")
    self_signed(material("server.cert.pem"), material("other.key.pem"), "Server Only",
                usage="serverAuth")

    # A signer below a CA of its own, the way vendors' certificates come.
    new_key(material("root.key.pem"))
    openssl("req", "-x509", "-new", "-key", material("root.key.pem"), "-out",
            material("root.cert.pem"), "-days", "30", "-subj", "/CN=Brelmot Test Root",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    new_key(material("leaf.key.pem"))
    issued(material("leaf.cert.pem"), material("leaf.key.pem"), "Brelmot Test Leaf",
           material("root.cert.pem"), material("root.key.pem"))
    with open(material("chain.cert.pem"), "wb") as chain:
        for name in ("leaf.cert.pem", "root.cert.pem"):
            with open(material(name), "rb") as part:
                chain.write(part.read())

    with open(material("garbage.pem"), "w") as stream:
        stream.write("this is not a certificate\n")
    shutil.copyfile(material("signer.cert.pem"), material("unreadable.cert.pem"))
    os.chmod(material("unreadable.cert.pem"), 0)
    os.makedirs(material("directory.p12"))


def make_wrappers():
    """openssl and osslsigncode that log their arguments before running
    the real ones, to show what reached a command line."""
    os.makedirs(WRAPPERS, exist_ok=True)
    os.makedirs(LOGS, exist_ok=True)
    for name, real in (("openssl", OPENSSL), ("osslsigncode", OSSLSIGNCODE)):
        path = os.path.join(WRAPPERS, name)
        with open(path, "w") as stream:
            stream.write('#!/bin/sh\nprintf "%%s\\n" "%s $*" >> "%s"\nexec "%s" "$@"\n'
                         % (name, ARGV_LOG, real))
        os.chmod(path, 0o755)


def settings(**values):
    """-D arguments for every signing variable, unnamed ones emptied so a
    reconfigure leaves nothing over from the last."""
    args = []
    for name in SIGN_VARIABLES:
        args.append("-D%s=%s" % (name, values.get(name, "OFF" if name == "BRELMOT_SIGN" else "")))
    args.append("-DOSSLSIGNCODE_EXECUTABLE=" + os.path.join(WRAPPERS, "osslsigncode"))
    args.append("-DOPENSSL_EXECUTABLE=" + os.path.join(WRAPPERS, "openssl"))
    return args


def environment(password=None):
    env = dict(os.environ)
    env.pop("BRELMOT_SIGN_PASSWORD", None)
    if password is not None:
        env["BRELMOT_SIGN_PASSWORD"] = password
    return env


def run(argv, env, prefix=()):
    result = subprocess.run(list(prefix) + argv, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def configure(values, password=None, extra=()):
    return run([CMAKE, "-S", SOURCE_DIR, "-B", BUILD_DIR, "-G", "Ninja",
                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE_DIR, "cmake",
                                                         "mingw-w64-x86_64.cmake"),
                "-DCMAKE_BUILD_TYPE=Release"] + settings(**values) + list(extra),
               environment(password))


def build(password=None, prefix=()):
    """Builds only the image: the Windows test programs take longer and
    have nothing to do with signing."""
    return run([CMAKE, "--build", BUILD_DIR, "--target", "BrelmotCp"], environment(password),
               prefix)


def configure_and_build(values, password=None, prefix=()):
    """(status, output of both steps); the image is removed first, so the
    build always links and signs afresh."""
    status, output = configure(values, password)
    if status != 0:
        return status, output
    built = os.path.join(BUILD_DIR, IMAGE_NAME)
    if os.path.exists(built):
        os.remove(built)
    status, build_output = build(password, prefix)
    return status, output + build_output


PKCS12_FORM = dict(BRELMOT_SIGN="ON", BRELMOT_SIGN_PKCS12=material("signer.p12"))
PEM_FORM = dict(BRELMOT_SIGN="ON", BRELMOT_SIGN_CERT=material("signer.cert.pem"),
                BRELMOT_SIGN_KEY=material("signer.key.pem"),
                BRELMOT_SIGN_PASSWORD_FILE=material("key-password.txt"))


def prepare():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(LOGS)
    make_material()
    make_wrappers()
    steps = [
        # A fresh directory, configured signed from the start, as a vendor would.
        ("pkcs12", PKCS12_FORM, P12_PASSWORD),
        ("pem", PEM_FORM, None),
        # Turned off again, with the material still named.
        ("unsigned", dict(PKCS12_FORM, BRELMOT_SIGN="OFF"), P12_PASSWORD),
    ]
    record = {}
    for form, values, password in steps:
        status, output = configure_and_build(values, password)
        with open(os.path.join(LOGS, form + ".log"), "w") as log:
            log.write(output)
        if status != 0:
            sys.stderr.write(output)
            sys.stderr.write("the %s build failed\n" % form)
            return 1
        os.makedirs(os.path.join(IMAGES, form))
        shutil.copy2(os.path.join(BUILD_DIR, IMAGE_NAME), image(form))
        record[form] = {"build_dir_files": sorted(os.listdir(BUILD_DIR)),
                        "mode": os.stat(os.path.join(BUILD_DIR, IMAGE_NAME)).st_mode & 0o777}
    with open(os.path.join(WORK, "prepared.json"), "w") as stream:
        json.dump(record, stream, indent=1)
    return 0


def prepared():
    with open(os.path.join(WORK, "prepared.json")) as stream:
        return json.load(stream)


if __name__ == "__main__":
    if sys.argv[1:] != ["prepare"]:
        sys.stderr.write(__doc__)
        sys.exit(2)
    sys.exit(prepare())
