"""Images of the emulated box, built and read back byte by byte.

Written from the vendor's rules alone: the partition table record, the DTB
blocks of the reserved partition (plain tree, multi-DTB container, gzip
member, marker and block checksum), the U-Boot environment and the content
patterns of Android partitions.  It never uses kvemmc's own code.
"""

import hashlib
import os
import struct
import subprocess
import tempfile
import zlib

from presets import FLASH_BYTES, MiB, PRESETS

TABLE_BYTES = 1304
ENTRY_BYTES = 40
SLOTS = 32
RESERVED_OFFSET = 36 * MiB
RESERVED_BYTES = 64 * MiB
DTB_OFFSET = 0x400000  # inside the reserved partition
DTB_BLOCK = 0x40000
ENV_BYTES = 0x10000
GAP = 8 * MiB
WIDE_GAP = 32 * MiB


# ---------------------------------------------------------------------------
# Layouts
# ---------------------------------------------------------------------------

class Part:
    def __init__(self, name, offset, size, mask):
        self.name, self.offset, self.size, self.mask = name, offset, size, mask

    @property
    def end(self):
        return self.offset + self.size

    def __repr__(self):
        return f"Part({self.name}, {self.offset:#x}, {self.size:#x}, {self.mask:#x})"


def fresh_layout(preset):
    """The vendor table of a box as it leaves the factory."""
    p = PRESETS[preset]
    parts = [Part("bootloader", 0, 4 * MiB, 0),
             Part("reserved", RESERVED_OFFSET, RESERVED_BYTES, 0)]
    for name, size_mib, mask in p["parts"]:
        offset = parts[-1].end + GAP
        size = p["emmc_bytes"] - offset if size_mib is None else size_mib * MiB
        parts.append(Part(name, offset, size, mask))
    return parts


def find(parts, name):
    for part in parts:
        if part.name == name:
            return part
    return None


def data_partition(parts):
    return find(parts, "data") or find(parts, "userdata")


def dual_layout(preset):
    """A dual-boot installation: the data partition gives its last bytes to
    KV_FLASH; KV_STORAGE names the shortened data partition."""
    parts = [Part(x.name, x.offset, x.size, x.mask) for x in fresh_layout(preset)]
    data = data_partition(parts)
    data.size -= FLASH_BYTES
    parts.append(Part("KV_STORAGE", data.offset, data.size, data.mask))
    parts.append(Part("KV_FLASH", data.end, FLASH_BYTES, 4))
    return parts


def active_slot(preset):
    slot = PRESETS[preset]["env"].get("active_slot", "normal")
    return "" if slot == "normal" else slot


def avb_names(preset, parts):
    """Partitions that verified boot needs, with the slot suffix, once each."""
    suffix = active_slot(preset)
    names = ["vendor_boot", "dtbo", "odm_ext"]
    prop = PRESETS[preset]["vbmeta_parts"]
    if prop:
        names += [n for n in prop.split(",") if n]
    found = []
    for name in names:
        candidate = name + suffix
        if find(parts, candidate) and candidate not in found:
            found.append(candidate)
    return found


def single_layout(preset):
    """A single-boot installation: the kept partitions packed from the start,
    then KV_FLASH and KV_STORAGE up to the end of the eMMC."""
    old = fresh_layout(preset)
    emmc = PRESETS[preset]["emmc_bytes"]
    bootloader, reserved = find(old, "bootloader"), find(old, "reserved")
    new = [Part("bootloader", 0, bootloader.size, bootloader.mask)]

    def place_behind(name, size, mask):
        prev = new[-1]
        gap = WIDE_GAP if prev.mask & 0x100 else GAP
        new.append(Part(name, prev.end + gap, size, mask))

    if find(old, "userdata"):
        new.append(Part("reserved", reserved.offset, reserved.size, reserved.mask))
        keep = ["cache", "env", "frp", "factory", "logo", "misc"]
        keep += avb_names(preset, old)
        keep.append("super")
        for name in keep:
            part = find(old, name)
            if part:
                place_behind(name, part.size, part.mask)
    else:
        end, in_front = bootloader.size, True
        for name in ["env", "misc", "logo", "dtbo", "dto"]:
            part = find(old, name)
            if not part:
                continue
            if in_front and reserved.offset - end >= part.size:
                new.append(Part(name, end, part.size, part.mask))
                end += part.size
                continue
            if in_front:
                in_front = False
                new.append(Part("reserved", reserved.offset, reserved.size, reserved.mask))
                end = reserved.end
            new.append(Part(name, end, part.size, part.mask))
            end += part.size
        if in_front:
            new.append(Part("reserved", reserved.offset, reserved.size, reserved.mask))
    place_behind("KV_FLASH", FLASH_BYTES, 4)
    place_behind("KV_STORAGE", 0, 4)
    new[-1].size = emmc - new[-1].offset  # the rest of the eMMC
    return new


