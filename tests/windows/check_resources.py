#!/usr/bin/env python3
"""Reads the resources back out of a built qk.exe and checks them.

Batch scripts and Windows itself rely on what is embedded in qk.exe: the
manifest (resource 1 of type RT_MANIFEST) must name qk.exe, carry the
assembly version and ask for administrator rights, the version resource
must carry the same version, and the program must import only system DLLs
so that it runs on its own. This walks the PE file's own tables rather than
searching for strings, so a resource of the wrong type or id, or a runtime
DLL left over from a non-static link, is caught.

usage: check_resources.py qk.exe i686|x86_64
"""
import re
import struct
import sys

VERSION = (1, 7, 9, 25)
VERSION_TEXT = ".".join(map(str, VERSION))
RT_VERSION, RT_MANIFEST = 16, 24
MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
# DLLs every Windows installation has; anything else would have to ship
# beside qk.exe.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll"}


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(3)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError("address 0x%x is in no section" % rva)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva = self.directories[1][0]
        names = []
        while rva:
            descriptor = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not any(descriptor):
                break
            names.append(self.c_string(descriptor[3]))
            rva += 20
        return names

    def resources(self):
        """Maps (type, id) to the bytes of each resource (first language)."""
        found = {}
        if not self.directories[2][0]:
            return found
        base = self.offset(self.directories[2][0])

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)

        for type_id, type_dir in entries(0):
            for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
                for _, leaf in entries(name_dir & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.setdefault((type_id, name_id), self.data[self.offset(rva):][:size])
        return found


def version_tree(block):
    """Walks a VS_VERSIONINFO block: the fixed info and all string values."""
    strings = {}

    def walk(at, end):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if kind == 1 and value_length:
                text = block[value:value + 2 * value_length].decode("utf-16-le")
                strings[key] = text.rstrip("\0")
                children = value + 2 * value_length
            else:
                children = value + value_length
            walk((children + 3) & ~3, at + length)
            at = (at + length + 3) & ~3

    key_end = 6 + len("VS_VERSION_INFO\0") * 2
    fixed = (key_end + 3) & ~3
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from(
        "<6I", block, fixed)
    walk((fixed + struct.unpack_from("<H", block, 2)[0] + 3) & ~3, len(block))
    return signature, (file_ms, file_ls), (product_ms, product_ls), strings


def check(path, arch):
    problems = []
    pe = Pe(open(path, "rb").read())
    if pe.machine != MACHINES[arch]:
        problems.append("machine 0x%x, expected %s" % (pe.machine, arch))
    for dll in pe.imports():
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, which is not part of Windows" % dll)

    resources = pe.resources()
    manifest = resources.get((RT_MANIFEST, 1))
    if manifest is None:
        problems.append("no RT_MANIFEST resource with id 1")
    else:
        text = manifest.decode("utf-8")
        identity = re.search(r"<assemblyIdentity\b[^>]*>", text)
        if not identity or 'name="qk.exe"' not in identity.group(0):
            problems.append("manifest does not name qk.exe")
        if not identity or 'version="%s"' % VERSION_TEXT not in identity.group(0):
            problems.append("manifest assembly version is not %s" % VERSION_TEXT)
        if not re.search(r'<requestedExecutionLevel\s+level="requireAdministrator"', text):
            problems.append("manifest does not ask for administrator rights")

    version = resources.get((RT_VERSION, 1))
    if version is None:
        problems.append("no RT_VERSION resource with id 1")
    else:
        signature, file_version, product_version, strings = version_tree(version)
        packed = ((VERSION[0] << 16) | VERSION[1], (VERSION[2] << 16) | VERSION[3])
        if signature != 0xFEEF04BD:
            problems.append("version resource has no fixed file info")
        if file_version != packed:
            problems.append("FILEVERSION is not %s" % VERSION_TEXT)
        if product_version != packed:
            problems.append("PRODUCTVERSION is not %s" % VERSION_TEXT)
        for key, expected in (("FileVersion", VERSION_TEXT), ("ProductVersion", VERSION_TEXT),
                              ("OriginalFilename", "qk.exe")):
            if strings.get(key) != expected:
                problems.append("%s is %r, expected %r" % (key, strings.get(key), expected))
    return problems


def main():
    path, arch = sys.argv[1], sys.argv[2]
    problems = check(path, arch)
    for problem in problems:
        print("%s: %s" % (path, problem))
    print("resources: %d passed, %d failed" % (1 if not problems else 0, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
