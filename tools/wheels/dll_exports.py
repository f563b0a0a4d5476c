"""Write a module-definition (.def) file listing the names a Windows DLL exports.

    python dll_exports.py python313.dll python313.def

The import library the module links against is made from this list, so it
names exactly what the interpreter DLL provides.  Reads the PE export
directory directly: no Windows tools needed.
"""

import struct
import sys
from pathlib import Path


class PEError(ValueError):
    pass


def exported_names(image: bytes) -> tuple[str, list[str]]:
    """The DLL's own name and its exported names, in export-table order."""
    if image[:2] != b"MZ":
        raise PEError("not a PE image (no MZ header)")
    (pe_offset,) = struct.unpack_from("<I", image, 0x3C)
    if image[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise PEError("not a PE image (no PE signature)")
    coff = pe_offset + 4
    _machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", image, coff)
    optional = coff + 20
    (magic,) = struct.unpack_from("<H", image, optional)
    if magic != 0x20B:
        raise PEError("not a 64-bit (PE32+) image")
    # PE32+: the data directories start 112 bytes into the optional header;
    # the first one is the export directory.
    export_rva, export_size = struct.unpack_from("<II", image, optional + 112)
    if export_size == 0:
        raise PEError("the image exports nothing")
    sections = []
    for index in range(section_count):
        header = optional + optional_size + 40 * index
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_offset))

    def offset_of(rva: int) -> int:
        for virtual_address, size, raw_offset in sections:
            if virtual_address <= rva < virtual_address + size:
                return rva - virtual_address + raw_offset
        raise PEError(f"address {rva:#x} lies in no section")

    def text_at(rva: int) -> str:
        start = offset_of(rva)
        return image[start:image.index(b"\0", start)].decode("ascii")

    export = offset_of(export_rva)
    name_rva, = struct.unpack_from("<I", image, export + 12)
    name_count, = struct.unpack_from("<I", image, export + 24)
    names_rva, = struct.unpack_from("<I", image, export + 32)
    names = offset_of(names_rva)
    return text_at(name_rva), [
        text_at(struct.unpack_from("<I", image, names + 4 * i)[0]) for i in range(name_count)
    ]


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    try:
        dll_name, names = exported_names(Path(argv[1]).read_bytes())
    except (OSError, PEError, struct.error, ValueError) as error:
        print(f"dll_exports.py: {argv[1]}: {error}", file=sys.stderr)
        return 1
    Path(argv[2]).write_text(f"LIBRARY {dll_name}\nEXPORTS\n" + "".join(f"    {name}\n" for name in names))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