def layout(preset, state):
    if state == "fresh":
        return fresh_layout(preset)
    if state == "dual":
        return dual_layout(preset)
    if state == "single":
        return single_layout(preset)
    raise SystemExit(f"unknown state '{state}'")


def state_allowed(preset, state):
    return state == "fresh" or state in PRESETS[preset]["modes"]


# ---------------------------------------------------------------------------
# The partition table record
# ---------------------------------------------------------------------------

def encode_table(parts):
    if not 1 <= len(parts) <= SLOTS:
        raise ValueError("a table holds 1 to 32 partitions")
    body = bytearray(SLOTS * ENTRY_BYTES)
    for i, part in enumerate(parts):
        name = part.name.encode()
        assert 0 < len(name) < 16
        struct.pack_into("<16sQQQ", body, i * ENTRY_BYTES, name, part.size, part.offset, part.mask)
    words = struct.unpack_from("<10I", body, 0)
    checksum = (len(parts) * sum(words)) & 0xFFFFFFFF
    return b"MPT\0" + b"01.00.00".ljust(12, b"\0") + struct.pack("<II", len(parts), checksum) + bytes(body)


def decode_table(raw):
    """All 32 slots and what is wrong with the header, the vendor's way."""
    if len(raw) < TABLE_BYTES:
        raise ValueError("short table")
    magic = raw[0:4]
    version = raw[4:16].split(b"\0")[0].decode("latin-1")
    count, checksum = struct.unpack_from("<II", raw, 16)
    slots = []
    for i in range(SLOTS):
        name, size, offset, mask = struct.unpack_from("<16sQQQ", raw, 24 + i * ENTRY_BYTES)
        slots.append(Part(name.split(b"\0")[0].decode("latin-1"), offset, size, mask))
    words = struct.unpack_from("<10I", raw, 24)
    expected = (count * sum(words)) & 0xFFFFFFFF
    problems = []
    if magic != b"MPT\0":
        problems.append("magic")
    if not 1 <= count <= SLOTS:
        problems.append("count")
    if checksum != expected:
        problems.append("checksum")
    return {"magic": magic, "version": version, "count": count, "checksum": checksum,
            "checksum_ok": checksum == expected, "slots": slots, "problems": problems}


# ---------------------------------------------------------------------------
# Device trees and DTB blocks
# ---------------------------------------------------------------------------

def partitions_node(parts, first_phandle):
    """The vendor's /partitions node for the partitions behind "env"."""
    env = next((i for i, x in enumerate(parts) if x.name == "env"), None)
    if env is None:
        return ""
    listed = parts[env + 1:]
    lines = ["\tpartitions {", f"\t\tparts = <{len(listed)}>;"]
    for n in range(len(listed)):
        lines.append(f"\t\tpart-{n} = <{first_phandle + n:#x}>;")
    for n, part in enumerate(listed):
        size = 0xFFFFFFFFFFFFFFFF if n == len(listed) - 1 else part.size
        lines += [f"\t\t{part.name} {{",
                  f"\t\t\tpname = \"{part.name}\";",
                  f"\t\t\tsize = <{size >> 32:#x} {size & 0xFFFFFFFF:#x}>;",
                  f"\t\t\tmask = <{part.mask & 0xFFFFFFFF:#x}>;",
                  f"\t\t\tphandle = <{first_phandle + n:#x}>;",
                  "\t\t};"]
    lines.append("\t};")
    return "\n".join(lines)


