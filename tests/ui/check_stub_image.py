#!/usr/bin/env python3
"""Checks a built stub's image: its manifest resource (type 24, id 1) is well-formed XML that
asks to run as the invoker without UI access and to be aware of the system's DPI, and its
header lets the loader place it anywhere (DYNAMIC_BASE) and keeps data from running
(NX_COMPAT). Its entry code restricts the DLL search to the system folder: the image names
SetDefaultDllDirectories (looked up at run time) and imports SetDllDirectoryW.

    check_stub_image.py STUB.exe...

Prints one line per finding and ends with a non-zero status when anything is wrong."""
import struct
import sys
import xml.etree.ElementTree as ET

DYNAMIC_BASE = 0x40
NX_COMPAT = 0x100
RT_MANIFEST = 24
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = {0x10B: 96, 0x20B: 112}.get(magic)
        if directories is None:
            raise ValueError("unknown optional header 0x%x" % magic)
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.resource_rva = struct.unpack_from("<I", data, optional + directories + 2 * 8)[0]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_at in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_at + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource (type_id, name_id), or None."""
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva)

        def entry(directory, wanted):
            named, ids = struct.unpack_from("<12xHH", self.data, base + directory)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data,
                                                  base + directory + 16 + 8 * i)
                if wanted is None or name == wanted:
                    return target
            return None

        # Type and name lead to directories, the language to the data entry.
        level = 0
        for wanted, directory in ((type_id, True), (name_id, True), (None, False)):
            target = entry(level, wanted)
            if target is None or bool(target & 0x80000000) != directory:
                return None
            level = target & 0x7FFFFFFF
        rva, size = struct.unpack_from("<II", self.data, base + level)
        at = self.offset(rva)
        return self.data[at:at + size]


def problems_of(path):
    with open(path, "rb") as f:
        image = Image(f.read())
    found = []
    for flag, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"), (NX_COMPAT, "NX_COMPAT")):
        if not image.dll_characteristics & flag:
            found.append("DllCharacteristics 0x%x lacks %s" % (image.dll_characteristics, name))
    for name in (b"SetDefaultDllDirectories", b"SetDllDirectoryW"):
        if name + b"\0" not in image.data:
            found.append("the image does not name %s: DLLs would be searched for beside it"
                         % name.decode())
    manifest = image.resource(RT_MANIFEST, 1)
    if manifest is None:
        return found + ["no manifest resource (type 24, id 1)"]
    try:
        root = ET.fromstring(manifest)
    except ET.ParseError as e:
        return found + ["the manifest is not well-formed XML: %s" % e]
    levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("asInvoker", "false")]:
        found.append("requestedExecutionLevel is not exactly level=asInvoker uiAccess=false")
    aware = root.findall(".//%sdpiAware" % WINDOWS_SETTINGS)
    if [(e.text or "").strip().lower() for e in aware] != ["true"]:
        found.append("dpiAware is not exactly true")
    return found


def main(paths):
    if not paths:
        print(__doc__)
        return 2
    failed = False
    for path in paths:
        try:
            found = problems_of(path)
        except (OSError, ValueError, struct.error) as e:
            found = ["cannot read the image: %s" % e]
        for problem in found:
            print("%s: %s" % (path, problem))
        if not found:
            print("%s: manifest and header as expected" % path)
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
