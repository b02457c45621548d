#!/usr/bin/python3
"""Checks the properties of a built BrelmotCp.exe that Windows, installers
and people looking at the file rely on: headers, imports, data directories,
resources, the elevation manifest and the version record.

usage: check_image.py [--signed] IMAGE
       check_image.py --detects-faults IMAGE

Prints one line per group of checks and exits 1 when any check fails.
--signed expects a certificate table (for images that went through
signing) instead of forbidding one. --detects-faults patches copies of a
good IMAGE and makes sure each patch is caught by the right group.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.dom.minidom
import xml.etree.ElementTree as ET

import pefile


# --- what the image has to look like -------------------------------------

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_WINDOWS_CUI = 3
# HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE; being
# exact also rules out GUARD_CF (0x4000), FORCE_INTEGRITY, NO_SEH and so on.
DLL_CHARACTERISTICS = 0x8160
GUARD_CF = 0x4000
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_LARGE_ADDRESS_AWARE = 0x0020
FILE_DLL = 0x2000

STACK_HEAP = {
    "SizeOfStackReserve": 0x100000,
    "SizeOfStackCommit": 0x1000,
    "SizeOfHeapReserve": 0x100000,
    "SizeOfHeapCommit": 0x1000,
}

# Everything the tool calls. It never writes to a console or a file itself:
# pnputil.exe reports to the console it inherits.
IMPORTED_DLL = "KERNEL32.dll"
IMPORTED_FUNCTIONS = {
    "CloseHandle",
    "CreateProcessA",
    "ExitProcess",
    "GetCurrentDirectoryA",
    "GetCurrentProcessId",
    "GetCurrentThreadId",
    "GetFileAttributesA",
    "GetSystemDirectoryA",
    "GetSystemTimeAsFileTime",
    "GetVersionExA",
    "QueryPerformanceCounter",
    "TerminateProcess",
    "WaitForSingleObject",
}
OUTPUT_FUNCTIONS = {"WriteFile", "WriteConsoleA", "WriteConsoleW", "GetStdHandle"}

ABSENT_DIRECTORIES = [
    "IMAGE_DIRECTORY_ENTRY_EXPORT",
    "IMAGE_DIRECTORY_ENTRY_DEBUG",
    "IMAGE_DIRECTORY_ENTRY_TLS",
    "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG",
    "IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT",
    "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT",
    "IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR",
]

RT_VERSION = 16
RT_MANIFEST = 24
# (type, id, language)
RESOURCES = {(RT_MANIFEST, 1, 1033), (RT_VERSION, 1, 2052)}

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
# (tag, attributes, children) of the one manifest Windows should see.
MANIFEST_TREE = (
    "{%s}assembly" % ASM_V1, {"manifestVersion": "1.0"}, [
        ("{%s}trustInfo" % ASM_V3, {}, [
            ("{%s}security" % ASM_V3, {}, [
                ("{%s}requestedPrivileges" % ASM_V3, {}, [
                    ("{%s}requestedExecutionLevel" % ASM_V3,
                     {"level": "requireAdministrator", "uiAccess": "false"}, []),
                ]),
            ]),
        ]),
    ])

FIXED_FILE_INFO = {
    "Signature": 0xFEEF04BD,
    "FileVersionMS": 0x00010000,
    "FileVersionLS": 0x00010006,
    "ProductVersionMS": 0x00010000,
    "ProductVersionLS": 0x00010006,
    "FileFlagsMask": 0x3F,
    "FileFlags": 0,
    "FileOS": 0x40004,
    "FileType": 1,
    "FileSubtype": 0,
}
FIXED_FILE_INFO_FIELDS = [
    "Signature", "StrucVersion", "FileVersionMS", "FileVersionLS",
    "ProductVersionMS", "ProductVersionLS", "FileFlagsMask", "FileFlags",
    "FileOS", "FileType", "FileSubtype", "FileDateMS", "FileDateLS",
]
STRING_TABLE_KEY = "080404b0"
# In the order Explorer's details and version tools list them.
VERSION_STRINGS = [
    ("CompanyName", "Brelmot Project"),
    ("FileDescription", "install drv"),
    ("FileVersion", "1.0.1.6"),
    ("InternalName", "BrelmotCp.exe"),
    ("LegalCopyright", "Copyright (C) 2026 Brelmot Project"),
    ("OriginalFilename", "BrelmotCp.exe"),
    ("ProductName", "BRELMOT"),
    ("ProductVersion", "1.0.1.6"),
]
TRANSLATIONS = [(0x0804, 0x04B0)]


# --- helpers --------------------------------------------------------------

def listed(values):
    return "{" + ", ".join(sorted(values)) + "}"


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]


def short_name(name):
    return name.replace("IMAGE_DIRECTORY_ENTRY_", "").lower()


def resource_leaves(pe):
    """(type, id, language, directory entry) for every resource leaf."""
    leaves = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        for rname in rtype.directory.entries:
            for rlang in rname.directory.entries:
                leaves.append((rtype.name and str(rtype.name) or rtype.id,
                               rname.name and str(rname.name) or rname.id,
                               rlang.id, rlang))
    return leaves


def resource_data(pe, rtype):
    found = [leaf for t, _, _, leaf in resource_leaves(pe) if t == rtype]
    if not found:
        raise AssertionError("no resource of type %d" % rtype)
    return pe.get_data(found[0].data.struct.OffsetToData, found[0].data.struct.Size)


class VersionBlock:
    """One node of the VS_VERSIONINFO tree, parsed from the raw bytes so the
    order of the children and any duplicates stay visible."""

    def __init__(self, data, offset):
        if offset + 6 > len(data):
            raise AssertionError("version block at 0x%x runs past the resource" % offset)
        self.offset = offset
        self.length, value_length, self.type = struct.unpack_from("<HHH", data, offset)
        end = offset + self.length
        if self.length < 6 or end > len(data):
            raise AssertionError("version block at 0x%x has bad length %d" % (offset, self.length))
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= end:
                raise AssertionError("version block at 0x%x has an unterminated key" % offset)
        self.key = data[offset + 6:key_end].decode("utf-16-le")
        position = align4(key_end + 2)
        # Text values count UTF-16 units, binary ones bytes.
        value_size = value_length * 2 if self.type == 1 else value_length
        self.value = data[position:position + value_size]
        position = align4(position + value_size) if value_size else position
        self.children = []
        while position < end:
            child = VersionBlock(data, position)
            self.children.append(child)
            position = align4(position + child.length)

    def text(self):
        return self.value.decode("utf-16-le").rstrip("\0")


def align4(offset):
    return (offset + 3) & ~3


# --- check groups ---------------------------------------------------------
# Each returns (summary, failures); an exception counts as a failure.

def check_headers(pe, _options):
    failures = []
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER

    def expect(what, actual, wanted):
        if actual != wanted:
            failures.append("%s is 0x%x, expected 0x%x" % (what, actual, wanted))

    expect("Machine", fh.Machine, IMAGE_FILE_MACHINE_AMD64)
    expect("OptionalHeader.Magic", oh.Magic, PE32_PLUS_MAGIC)
    expect("Subsystem", oh.Subsystem, SUBSYSTEM_WINDOWS_CUI)
    for what, major, minor in [
            ("subsystem version", oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
            ("OS version", oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)]:
        if (major, minor) != (6, 0):
            failures.append("%s is %d.%d, expected 6.0" % (what, major, minor))
    expect("DllCharacteristics", oh.DllCharacteristics, DLL_CHARACTERISTICS)
    if oh.DllCharacteristics & GUARD_CF:
        failures.append("control-flow guard (GUARD_CF) is on")
    for flag, name in [(FILE_EXECUTABLE_IMAGE, "EXECUTABLE_IMAGE"),
                       (FILE_LARGE_ADDRESS_AWARE, "LARGE_ADDRESS_AWARE")]:
        if not fh.Characteristics & flag:
            failures.append("Characteristics 0x%x lacks %s" % (fh.Characteristics, name))
    if fh.Characteristics & FILE_DLL:
        failures.append("Characteristics 0x%x has DLL" % fh.Characteristics)
    for field, wanted in STACK_HEAP.items():
        expect(field, getattr(oh, field), wanted)
    expect("TimeDateStamp", fh.TimeDateStamp, 0)
    return ("AMD64 PE32+ console 6.0 on OS 6.0, DllCharacteristics 0x%x "
            "(control-flow guard off), stack and heap 1 MiB/4 KiB, TimeDateStamp 0"
            % DLL_CHARACTERISTICS), failures


def check_imports(pe, _options):
    failures = []
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    names = [e.dll.decode("ascii", "replace") for e in entries]
    if len(entries) != 1 or names[0].lower() != IMPORTED_DLL.lower():
        failures.append("imported DLLs are %s, expected only %s" % (names, IMPORTED_DLL))
    functions = []
    for entry in entries:
        for imp in entry.imports:
            if imp.name is None:
                failures.append("%s imported by ordinal %d" % (names[0], imp.ordinal))
            else:
                functions.append(imp.name.decode("ascii", "replace"))
    if len(functions) != len(set(functions)):
        failures.append("functions imported more than once: %s" % functions)
    missing = IMPORTED_FUNCTIONS - set(functions)
    extra = set(functions) - IMPORTED_FUNCTIONS
    if missing:
        failures.append("not imported: %s" % listed(missing))
    if extra:
        failures.append("unexpected imports: %s" % listed(extra))
    if extra & OUTPUT_FUNCTIONS:
        failures.append("the tool must not write output itself, yet imports %s"
                        % listed(extra & OUTPUT_FUNCTIONS))
    if getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", None):
        failures.append("delay-load imports present")
    return ("only %s, %d functions: %s (no console or file output, no delay loads)"
            % (IMPORTED_DLL, len(IMPORTED_FUNCTIONS), ", ".join(sorted(IMPORTED_FUNCTIONS)))), failures


def check_directories(pe, options):
    failures = []
    for name in ABSENT_DIRECTORIES:
        entry = directory(pe, name)
        if entry.VirtualAddress or entry.Size:
            failures.append("%s directory present (address 0x%x, size 0x%x)"
                            % (short_name(name), entry.VirtualAddress, entry.Size))
    security = directory(pe, "IMAGE_DIRECTORY_ENTRY_SECURITY")
    file_size = len(pe.__data__)
    if options.signed:
        # The security directory holds a file offset, not an RVA.
        if not security.Size or not security.VirtualAddress:
            failures.append("no certificate table in a signed image")
        elif security.VirtualAddress + security.Size > file_size:
            failures.append("certificate table (0x%x + 0x%x) runs past the file end 0x%x"
                            % (security.VirtualAddress, security.Size, file_size))
        certificates = "a certificate table, as signed"
    else:
        if security.VirtualAddress or security.Size:
            failures.append("certificate table present (offset 0x%x, size 0x%x) in an "
                            "unsigned image" % (security.VirtualAddress, security.Size))
        certificates = "no certificate table"
    return ("no export, TLS, load-config, debug, bound-import, delay-import or CLR "
            "directory; " + certificates), failures


def check_resources(pe, _options):
    leaves = [(t, n, lang) for t, n, lang, _ in resource_leaves(pe)]
    failures = []
    if len(leaves) != len(RESOURCES) or set(leaves) != RESOURCES:
        failures.append("resources (type, id, language) are %s, expected %s"
                        % (sorted(leaves, key=str), sorted(RESOURCES)))
    return ("manifest 24/1/1033 and version 16/1/2052, nothing else "
            "(no toolchain manifest, icon, strings or dialogs)"), failures


def check_manifest(pe, _options):
    data = resource_data(pe, RT_MANIFEST)
    failures = []
    if not data.startswith(b"<?xml "):
        failures.append("manifest does not start with an XML declaration: %r" % data[:16])
    document = xml.dom.minidom.parseString(data)
    declaration = (document.version, document.encoding, document.standalone)
    if declaration != ("1.0", "UTF-8", True):
        failures.append('XML declaration is version=%r encoding=%r standalone=%r, expected '
                        '"1.0", "UTF-8", "yes"' % declaration)
    # ElementTree folds namespace declarations into the tags, so this checks
    # that the root declares nothing but its namespace.
    raw_root_attributes = sorted(document.documentElement.attributes.keys())
    if raw_root_attributes != ["manifestVersion", "xmlns"]:
        failures.append("assembly carries attributes %s, expected manifestVersion and "
                        "its xmlns only" % raw_root_attributes)

    def compare(element, wanted, where):
        tag, attributes, children = wanted
        where = "%s/%s" % (where, tag.split("}")[-1])
        if element.tag != tag:
            failures.append("%s: found element %s" % (where, element.tag))
            return
        if dict(element.attrib) != attributes:
            failures.append("%s: attributes %s, expected %s"
                            % (where, dict(element.attrib), attributes))
        if (element.text or "").strip() or (not children and element.text):
            failures.append("%s: unexpected text %r" % (where, element.text))
        found = list(element)
        if len(found) != len(children):
            failures.append("%s: %d children %s, expected %d"
                            % (where, len(found), [c.tag for c in found], len(children)))
        for child, wanted_child in zip(found, children):
            if (child.tail or "").strip():
                failures.append("%s: unexpected text %r" % (where, child.tail))
            compare(child, wanted_child, where)

    compare(ET.fromstring(data), MANIFEST_TREE, "")
    return ('XML 1.0 UTF-8 standalone, assembly/trustInfo/security/requestedPrivileges/'
            'requestedExecutionLevel level="requireAdministrator" uiAccess="false", '
            'nothing else'), failures


def check_version(pe, _options):
    data = resource_data(pe, RT_VERSION)
    failures = []
    root = VersionBlock(data, 0)
    if root.key != "VS_VERSION_INFO":
        failures.append("root key %r, expected VS_VERSION_INFO" % root.key)

    if len(root.value) != 4 * len(FIXED_FILE_INFO_FIELDS):
        failures.append("fixed file info is %d bytes, expected %d"
                        % (len(root.value), 4 * len(FIXED_FILE_INFO_FIELDS)))
    else:
        fixed = dict(zip(FIXED_FILE_INFO_FIELDS,
                         struct.unpack("<%dI" % len(FIXED_FILE_INFO_FIELDS), root.value)))
        for field, wanted in FIXED_FILE_INFO.items():
            if fixed[field] != wanted:
                failures.append("%s is 0x%x, expected 0x%x" % (field, fixed[field], wanted))

    sections = {}
    for child in root.children:
        sections.setdefault(child.key, []).append(child)
    if sorted(sections) != ["StringFileInfo", "VarFileInfo"] or \
            any(len(blocks) != 1 for blocks in sections.values()):
        failures.append("version sections are %s, expected StringFileInfo and VarFileInfo "
                        "once each" % [c.key for c in root.children])

    for string_info in sections.get("StringFileInfo", [])[:1]:
        tables = [table.key for table in string_info.children]
        if tables != [STRING_TABLE_KEY]:
            failures.append("string tables %s, expected exactly [%r]" % (tables, STRING_TABLE_KEY))
        for table in string_info.children[:1]:
            strings = [(entry.key, entry.text()) for entry in table.children]
            for index in range(max(len(strings), len(VERSION_STRINGS))):
                found = strings[index] if index < len(strings) else None
                wanted = VERSION_STRINGS[index] if index < len(VERSION_STRINGS) else None
                if found != wanted:
                    failures.append("string %d is %r, expected %r" % (index + 1, found, wanted))

    for var_info in sections.get("VarFileInfo", [])[:1]:
        variables = [var.key for var in var_info.children]
        if variables != ["Translation"]:
            failures.append("VarFileInfo holds %s, expected only Translation" % variables)
        for var in var_info.children[:1]:
            pairs = [struct.unpack_from("<HH", var.value, i) for i in range(0, len(var.value), 4)]
            if pairs != TRANSLATIONS:
                failures.append("translations are %s, expected %s" % (
                    ["0x%04x/0x%04x" % pair for pair in pairs],
                    ["0x%04x/0x%04x" % pair for pair in TRANSLATIONS]))
    return ("1.0.1.6 file and product, flags mask 0x3F, NT Win32 app; string table %s with "
            "%d entries in order; translation 0x0804/0x04B0" % (STRING_TABLE_KEY,
                                                                len(VERSION_STRINGS))), failures


CHECKS = [
    ("headers", check_headers),
    ("imports", check_imports),
    ("directories", check_directories),
    ("resources", check_resources),
    ("manifest", check_manifest),
    ("version", check_version),
]


class Options:
    def __init__(self, signed):
        self.signed = signed


def check_image(path, options):
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print("FAIL  image: %s cannot be read as a PE image: %s" % (path, error))
        return 1
    failed = False
    for group, check in CHECKS:
        try:
            summary, failures = check(pe, options)
        except Exception as error:  # a malformed image must fail, not crash
            summary, failures = "could not be checked", ["%s: %s" % (type(error).__name__, error)]
        print("%-4s  %s: %s" % ("FAIL" if failures else "ok", group, summary))
        for failure in failures:
            print("        - " + failure)
        failed = failed or bool(failures)
    print("image size: %d bytes" % os.path.getsize(path))
    return 1 if failed else 0


# --- proof that the checks can fail ---------------------------------------

def detect_faults(path):
    with open(path, "rb") as f:
        original = f.read()
    pe = pefile.PE(data=original)
    oh_offset = pe.OPTIONAL_HEADER.get_field_absolute_offset
    leaves = {t: leaf for t, _, _, leaf in resource_leaves(pe)}

    def resource_offset(rtype):
        return pe.get_offset_from_rva(leaves[rtype].data.struct.OffsetToData)

    def put(offset, fmt, value):
        return lambda image: struct.pack_into(fmt, image, offset, value)

    def replace(old, new, start=0):
        assert len(old) == len(new)

        def patch(image):
            at = image.index(old, start)
            image[at:at + len(old)] = new
        return patch

    def swap_first_two_strings(image):
        # Adjacent 4-aligned blocks can trade places without moving anything else.
        base = resource_offset(RT_VERSION)
        data = bytes(image[base:base + leaves[RT_VERSION].data.struct.Size])
        string_info = [c for c in VersionBlock(data, 0).children if c.key == "StringFileInfo"][0]
        first, second = string_info.children[0].children[:2]
        end = align4(second.offset + second.length)
        image[base + first.offset:base + end] = (data[second.offset:end]
                                                 + data[first.offset:second.offset])

    manifest = resource_offset(RT_MANIFEST)
    version = resource_offset(RT_VERSION)
    manifest_language = leaves[RT_MANIFEST].struct.get_field_absolute_offset("Name")
    cases = [
        ("control-flow guard on", "headers",
         put(oh_offset("DllCharacteristics"), "<H", DLL_CHARACTERISTICS | GUARD_CF), []),
        ("a bigger stack", "headers", put(oh_offset("SizeOfStackReserve"), "<Q", 0x200000), []),
        ("a time stamp", "headers",
         put(pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp"), "<I", 0x5F000000), []),
        ("another imported function", "imports", replace(b"GetVersionExA\0", b"GetVersionExW\0"), []),
        ("another DLL", "imports", replace(b"KERNEL32.dll\0", b"USER32.dll\0\0\0"), []),
        ("a TLS directory", "directories",
         put(pe.OPTIONAL_HEADER.DATA_DIRECTORY[9].get_field_absolute_offset("Size"), "<I", 0x28), []),
        ("signed, but no certificate", "directories", None, ["--signed"]),
        ("manifest in German", "resources", put(manifest_language, "<I", 1031), []),
        ("no elevation", "manifest",
         replace(b'"requireAdministrator"', b'"asInvoker"' + b" " * 11, manifest), []),
        ("UI access", "manifest", replace(b'uiAccess="false"', b'uiAccess="true" ', manifest), []),
        ("not standalone", "manifest", replace(b'standalone="yes"', b'standalone="no" ', manifest), []),
        ("file version 1.0.1.7", "version",
         replace(struct.pack("<II", 0x00010000, 0x00010006),
                 struct.pack("<II", 0x00010000, 0x00010007), version), []),
        ("product name changed", "version",
         replace("BRELMOT\0".encode("utf-16-le"), "BRELMOX\0".encode("utf-16-le"), version), []),
        ("strings reordered", "version", swap_first_two_strings, []),
        ("US translation", "version", replace(b"\x04\x08\xb0\x04", b"\x09\x04\xb0\x04", version), []),
    ]

    failed = False
    scratch = tempfile.mkdtemp(prefix="brelmot-faults-")
    try:
        def run(image, args):
            target = os.path.join(scratch, "BrelmotCp.exe")
            with open(target, "wb") as f:
                f.write(image)
            result = subprocess.run([sys.executable, os.path.abspath(__file__)] + args + [target],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            return result.returncode, result.stdout

        code, output = run(original, [])
        if code != 0:
            print("FAIL  the unpatched image does not pass, so the patches prove nothing:\n"
                  + output)
            return 1
        for name, group, patch, args in cases:
            image = bytearray(original)
            if patch:
                patch(image)
                if image == original:
                    raise AssertionError("patch %r changed nothing" % name)
            code, output = run(bytes(image), args)
            caught = code == 1 and ("FAIL  %s:" % group) in output
            print("%-4s  %s: caught by %s" % ("ok" if caught else "FAIL", name, group))
            if not caught:
                failed = True
                print("        exit %d, output:\n%s" % (code, output))
    finally:
        shutil.rmtree(scratch)
    return 1 if failed else 0


def main(argv):
    args = argv[1:]
    if len(args) == 2 and args[0] == "--detects-faults":
        return detect_faults(args[1])
    signed = False
    if args and args[0] == "--signed":
        signed, args = True, args[1:]
    if len(args) != 1:
        sys.stderr.write(__doc__)
        return 2
    return check_image(args[0], Options(signed))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
