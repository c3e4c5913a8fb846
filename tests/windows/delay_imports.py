#!/usr/bin/env python3
"""Prints the delay-loaded imports of a 32-bit PE image, one "DLL -" line per library followed
by one "DLL function" line per function, as check_imports.sh reads the ordinary imports.

GNU ld does not fill in the header's delay-import directory, so the descriptors are found by
their shape: eight 32-bit words, the attributes 1 (addresses relative to the image), the RVAs
of a name ending in ".dll", of the module handle, of the address table and of the name table,
then three zeros. The name table is walked to its terminating zero.

    delay_imports.py EXE
"""

import re
import struct
import sys

DLL_NAME = re.compile(rb"[A-Za-z0-9_.-]+\.dll\Z", re.I)


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        table = pe + 24 + optional_size
        self.image_size = struct.unpack_from("<I", data, pe + 24 + 56)[0]
        self.sections = []
        for index in range(sections):
            fields = struct.unpack_from("<8sIIII", data, table + 40 * index)
            _, virtual_size, rva, raw_size, raw_offset = fields
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(self, rva):
        for start, size, raw_offset, raw_size in self.sections:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_offset + rva - start
        return None

    def text(self, rva, limit=256):
        at = self.offset(rva)
        if at is None:
            return None
        end = self.data.find(b"\0", at, at + limit)
        return self.data[at:end] if end >= 0 else None

    def word(self, rva):
        at = self.offset(rva)
        return None if at is None else struct.unpack_from("<I", self.data, at)[0]


def descriptors(image):
    for rva, size, raw_offset, raw_size in image.sections:
        for at in range(raw_offset, raw_offset + min(size, raw_size) - 31, 4):
            words = struct.unpack_from("<8I", image.data, at)
            if words[0] != 1 or words[5:] != (0, 0, 0):
                continue
            if not all(0 < word < image.image_size for word in words[1:5]):
                continue
            name = image.text(words[1])
            if name is not None and DLL_NAME.match(name):
                yield name.decode("ascii"), words[4]


def functions(image, name_table):
    while True:
        entry = image.word(name_table)
        if entry is None:
            raise ValueError("delay-import name table runs off the image")
        if entry == 0:
            return
        if entry & 0x80000000:
            yield "#%d" % (entry & 0xFFFF)
        else:
            name = image.text(entry + 2)
            if name is None:
                raise ValueError("delay-import name outside the image")
            yield name.decode("ascii")
        name_table += 4


def main(path):
    with open(path, "rb") as f:
        image = Image(f.read())
    for dll, name_table in descriptors(image):
        print("%s -" % dll)
        for function in functions(image, name_table):
            print("%s %s" % (dll, function))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
