"""A tiny PE image with a version resource, for packages on hosts without the Windows build.

    version_image((5, 0, 3, 0))             PE32, 1,024 bytes
    version_image((5, 0, 3, 0), plus=True)  PE32+
    version_image((5, 0, 3, 0), resources=False)   without a version resource

The image has one section, .rsrc, holding a resource directory (type 16, identifier 1,
language 0x409) and a VS_VERSIONINFO block with the fixed file-information block; no code.
Windows would not run it; vmpkg only reads its version resource. The same layout as the
builder of tests/unit/file_version_test.cpp.
"""
import struct

SECTION_RAW = 0x200
SECTION_RVA = 0x1000
BLOCK = 0x58  # offset of the version block in the section
BLOCK_SIZE = 92


def version_image(version, plus=False, resources=True):
    """The image; `resources` False leaves its resource directory entry empty."""
    major, minor, build, revision = version
    optional_size = (112 if plus else 96) + 16 * 8
    image = bytearray(SECTION_RAW + 0x200)
    struct.pack_into("<2s", image, 0, b"MZ")
    struct.pack_into("<I", image, 0x3C, 64)
    struct.pack_into("<IHHIIIHH", image, 64, 0x00004550, 0x8664 if plus else 0x014C, 1, 0, 0, 0,
                     optional_size, 0x0102)
    optional = 64 + 24
    struct.pack_into("<H", image, optional, 0x20B if plus else 0x10B)
    directories = optional + (112 if plus else 96)
    struct.pack_into("<I", image, directories - 4, 16)
    if resources:
        struct.pack_into("<II", image, directories + 16, SECTION_RVA, BLOCK + BLOCK_SIZE)
    section = optional + optional_size
    struct.pack_into("<8sIIII", image, section, b".rsrc", BLOCK + BLOCK_SIZE, SECTION_RVA,
                     0x200, SECTION_RAW)
    levels = [(0x00, 16, 0x80000018), (0x18, 1, 0x80000030), (0x30, 0x409, 0x48)]
    for directory, name, target in levels:
        struct.pack_into("<HHII", image, SECTION_RAW + directory + 12, 0, 1, name, target)
    struct.pack_into("<II", image, SECTION_RAW + 0x48, SECTION_RVA + BLOCK, BLOCK_SIZE)
    block = SECTION_RAW + BLOCK
    struct.pack_into("<HHH", image, block, BLOCK_SIZE, 52, 0)
    image[block + 6:block + 38] = "VS_VERSION_INFO\0".encode("utf-16-le")
    struct.pack_into("<IIII", image, block + 40, 0xFEEF04BD, 0x00010000,
                     (major << 16) | minor, (build << 16) | revision)
    return bytes(image)
