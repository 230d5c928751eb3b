// Copies of the running eMMC installation onto an external device (menu D 1)
// on the emulated box: an SD card and a USB disk, blank and prepared, each
// answer, the refusals before the device changes, and the failures. The
// device is read back with sfdisk, fsck.vfat, e2fsck and blkid.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::Reading;
using e2e::Scenario;

const std::string kSearch = "\nSearching external SD or USB device...\n";
const std::string kSuccess =
    "\nSuccess!\n\n\nYou can now reboot the device to use your boot media (SD or USB)!\n\n";
const std::string kAskFlash = "\nContinue with [y] or press enter to skip flash partition!\nContinue? [y]: ";
const std::string kAskStorage =
    "\nContinue with [y] or press enter to skip storage partition!\nContinue? [y]: ";
const std::string kFlashCopy = "rsync -ah --info=progress2 /flash/ /media/KESTROVA/";
const std::string kStorageCopy =
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc /storage/ /media/STORAGE/";
const std::vector<std::string> kRunningFromEmmc = {"--state", "single", "--running", "emmc"};

std::vector<std::string> box(const std::vector<std::string> &more) {
  std::vector<std::string> options = kRunningFromEmmc;
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

// The orders of the calls that prepare and fill a blank mmcblk1 that matter,
// checked once (the readers prove the rest): the table before the
// formatting, the kernel told of partition 2 before its ext4 (with the
// features the boxes' kernels boot from), kodi stopped around the copy.
const std::vector<std::string> kPrepared = {
    "parted -s /dev/mmcblk1 mktable msdos",
    "mkfs.vfat -n KESTROVA /dev/mmcblk1p1",
    "parted -s /dev/mmcblk1 -a min unit s mkpart primary ext4 1056768 100%",
    "partprobe /dev/mmcblk1",
    "mke2fs -F -L STORAGE -t ext4 -m 0 /dev/mmcblk1p2 -O none,has_journal,ext_attr,resize_inode,"
    "dir_index,filetype,extent,flex_bg,sparse_super,large_file,huge_file,dir_nlink,extra_isize",
    "systemctl stop kodi", kStorageCopy, "systemctl start kodi"};
// The smallest device that takes the copy, and what it holds when blank.
const std::string kRequiredMiB = "548";
const std::string kBlankRequiredSize = "43665ae3c101b0a424195987846df10cb5dcaeb9686f6fa4fd35c3527915f58c\n";

// The device as its owner's tools read it: KESTROVA of 512 MiB from sector
// 8192, STORAGE over the rest, both clean, with the running system's data.
std::vector<Reading> copied_onto(const std::string &device, const std::string &last_sector) {
  const std::string image = "{work}/ext-" + device + ".img";
  return {
      {.boxtool = {"disk", image},
       .lines = {"label: dos\n1: start=8192 size=1048576 type=c bootable\n2: start=1056768 size=" +
                     last_sector + " type=83\n1: vfat KESTROVA clean\n2: ext4 STORAGE clean\n"}},
      {.boxtool = {"files", image, "@p1"}, .same_as = {"files", "{emmc}", "@KV_FLASH"}},
      {.boxtool = {"files", image, "@p2"}, .same_as = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
       .ignore = {".config/boot.hint", "backup/kvemmc"}, .absent = {"backup/kvemmc"}},
  };
}

const Scenario kCopy[] = {
    // --- The other presets, with the boxes' own build -------------------------
    {.name = "ABlankSdCardFromADualBootOnGxl",
     .box = {"--preset", "gxl_p212", "--state", "dual", "--running", "emmc", "--external", "mmcblk1:1024"},
     .answers = "1\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .calls = {kStorageCopy}, .emmc_unchanged = false,
     .end = copied_onto("mmcblk1", "1040384"), .boxes_build_only = true},
    {.name = "ABlankSdCardOnBeelink", .box = box({"--preset", "beelink", "--external", "mmcblk1:1024"}),
     .answers = "1\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .calls = {kStorageCopy}, .emmc_unchanged = false,
     .end = copied_onto("mmcblk1", "1040384"), .boxes_build_only = true},
    {.name = "ABlankSdCardIsPreparedAndFilled",
     .box = box({"--external", "mmcblk1:1024", "--own-folder"}),
     .answers = "1\ny\n", .marker = "KVEMMC_BACKUP\n",
     .lines = {kSearch + "Found external SD or USB device: mmcblk1\n",
               "\nExternal SD or USB device size: 0x000040000000 [1GB]\n\n",
               "\nWarning!\nALL existing data on external SD or USB device will be lost!\nPress enter "
               "to abort!\nContinue? [y]: ",
               kSuccess},
     .absent = {kAskFlash}, .calls = kPrepared, .emmc_unchanged = false,
     .end = copied_onto("mmcblk1", "1040384"),
     .dry_run = true},
    // 548 MiB: the flash size, the 32 MiB least storage and the 4 MiB before it.
    // Another disk's mount, whose source and folder begin with this one's
    // names, is neither taken for one of its partitions nor for KESTROVA.
    {.name = "ABlankUsbDiskOfExactlyTheRequiredSizeBesideALongerNamedMount",
     .box = box({"--external", "sda:" + kRequiredMiB, "--mounted", "/dev/sdaa1:/media/KESTROVA2"}),
     .answers = "1\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .calls = {kStorageCopy}, .emmc_unchanged = false, .end = copied_onto("sda", "65536")},
    {.name = "APreparedDeviceIsAskedForEachPartition",
     .box = box({"--external", "sda:1024", "--again", "1\\ny\\ny\\n"}), .answers = "1\ny\n",
     .marker = "KVEMMC_BACKUP\n",
     .lines = {kSuccess, "\t/dev/sda1: ", kAskFlash, kAskStorage, "Stopping Kodi", kSuccess},
     .calls = {kStorageCopy, kFlashCopy, kStorageCopy},
     .emmc_unchanged = false, .end = copied_onto("sda", "1040384")},
    {.name = "APreparedDeviceWithBothSkippedStillSucceeds",
     .box = box({"--external", "sda:1024", "--again", "1\\n\\n\\n"}), .answers = "1\ny\n",
     .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess, kAskFlash, kAskStorage + kSuccess},
     .calls = {kStorageCopy}, .emmc_unchanged = false},

    // --- Before the device changes -----------------------------------------------
    {.name = "TwoDevicesAreListedAndRefused",
     .box = box({"--external", "sda:1024", "--external", "mmcblk1:1024"}), .answers = "1\ny\n",
     .status = 255,
     .lines = {"Found external SD or USB device: ", "Found external SD or USB device: ",
               "\nMore then one external SD or USB device is found!\n"},
     .absent = {"device size"}, .calls = {"blkid /dev/sda"}, .emmc_unchanged = false},
    {.name = "ADeviceTooSmallByOneMiBIsRefused", .box = box({"--external", "sda:547"}),
     .answers = "1\ny\n", .status = 255,
     .lines = {"External SD or USB device is too small to cover data of '/flash' + '/storage' from "
               "current Kestrova eMMC installation!\nFree space on 'sda' external SD or USB device: "
               "547MB\nUsed space on '/flash' + '/storage': 574619648\n"},
     .absent = {"Continue?"}, .calls = {"blkid /dev/sda"}, .emmc_unchanged = false},
    // Not a byte of the device written.
    {.name = "DecliningChangesNothing", .box = box({"--external", "sda:" + kRequiredMiB}),
     .answers = "1\n\n", .lines = {"Continue? [y]: \nAborting!\n"}, .absent = {"Success"},
     .calls = {"blkid /dev/sda"}, .emmc_unchanged = false,
     .end = {{.boxtool = {"hash", "{work}/ext-sda.img", "0", std::to_string(548 << 20)},
              .lines = {kBlankRequiredSize}}}},
    {.name = "AFailingBlkidIsAFailure", .box = box({"--external", "sda:1024", "--fail", "blkid:1:4"}),
     .answers = "1\ny\n", .status = 255,
     .lines = {"Error executing cmd 'blkid /dev/sda* || test $? -eq 2'\n"}, .absent = {"device size"},
     .calls = {"blkid /dev/sda"}, .emmc_unchanged = false},

    // --- Failures after it ------------------------------------------------------------
    {.name = "AFailingPartedEndsTheRun", .box = box({"--external", "sda:1024", "--fail", "parted:1"}),
     .answers = "1\ny\n", .status = 255,
     .lines = {"Error executing cmd 'parted -s \"/dev/sda\" mktable msdos'\n"},
     .absent = {"Success"}, .calls = {"parted -s /dev/sda mktable msdos"}, .emmc_unchanged = false},
    {.name = "AFailingPartprobeEndsTheRun",
     .box = box({"--external", "sda:1024", "--fail", "partprobe:1"}), .answers = "1\ny\n",
     .status = 255, .lines = {"Error executing cmd 'partprobe \"/dev/sda\"'\n"},
     .calls = {"partprobe /dev/sda"}, .emmc_unchanged = false},
    {.name = "AMountThatNeverShowsTimesOut",
     .box = box({"--external", "sda:1024", "--fail", "systemctl:1:0"}), .answers = "1\ny\n",
     .status = 255, .lines = {"Timeout waiting for mount of '/media/KESTROVA'!\n"},
     .calls = {"systemctl restart udevil-mount@/dev/sda1.service"}, .emmc_unchanged = false},
    {.name = "AFailedStorageCopyStartsKodiAgain",
     .box = box({"--external", "sda:1024", "--fail", "rsync:4"}), .answers = "1\ny\n", .status = 255,
     .lines = {"Failed to copy data from '/storage' to '/media/STORAGE'\n"
               "Start Kodi again to have a user interface!\n"},
     .calls = {"systemctl stop kodi", "systemctl start kodi"}, .emmc_unchanged = false},
    {.name = "ACtrlCDuringTheFlashCopyEndsTheRun",
     .box = box({"--external", "sda:1024", "--signal", "rsync:3:INT"}), .answers = "1\ny\n",
     .status = 255, .lines = {"Stopped by signal 2 (Interrupt) during the copy!\n"},
     .absent = {"Stopping Kodi"}, .calls = {kFlashCopy}, .emmc_unchanged = false},
};

E2E_SCENARIO_TABLE(Copy, kCopy);

}  // namespace
