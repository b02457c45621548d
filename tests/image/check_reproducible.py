#!/usr/bin/python3
"""Builds BrelmotCp.exe twice from clean and requires the two images to be
identical byte for byte, and free of the paths they were built from.

usage: check_reproducible.py [--cmake CMAKE] [--reference IMAGE] SOURCE_DIR

Both builds work on copies of the sources taken at one moment, in two
different places, so neither the build directory nor the checkout's
location may leak into the image, and edits made to the checkout during the
builds do not count as differences. With --reference, the image the other
tests examine (built by the host build from the checkout itself) has to
match as well.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def build(cmake, source, binary):
    for command in (
            [cmake, "-S", source, "-B", binary, "-G", "Ninja",
             "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % source,
             "-DCMAKE_BUILD_TYPE=Release"],
            [cmake, "--build", binary, "--target", "BrelmotCp"]):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True)
        if result.returncode != 0:
            sys.exit("FAIL  %s exited %d:\n%s" % (" ".join(command), result.returncode,
                                                  result.stdout))
    with open(os.path.join(binary, "BrelmotCp.exe"), "rb") as f:
        return f.read()


def copy_sources(source, destination):
    # Only the checkout itself: build trees (wherever they are configured)
    # and git's data are not sources.
    def skip(directory, names):
        return [name for name in names
                if name == ".git"
                or (os.path.samefile(directory, source) and name.startswith("build"))
                or os.path.isfile(os.path.join(directory, name, "CMakeCache.txt"))]
    shutil.copytree(source, destination, ignore=skip, symlinks=True)


def sections_of(image):
    """(name, file offset, size) of each section, to say where bytes differ."""
    try:
        import pefile
        pe = pefile.PE(data=image, fast_load=True)
        return [(s.Name.rstrip(b"\0").decode("ascii", "replace"), s.PointerToRawData,
                 s.SizeOfRawData) for s in pe.sections]
    except Exception:
        return []


def describe_difference(first, second):
    if len(first) != len(second):
        return "sizes differ: %d and %d bytes" % (len(first), len(second))
    offsets = [i for i in range(len(first)) if first[i] != second[i]]
    sections = sections_of(first)

    def where(offset):
        for name, start, size in sections:
            if start <= offset < start + size:
                return "%s+0x%x" % (name, offset - start)
        return "headers" if not sections or offset < sections[0][1] else "?"
    shown = ", ".join("0x%x (%s)" % (offset, where(offset)) for offset in offsets[:12])
    return "%d bytes differ, at %s%s" % (len(offsets), shown, " ..." if len(offsets) > 12 else "")


def leaked_paths(image, paths):
    found = []
    for path in paths:
        for encoding in ("utf-8", "utf-16-le"):
            if path.encode(encoding) in image:
                found.append("%s (%s)" % (path, encoding))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--reference")
    parser.add_argument("source")
    args = parser.parse_args()
    source = os.path.realpath(args.source)

    scratch = tempfile.mkdtemp(prefix="brelmot-reproducible-")
    try:
        first_source = os.path.join(scratch, "a", "src")
        first_build = os.path.join(scratch, "a", "build-one")
        second_source = os.path.join(scratch, "b", "sources-elsewhere")
        second_build = os.path.join(scratch, "b", "some-other-name")
        copy_sources(source, first_source)
        copy_sources(first_source, second_source)
        first = build(args.cmake, first_source, first_build)
        second = build(args.cmake, second_source, second_build)

        failed = False
        if first == second:
            print("ok    two clean builds in different places are identical (%d bytes)"
                  % len(first))
        else:
            failed = True
            print("FAIL  two clean builds differ: " + describe_difference(first, second))

        images = [first, second]
        if args.reference:
            with open(args.reference, "rb") as f:
                reference = f.read()
            images.append(reference)
            if reference == first:
                print("ok    %s is the same image" % args.reference)
            else:
                failed = True
                print("FAIL  %s differs from a clean build (or the sources changed after it "
                      "was built): %s" % (args.reference, describe_difference(reference, first)))

        # The directory names on their own catch paths written relative to
        # some other root as well.
        paths = [source, first_source, second_source, first_build, second_build, scratch,
                 "build-one", "some-other-name", "sources-elsewhere"]
        if args.reference:
            paths.append(os.path.dirname(os.path.realpath(args.reference)))
        leaks = [leak for image in images for leak in leaked_paths(image, paths)]
        if leaks:
            failed = True
            print("FAIL  build paths inside the image: " + ", ".join(sorted(set(leaks))))
        else:
            print("ok    no source or build path inside the image")
        return 1 if failed else 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
