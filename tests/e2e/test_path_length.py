"""Working directories near the length limit: a path is at most 255 bytes
in the ANSI code page, so the directory may take 232 of them."""

import os
import unittest

import winelab
from e2ecase import ToolTestCase, commands_for

LONGEST_DIRECTORY = 232


def padded_directory(base, length, filler, encoding):
    """A folder below base whose Windows path is exactly length bytes in
    encoding, made of components of filler (each at most 60 of them, so
    the UTF-8 name stays within the 255 bytes a Linux name may take) and
    an 'a' to even out the bytes. Returns the Unix path and the Windows
    text."""
    unix = os.path.realpath(base)
    text = winelab.windows_path(unix)
    filler_bytes = len(filler.encode(encoding))
    while len(text.encode(encoding)) < length:
        remaining = length - len(text.encode(encoding))
        if remaining < 2:
            raise ValueError('%s cannot be padded to %d bytes' % (base, length))
        room = remaining - 1
        if room <= 60 * filler_bytes:
            name = filler * (room // filler_bytes) + 'a' * (room % filler_bytes)
        else:
            # Leave at least two bytes for the next component.
            name = filler * min(60, (room - 2) // filler_bytes)
        unix = os.path.join(unix, name)
        text += '\\' + name
    if len(text.encode(encoding)) != length:
        raise ValueError('%s overshot %d bytes' % (base, length))
    os.makedirs(unix)
    return unix, text


class AnsiPathLength(ToolTestCase):
    def test_only_a_directory_of_232_bytes_or_less_gets_its_packages_installed(self):
        # 255 is the longest directory that is read whole; 256 and 258 are
        # not read whole (Wine keeps working directories to 258).
        for length, installs in [(232, True), (233, False), (255, False), (256, False),
                                 (258, False)]:
            with self.subTest(length=length):
                unix, text = padded_directory(self.scenario('len%d' % length), length, 'd',
                                              'ascii')
                winelab.lay_out_packages(unix, winelab.PACKAGES)
                run, records = self.run_tool(unix)
                # An empty stderr also tells Wine kept the directory: it
                # says so there when it falls back to another one.
                starts = self.assert_walk(
                    run, records, commands_for(text, winelab.PACKAGES) if installs else [])
                for start in starts:
                    path = start.cmdline.split(b'"')[1]
                    self.assertEqual(len(path), LONGEST_DIRECTORY + 23)


class Cp936PathLength(ToolTestCase):
    """Under code page 936 a Chinese character is two bytes, and the limit
    is on those bytes, not on characters (nor on UTF-8's three bytes)."""

    def test_the_limit_counts_gbk_bytes(self):
        # 300 bytes is not even read whole, yet fewer than 233 characters.
        for length, installs in [(232, True), (233, False), (300, False)]:
            with self.subTest(gbk_bytes=length):
                # 嘰 is 0x87 0x5C in GBK: its second byte is a backslash,
                # which must pass through as part of the character.
                base = os.path.join(self.scenario('gbk%d' % length), '驱动嘰')
                unix, text = padded_directory(base, length, '驱', 'gbk')
                self.assertIn(b'\x87\\', text.encode('gbk'))
                # Were characters or UTF-8 bytes counted, these would flip.
                self.assertLessEqual(len(text), LONGEST_DIRECTORY)
                self.assertGreater(len(text.encode('utf-8')), 255)
                winelab.lay_out_packages(unix, winelab.PACKAGES)
                run, records = self.run_tool(unix, locale=winelab.CP936_LOCALE)
                starts = self.assert_walk(
                    run, records,
                    commands_for(text, winelab.PACKAGES, 'gbk') if installs else [])
                for start in starts:
                    path = start.cmdline.split(b'"')[1]
                    self.assertEqual(len(path), LONGEST_DIRECTORY + 23)


if __name__ == '__main__':
    unittest.main()
