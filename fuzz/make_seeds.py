#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: real-shaped DTB blocks (plain,
gzip, multi-DTB containers) and gzip members, built by the emulated box's
own library (box/boxlib.py). Run it again after changing the input layout of
the targets (fuzz/fuzz_block.h). Needs dtc. Inputs named regression_* that
this script does not write are findings of earlier runs, kept as found."""
import gzip
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "box"))

import boxlib  # noqa: E402
from presets import PRESETS  # noqa: E402

MARKER = 0x04  # control bit: put "A~D" at the marker place
ENV_LAST = 0x08


def member_with_fields(content):
    """A gzip member with file name, comment and extra field."""
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    data = raw.compress(content) + raw.flush()
    header = b"\x1f\x8b\x08" + bytes([0x04 | 0x08 | 0x10]) + bytes(4) + b"\x00\x03"
    header += struct.pack("<H", 4) + b"AMLx" + b"board.dtb\x00" + b"c\x00"
    return header + data + struct.pack("<II", zlib.crc32(content), len(content))


def wrapping_property_length():
    """A tree whose first property length (-12) wraps libfdt's tag offset."""
    tree = bytearray(boxlib.compile_tree("/dts-v1/;\n/ { p = <1>; };\n"))
    structure = struct.unpack(">I", tree[8:12])[0]
    tree[structure + 12:structure + 16] = b"\xff\xff\xff\xf4"
    return bytes(tree)


def small_tree(model, parts, vbmeta_parts):
    """A tree of a few hundred bytes: model, vbmeta parts and, when `parts`
    are given, the vendor's partitions node for them."""
    node = boxlib.partitions_node(parts, 0x20) if parts else ""
    return boxlib.compile_tree(
        "/dts-v1/;\n/ {\n\tmodel = \"%s\";\n"
        "\tfirmware { android { vbmeta { parts = \"%s\"; }; }; };\n%s\n};\n"
        % (model, vbmeta_parts, node))


def write(folder, name, data):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def main():
    preset = "khadas_vim3"
    trees = PRESETS[preset]["trees"][:2]
    parts = boxlib.layout(preset, "fresh")
    env = next(i for i, p in enumerate(parts) if p.name == "env")
    tree_a = small_tree("tree A", parts[env:env + 4], "boot,system,vendor")
    tree_b = small_tree("tree B", None, "boot")
    v1 = boxlib.pack_container(1, trees, [tree_a, tree_b])
    v2 = boxlib.pack_container(2, trees, [tree_a, tree_b])
    v3 = v2[:4] + struct.pack("<I", 3) + v2[8:]  # a version the bootloader does not know
    packed = lambda c: gzip.compress(c, 9, mtime=0)

    blocks = {
        "plain_tree": (MARKER | 1, tree_a),
        "plain_tree_env_last": (MARKER | ENV_LAST | 1, tree_b),
        "gzip_tree": (0, packed(tree_a)),
        "gzip_tree_fields": (1, member_with_fields(tree_b)),
        "container_v1": (MARKER | 1, v1),
        "container_v2": (MARKER | 0, v2),
        "container_v3": (MARKER | 2, v3),
        "gzip_container_v1": (1, packed(v1)),
        "gzip_container_v2": (0, packed(v2)),
        "no_tree": (MARKER | 1, b"not a device tree"),
        "regression_wrapping_property_length": (MARKER | 1, wrapping_property_length()),
    }
    for name, (control, content) in blocks.items():
        write("dtb", name, bytes([control]) + content)
    for name, member in {
        "tree": packed(tree_a),
        "container": packed(v2),
        "fields": member_with_fields(tree_b),
        "text": packed(b"boot,system,vendor" * 20),
    }.items():
        write("gunzip", name, member)


if __name__ == "__main__":
    main()