def tree_source(preset, tree, parts, with_partitions):
    """DTS text of one device tree, with filler nodes of realistic size."""
    p = PRESETS[preset]
    out = ["/dts-v1/;", "", "/ {",
           f"\tcompatible = \"{tree['compatible']}\";",
           f"\tmodel = \"{tree['model']}\";",
           f"\tamlogic-dt-id = \"{tree['dt_id']}\";",
           f"\tkestrova-dt-id = \"{p['device_id'].strip()}\";",
           "\t#address-cells = <2>;", "\t#size-cells = <2>;",
           "\tinterrupt-parent = <0x1>;"]
    if with_partitions:
        out.append(partitions_node(parts, 0x100))
    out += ["\tcpus {", "\t\t#address-cells = <2>;", "\t\t#size-cells = <0>;"]
    for cpu in range(4):
        out += [f"\t\tcpu@{cpu} {{", "\t\t\tdevice_type = \"cpu\";",
                "\t\t\tcompatible = \"arm,cortex-a53\";",
                f"\t\t\treg = <0x0 {cpu:#x}>;", f"\t\t\tphandle = <{0x10 + cpu:#x}>;", "\t\t};"]
    out += ["\t};",
            "\tinterrupt-controller@ffc01000 {", "\t\tcompatible = \"arm,gic-400\";",
            "\t\t#interrupt-cells = <3>;", "\t\tinterrupt-controller;",
            "\t\treg = <0x0 0xffc01000 0x0 0x1000>;", "\t\tphandle = <0x1>;", "\t};",
            "\tmemory@0 {", "\t\tdevice_type = \"memory\";",
            "\t\treg = <0x0 0x0 0x0 0x80000000>;", "\t};"]
    if p["vbmeta_parts"]:
        out += ["\tfirmware {", "\t\tandroid {", "\t\t\tcompatible = \"android,firmware\";",
                "\t\t\tvbmeta {", "\t\t\t\tcompatible = \"android,vbmeta\";",
                f"\t\t\t\tparts = \"{p['vbmeta_parts']}\";",
                "\t\t\t\tby_name_prefix = \"/dev/block\";", "\t\t\t};", "\t\t};", "\t};"]
    # Pin and clock nodes, as many as a vendor tree has; deterministic.
    seed = hashlib.sha256(tree["dt_id"].encode()).digest()
    out.append("\tpinctrl@ff634400 {")
    for n in range(tree["filler"]):
        word = int.from_bytes(hashlib.sha256(seed + n.to_bytes(4, "little")).digest()[:4], "little")
        out += [f"\t\tgroup_{n} {{",
                f"\t\t\tgroups = \"gpio_{n % 97}\", \"pin_{word % 1000}\";",
                f"\t\t\tfunction = \"func_{word % 37}\";",
                f"\t\t\tdrive-strength = <{word % 4}>;",
                f"\t\t\tamlogic,setting = <{word:#x} {(word * 7) & 0xFFFFFFFF:#x}>;",
                "\t\t};"]
    out += ["\t};", "};", ""]
    return "\n".join(out)


def compile_tree(source):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "tree.dts")
        with open(path, "w") as f:
            f.write(source)
        return subprocess.run(["dtc", "-q", "-I", "dts", "-O", "dtb", path],
                              check=True, capture_output=True).stdout


def decompile_tree(blob):
    return subprocess.run(["dtc", "-q", "-I", "dtb", "-O", "dts", "-"], input=blob,
                          check=True, capture_output=True).stdout.decode()


def id_field(text, width):
    """An identification string as the vendor stores it: zero-padded to the
    field width, each group of four bytes reversed."""
    raw = text.encode().ljust(width, b"\0")[:width]
    return b"".join(raw[i:i + 4][::-1] for i in range(0, width, 4))


def align(n, to=2048):
    return (n + to - 1) // to * to


