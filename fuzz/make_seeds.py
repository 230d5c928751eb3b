#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: real-shaped DTB blocks (plain,
gzip, multi-DTB containers of versions 1, 2 and 3) and gzip members. Run it
again after changing the input layout of the targets (fuzz/fuzz_block.h).
Needs dtc. Inputs named regression_* that this script does not write are
findings of earlier runs, kept as they were found."""
import gzip
import os
import struct
import subprocess
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

MARKER = 0x04  # control bit: put "A~D" at the marker place
ENV_LAST = 0x08


def dts(model, parts, with_partitions):
    text = '/dts-v1/;\n/ {\n  model = "%s";\n  compatible = "amlogic, g12b";\n' % model
    text += '  firmware { android { vbmeta { parts = "%s"; }; }; };\n' % parts
    if with_partitions:
        text += ('  partitions { parts = <2>; part-0 = <0x20>; part-1 = <0x21>;\n'
                 '    logo { pname = "logo"; size = <0 0x800000>; mask = <1>; phandle = <0x20>; };\n'
                 '    data { pname = "data"; size = <0xffffffff 0xffffffff>; mask = <4>;'
                 ' phandle = <0x21>; };\n  };\n')
    text += '  soc { gic: interrupt-controller { phandle = <7>; }; serial { interrupt-parent = <&gic>; }; };\n};\n'
    return text


def compile_dts(text):
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, 'in.dts')
        with open(src, 'w') as f:
            f.write(text)
        return subprocess.run(['dtc', '-q', '-I', 'dts', '-O', 'dtb', src],
                              check=True, capture_output=True).stdout


def container(version, trees, align=2048):
    width = {1: 4, 2: 16}.get(version, 0)
    entry_size = 3 * width + 8
    pad = lambda n: (n + align - 1) // align * align
    table = bytearray(b'AML_' + struct.pack('<II', version, len(trees)))
    offset = pad(12 + len(trees) * entry_size)
    body = bytearray()
    for tree in trees:
        for ident in (b'b21g', b'0dtf', b'2u0g'):
            table += ident * (width // 4)
        table += struct.pack('<II', offset, len(tree))
        body += tree + bytes(pad(len(tree)) - len(tree))
        offset += pad(len(tree))
    return bytes(table) + bytes(pad(len(table)) - len(table)) + bytes(body)


def member_with_fields(content):
    """A gzip member with file name, comment and extra field."""
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    data = raw.compress(content) + raw.flush()
    header = b'\x1f\x8b\x08' + bytes([0x04 | 0x08 | 0x10]) + bytes(4) + b'\x00\x03'
    header += struct.pack('<H', 4) + b'AMLx' + b'board.dtb\x00' + b'c\x00'
    return header + data + struct.pack('<II', zlib.crc32(content), len(content))


def wrapping_property_length():
    """A tree whose first property length (-12) wraps libfdt's tag offset."""
    tree = bytearray(compile_dts('/dts-v1/;\n/ { p = <1>; };\n'))
    structure = struct.unpack('>I', tree[8:12])[0]
    tree[structure + 12:structure + 16] = b'\xff\xff\xff\xf4'
    return bytes(tree)


def write(folder, name, data):
    path = os.path.join(HERE, 'corpus', folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), 'wb') as f:
        f.write(data)


def main():
    tree_a = compile_dts(dts('tree A', 'boot,system,vendor', True))
    tree_b = compile_dts(dts('tree B', 'boot', False))
    v1 = container(1, [tree_a, tree_b])
    v2 = container(2, [tree_a, tree_b])
    v3 = container(3, [tree_b, tree_a])
    packed = lambda c: gzip.compress(c, 9, mtime=0)

    blocks = {
        'plain_tree': (MARKER | 1, tree_a),
        'plain_tree_env_last': (MARKER | ENV_LAST | 1, tree_b),
        'gzip_tree': (0, packed(tree_a)),
        'gzip_tree_fields': (1, member_with_fields(tree_b)),
        'container_v1': (MARKER | 1, v1),
        'container_v2': (MARKER | 0, v2),
        'container_v3': (MARKER | 2, v3),
        'gzip_container_v1': (1, packed(v1)),
        'gzip_container_v2': (0, packed(v2)),
        'no_tree': (MARKER | 1, b'not a device tree'),
        'regression_wrapping_property_length': (MARKER | 1, wrapping_property_length()),
    }
    for name, (control, content) in blocks.items():
        write('dtb', name, bytes([control]) + content)
    for name, member in {
        'tree': packed(tree_a),
        'container': packed(v2),
        'fields': member_with_fields(tree_b),
        'text': packed(b'boot,system,vendor' * 20),
    }.items():
        write('gunzip', name, member)


if __name__ == '__main__':
    main()
