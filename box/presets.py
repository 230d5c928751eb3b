"""Presets of the emulated box: realistic eMMC layouts of real Amlogic boxes.

A preset names the device id, the eMMC size, the partitions that follow the
reserved partition (name, size in MiB or None for "the rest", mask), the
form of the bootloader's DTB copies and what its device trees carry.  The
vendor rules (bootloader 4 MiB at 0, reserved 64 MiB at 36 MiB, 8 MiB gaps)
are applied by layout.py; nothing here knows kvemmc's code.

To add a preset: add an entry to PRESETS with the same keys; `boxtool
presets` lists them and every end-to-end test that loops over presets picks
it up.
"""

MiB = 1 << 20

PRESETS = {
    # An older box: no "userdata", no "dtbo": dual boot only; plain DTB.
    "gxl_p212": {
        "device_id": "amlogic-dt-id gxl_p212_2g_kvim\n",
        "emmc_bytes": 7818182656,
        "parts": [
            ("cache", 512, 2),
            ("env", 8, 0),
            ("logo", 32, 1),
            ("recovery", 32, 1),
            ("misc", 32, 1),
            ("boot", 32, 1),
            ("system", 1024, 1),
            ("data", None, 4),
        ],
        "dtb": {"form": "plain"},
        "trees": [
            {"model": "Khadas VIM", "dt_id": "gxl_p212_2g", "soc": "gxl",
             "compatible": "amlogic, Gxl", "filler": 120},
        ],
        "vbmeta_parts": None,
        "env": {"bootdelay": "1", "bootcmd": "run storeboot"},
        "modes": ["dual"],
    },
    # An Android 9 box: dual and single boot (data layout); gzip container v2.
    "khadas_vim3": {
        "device_id": "khadas_vim3\n",
        "emmc_bytes": 15634268160,
        "parts": [
            ("env", 8, 0),
            ("logo", 8, 1),
            ("recovery", 24, 1),
            ("misc", 8, 1),
            ("dtbo", 8, 1),
            ("cri_data", 8, 2),
            ("param", 16, 2),
            ("boot", 16, 1),
            ("rsv", 16, 1),
            ("tee", 32, 1),
            ("vendor", 256, 1),
            ("odm", 256, 1),
            ("system", 1856, 1),
            ("cache", 1120, 2),
            ("data", None, 4),
        ],
        "dtb": {"form": "gzip-container", "version": 2},
        "trees": [
            {"model": "Khadas VIM3", "dt_id": "g12b_a311d_w400_a", "soc": "g12b",
             "compatible": "amlogic, g12b", "filler": 700},
            {"model": "Khadas VIM3 (4G)", "dt_id": "g12b_a311d_w400_b", "soc": "g12b",
             "compatible": "amlogic, g12b", "filler": 700},
            {"model": "Khadas VIM3 (S922X)", "dt_id": "g12b_s922x_w400", "soc": "g12b",
             "compatible": "amlogic, g12b", "filler": 700},
        ],
        "vbmeta_parts": "boot,system,vendor",
        "env": {"bootdelay": "1", "active_slot": "normal"},
        "modes": ["dual", "single"],
    },
    # An Android 11 A/B box: "userdata", single boot only; container v1.
    "beelink": {
        "device_id": "beelink-gtking-pro\n",
        "emmc_bytes": 31268536320,
        "parts": [
            ("cache", 1024, 2),
            ("env", 8, 0),
            ("frp", 2, 1),
            ("factory", 8, 0x11),
            ("logo", 8, 1),
            ("misc", 2, 1),
            ("boot_a", 64, 1),
            ("boot_b", 64, 1),
            ("vendor_boot_a", 64, 1),
            ("vendor_boot_b", 64, 1),
            ("dtbo_a", 8, 1),
            ("dtbo_b", 8, 1),
            ("vbmeta_a", 2, 1),
            ("vbmeta_b", 2, 1),
            ("odm_ext_a", 16, 1),
            ("odm_ext_b", 16, 1),
            ("super", 2048, 1),
            ("userdata", None, 4),
        ],
        "dtb": {"form": "container", "version": 1},
        "trees": [
            {"model": "Beelink GT-King Pro", "dt_id": "g12b_w400_b", "soc": "g12b",
             "compatible": "amlogic, g12b", "filler": 150},
            {"model": "Beelink GT-King Pro rev.A", "dt_id": "g12b_w400_a", "soc": "g12b",
             "compatible": "amlogic, g12b", "filler": 150},
        ],
        "vbmeta_parts": "boot,vendor_boot,vbmeta_system",
        "env": {"bootdelay": "1", "active_slot": "_a"},
        "modes": ["single"],
    },
}

# The size of KV_FLASH in an installation the box builds itself (kvemmc's
# default).
FLASH_BYTES = 512 * MiB