def pack_container(version, trees, blobs):
    width = {1: 4, 2: 16}[version]
    entry = 3 * width + 8
    table_end = align(12 + len(blobs) * entry)
    out = bytearray(struct.pack("<4sII", b"AML_", version, len(blobs)))
    offset = table_end
    placed = []
    for tree, blob in zip(trees, blobs):
        out += id_field(tree["soc"], width) + id_field(tree["dt_id"], width)
        out += id_field("v1", width) + struct.pack("<II", offset, len(blob))
        placed.append(offset)
        offset = align(offset + len(blob))
    out = out.ljust(table_end, b"\0")
    for at, blob in zip(placed, blobs):
        out = out.ljust(at, b"\0") + blob
    return bytes(out.ljust(align(len(out)), b"\0"))


def block_checksum(block):
    return sum(struct.unpack_from("<65535I", block, 0)) & 0xFFFFFFFF


def make_block(content, compress):
    block = bytearray(DTB_BLOCK)
    if compress:
        c = zlib.compressobj(9, zlib.DEFLATED, 31)
        data = c.compress(content) + c.flush()
        data = data[:4] + struct.pack("<I", 1700000000) + data[8:]
    else:
        data = content
    if len(data) > DTB_BLOCK - 16:
        raise ValueError(f"DTB content of {len(data)} bytes does not fit a block")
    block[:len(data)] = data
    if not compress:
        block[0x3FFF0:0x3FFF4] = b"A~D\0"
    struct.pack_into("<I", block, 0x3FFFC, block_checksum(block))
    return bytes(block)


def opaque_block():
    """A DTB block whose content is neither a tree, a container nor gzip, as
    a vendor's encrypted tree is, with the marker and a sound checksum."""
    content = bytearray(_noise("opaque-dtb", DTB_BLOCK - 16))
    if content[:2] == b"\x1f\x8b" or content[:4] in (b"\xd0\x0d\xfe\xed", b"AML_"):
        content[0] ^= 0x80
    return make_block(bytes(content), compress=False)


def has_partitions_node(preset, state):
    """An installation removes the node, or rebuilds it for "userdata" tables."""
    return state == "fresh" or find(fresh_layout(preset), "userdata") is not None


def dtb_blocks(preset, state):
    """The two DTB copies of the preset in the given installation state."""
    p = PRESETS[preset]
    parts = layout(preset, state)
    blobs = [compile_tree(tree_source(preset, t, parts, has_partitions_node(preset, state)))
             for t in p["trees"]]
    form = p["dtb"]["form"]
    if form == "plain":
        content = blobs[0]
    else:
        content = pack_container(p["dtb"]["version"], p["trees"], blobs)
    block = make_block(content, compress=form.startswith("gzip"))
    return block, block


def unpack_block(block):
    """What a DTB block holds: form, checks and the trees as byte strings."""
    info = {"compressed": block[:2] == b"\x1f\x8b",
            "checksum_ok": block_checksum(block) == struct.unpack_from("<I", block, 0x3FFFC)[0],
            "marker": block[0x3FFF0:0x3FFF4], "form": "unknown", "trees": []}
    content = block
    if info["compressed"]:
        d = zlib.decompressobj(31)
        content = d.decompress(block)
        info["compressed_bytes"] = DTB_BLOCK - len(d.unused_data)
        if not d.eof:
            info["form"] = "broken-gzip"
            return info
    if content[:4] == b"\xd0\x0d\xfe\xed":
        size = struct.unpack_from(">I", content, 4)[0]
        info["form"] = "tree"
        info["trees"].append(bytes(content[:size]))
    elif content[:4] == b"AML_":
        version, count = struct.unpack_from("<II", content, 4)
        width = {1: 4, 2: 16}.get(version, 0)
        info["form"] = f"container-v{version}"
        for i in range(min(count, 64)):
            at = 12 + i * (3 * width + 8) + 3 * width
            if at + 8 > len(content):
                break
            offset, length = struct.unpack_from("<II", content, at)
            if content[offset:offset + 4] == b"\xd0\x0d\xfe\xed":
                size = struct.unpack_from(">I", content, offset + 4)[0]
                info["trees"].append(bytes(content[offset:offset + size]))
    return info


# ---------------------------------------------------------------------------
# U-Boot environment, content patterns
# ---------------------------------------------------------------------------

def env_image(preset):
    env = PRESETS[preset]["env"]
    data = b"".join(f"{k}={v}".encode() + b"\0" for k, v in env.items()) + b"\0"
    data = data.ljust(ENV_BYTES - 4, b"\0")
    return struct.pack("<I", zlib.crc32(data)) + data


PATTERN_CHUNK = 64 * 1024


def pattern_spots(size):
    """Where a partition's pattern stands: all of a small partition, the first,
    middle and last MiB of a big one."""
    if size <= 16 * MiB:
        return [(0, size)]
    mid = (size // 2) // MiB * MiB
    return [(0, MiB), (mid, MiB), (size - MiB, MiB)]


def pattern_bytes(name, rel, length):
    """The recognisable bytes of partition `name` at offset `rel` inside it."""
    out = bytearray()
    pos = rel
    while pos < rel + length:
        chunk = pos // PATTERN_CHUNK
        block = hashlib.sha256(f"{name}:{chunk}".encode()).digest()
        block = (f"[{name} {chunk:08x}]".encode() + block) * (PATTERN_CHUNK // 32 + 1)
        start = pos % PATTERN_CHUNK
        take = min(PATTERN_CHUNK - start, rel + length - pos)
        out += block[start:start + take]
        pos += take
    return bytes(out)


# Partitions that hold a filesystem or nothing rather than a pattern.
NO_PATTERN = {"reserved", "data", "userdata", "KV_FLASH", "KV_STORAGE"}


def patterned(parts):
    return [p for p in parts if p.name not in NO_PATTERN]


# ---------------------------------------------------------------------------
# File trees of the boot media and of Android's data partition
# ---------------------------------------------------------------------------

def _write(path, data, mode=0o644, owner=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(path, mode)
    if owner is not None:
        os.lchown(path, owner, owner)


def _noise(seed, size):
    import random
    return random.Random(seed).randbytes(size)


# The file at the top of each backup folder that says the backup is
# complete (kvemmc writes it last; a backup without it is refused).
BACKUP_MARK = ".kvemmc-backup-complete"


def flash_tree(root):
    """/flash of a Kestrova system: kernel, system image, device trees."""
    _write(f"{root}/KERNEL", _noise("kernel", 6 * MiB), 0o755)
    _write(f"{root}/KERNEL.md5", hashlib.md5(_noise("kernel", 6 * MiB)).hexdigest() + "  KERNEL\n")
    _write(f"{root}/SYSTEM", _noise("system", 20 * MiB))
    _write(f"{root}/SYSTEM.md5", hashlib.md5(_noise("system", 20 * MiB)).hexdigest() + "  SYSTEM\n")
    for name in ("g12b_a311d_khadas_vim3", "gxl_s905x_p212", "g12b_s922x_beelink_gt_king_pro"):
        _write(f"{root}/device_trees/{name}.dtb", _noise(name, 60 * 1024))
    _write(f"{root}/cmdline.txt", "boot=UUID=2306-0801 disk=UUID=3f2c quiet systemd.debug_shell=ttyAML0\n")
    _write(f"{root}/config.ini", "# Kestrova boot options\nremote_config=\"\"\n")
    _write(f"{root}/.kestrova-flash", "")


def storage_tree(root):
    """/storage of a Kestrova system: configuration, Kodi's profile with a few
    thousand small files, hidden files, symlinks, empty folders."""
    _write(f"{root}/.config/hostname", "kestrova\n")
    _write(f"{root}/.config/autostart.sh", "#!/bin/sh\n", 0o755)
    _write(f"{root}/.config/ssh/ssh_host_key", _noise("key", 400), 0o600)
    _write(f"{root}/.kodi/userdata/guisettings.xml", "<settings version=\"2\"/>\n" * 50)
    _write(f"{root}/.kodi/userdata/Database/MyVideos119.db", _noise("videos", 300 * 1024))
    _write(f"{root}/.kodi/userdata/Database/Textures13.db", _noise("textures", 200 * 1024))
    for addon in range(60):
        base = f"{root}/.kodi/addons/plugin.video.demo{addon:02d}"
        _write(f"{base}/addon.xml", f"<addon id=\"plugin.video.demo{addon:02d}\"/>\n")
        for n in range(50):
            _write(f"{base}/resources/lib/module{n:02d}.py", f"# module {n}\nVALUE = {addon * n}\n")
    thumbs = f"{root}/.kodi/userdata/Thumbnails"
    for n in range(300):
        _write(f"{thumbs}/{n % 16:x}/{n:08x}.jpg", _noise(f"thumb{n}", 1024 + n * 7))
    _write(f"{root}/.kodi/temp/kodi.log", "NOTICE: Starting Kodi\n" * 100)
    _write(f"{root}/.bash_history", "ls\n", 0o600)
    _write(f"{root}/videos/holiday film.mkv", _noise("film", 3 * MiB), 0o644, owner=1000)
    _write(f"{root}/music/.keep", "")
    for folder in ("downloads", "pictures", "tvshows"):
        os.makedirs(f"{root}/{folder}", exist_ok=True)
    os.symlink(".kodi/userdata", f"{root}/userdata")
    os.symlink("/storage/.kodi/temp/kodi.log", f"{root}/kodi.log")
    os.symlink("missing-target", f"{root}/.dangling")


def android_tree(root):
    """A little of what Android keeps in its data partition."""
    _write(f"{root}/system/packages.xml", "<packages/>\n" * 20)
    _write(f"{root}/media/0/DCIM/photo.jpg", _noise("photo", 256 * 1024))
    for n in range(40):
        _write(f"{root}/app/com.example.app{n}/base.apk", _noise(f"apk{n}", 8 * 1024))
    os.makedirs(f"{root}/lost+found", exist_ok=True)


# ---------------------------------------------------------------------------
# What the vendor bootloader makes of a tree's /partitions node
# ---------------------------------------------------------------------------

def fdt_nodes(blob):
    """The nodes of a flattened tree: {path: {property: bytes}}."""
    magic, total, off_struct, off_strings = struct.unpack_from(">IIII", blob, 0)
    if magic != 0xD00DFEED or total > len(blob):
        raise ValueError("not a tree")
    nodes, path, at = {}, [], off_struct
    while at + 4 <= total:
        token = struct.unpack_from(">I", blob, at)[0]
        at += 4
        if token == 1:  # begin node
            end = blob.index(b"\0", at)
            name = blob[at:end].decode("latin-1")
            at = align(end + 1, 4)
            path.append(name)
            nodes["/" + "/".join(p for p in path if p)] = {}
        elif token == 2:  # end node
            path.pop()
        elif token == 3:  # property
            length, name_at = struct.unpack_from(">II", blob, at)
            at += 8
            name_end = blob.index(b"\0", off_strings + name_at)
            name = blob[off_strings + name_at:name_end].decode("latin-1")
            nodes["/" + "/".join(p for p in path if p)][name] = blob[at:at + length]
            at = align(at + length, 4)
        elif token == 4:  # nop
            continue
        elif token == 9:  # end
            break
        else:
            raise ValueError("bad token")
    return nodes


def bootloader_rebuild(table_parts, blob, emmc_bytes):
    """The table the bootloader lays out from a tree at power-on, or None when
    the tree has no /partitions node (the table then stays as it is)."""
    nodes = fdt_nodes(blob)
    node = nodes.get("/partitions")
    if node is None:
        return None
    env = next(i for i, x in enumerate(table_parts) if x.name == "env")
    rebuilt = list(table_parts[:env + 1])
    by_phandle = {struct.unpack(">I", props["phandle"])[0]: props
                  for path, props in nodes.items()
                  if path.startswith("/partitions/") and len(props.get("phandle", b"")) == 4}
    for n in range(struct.unpack(">I", node["parts"])[0]):
        sub = by_phandle[struct.unpack(">I", node[f"part-{n}"])[0]]
        size = struct.unpack(">Q", sub["size"])[0]
        mask = struct.unpack(">I", sub["mask"])[0]
        before = rebuilt[-1]
        offset = before.end + (WIDE_GAP if before.mask & 0x100 else GAP)
        if size == 0xFFFFFFFFFFFFFFFF:
            size = emmc_bytes - offset
        rebuilt.append(Part(sub["pname"].rstrip(b"\0").decode("latin-1"), offset, size, mask))
    return rebuilt
