// Start-up, the device gate, the help and the menus: kvemmc on the emulated
// box, one row per case that needs the whole program or the box's end state.
// The help texts are checked whole, once each, against tests/e2e/golden;
// everything else by the lines that carry the behaviour. What the answer,
// option, device-id and mount readers decide on their own is held by the
// unit rows of tests/frontend.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::Scenario;

// The lines that carry the behaviour.
const std::string kBanner = "\nStarting Kestrova eMMC installation tool...\n";
const std::string kSize16G = "\neMMC size: 0x0003a3e00000 [16GB]\n";
const std::string kAbort = "\nAborting!\n";
const std::string kTableFailed = "partition verified error\nFailed to read original partition table!\n";
const std::string kMarkerFailed = "Failed to set boot.hint status: KVEMMC_STARTED!\n";
const std::string kMenuA = "\033[1mNo Kestrova installation found on eMMC\033[0m";
const std::string kMenuB = "\033[1mExisting Kestrova single boot installation found on eMMC\033[0m";
const std::string kMenuC = "\033[1mExisting Kestrova dual boot installation found on eMMC\033[0m";
const std::string kMenuD = "\033[1mExisting Kestrova installation found on eMMC\033[0m";
const std::string kAskA = "Please choose one option? [1/2/3/4]: \n";
const std::string kNoSingle = "\nInstall in single boot mode not possible!\n\nPlease choose one option? [1/2]: ";
const std::string kNoDual = "\nInstall in dual boot mode not possible!\n\nPlease choose one option? [3/4]: ";
const std::string kAskC = "Please choose one option? [1/2/3/4/5/6/7]: ";
const std::string kUnofficial =
    "\nThere is NO official support by Team Kestrova\nif you continue to run this tool!\nContinue? [y]: ";

std::string unsupported(const std::string &id) { return "\nSystem is not supported: " + id + "!\n"; }

const std::vector<std::string> kFreshMenu = {kBanner, kSize16G, kMenuA, kAskA, kAbort};

const Scenario kStartup[] = {
    // --- The help: whole texts, where the system runs from --------------------
    // The options come before the kernel check: an old kernel still shows it.
    {.name = "ShortHelpFromTheBootMedia", .box = {"--uname-2.6"}, .args = {"-h"},
     .golden = "help-bootmedia-short.txt"},
    {.name = "LongHelpFromTheBootMedia", .args = {"--help"}, .golden = "help-bootmedia-long.txt"},
    {.name = "ShortHelpFromTheEmmc", .box = {"--state", "dual", "--running", "emmc"}, .args = {"-h"},
     .golden = "help-emmc-short.txt", .emmc_unchanged = false},
    {.name = "LongHelpFromTheEmmc", .box = {"--state", "single", "--running", "emmc"},
     .args = {"--help"}, .golden = "help-emmc-long.txt", .emmc_unchanged = false},
    {.name = "LongHelpFromNowhereKnown", .box = {"--no-mountinfo"}, .args = {"--help"},
     .golden = "help-undetermined.txt"},

    // --- The status marker ---------------------------------------------------
    {.name = "NoConfigFolderFailsAtTheMarker", .box = {"--storage-config", "missing"},
     .args = {"-h"}, .status = 255, .marker = nullptr, .lines = {kBanner + kMarkerFailed}},
    {.name = "ConfigThatIsAFileFailsAtTheMarker", .box = {"--storage-config", "file"},
     .status = 255, .marker = nullptr, .lines = {kBanner + kMarkerFailed}},
    {.name = "TheStartedMarkerReplacesAWholeOldOne", .box = {"--marker", "KVEMMC_NEW\\nleft over\\n"},
     .lines = kFreshMenu},
    // A dry run leaves the marker as it found it, however it ends.
    {.name = "ADryRunWritesNoMarker", .box = {"--marker", "KVEMMC_NEW\\n"}, .args = {"-vn"},
     .marker = "KVEMMC_NEW\n", .lines = kFreshMenu},

    // --- Options, kernel, eMMC and the table as found --------------------------
    // A refused option ends the run; it is not taken for a dry run.
    {.name = "TheDryRunOptionTakesNoArgument", .args = {"--dry-run=yes"}, .status = 255,
     .lines = {kBanner}},
    {.name = "OldKernelIsRefused", .box = {"--uname-2.6"}, .status = 255,
     .lines = {kBanner + "\nSystem is not supported: 2.6."}},
    {.name = "MissingEmmcSizeEndsTheRun", .box = {"--no-emmc-size"}, .status = 255,
     .lines = {kBanner + "Parameter for block device 'mmcblk0' not found: "
                         "'/sys/block/mmcblk0/size'\nFailed to read eMMC size! Exit!\n"}},
    {.name = "EmmcSizeOfExactlyTwoGigabytes", .box = {"--emmc-size", "3906250\\n", "--no-reserved"},
     .status = 255,
     .lines = {"\neMMC size: 0x000077359400 [2GB]\nPartition '/dev/reserved' does not exist!\n"
               "Failed to read original partition table!\n"}},
    {.name = "APlainFileInPlaceOfTheReservedPartitionIsRefused", .box = {"--reserved-file"},
     .status = 255,
     .lines = {kSize16G + "'/dev/reserved' is not a block device: refused!\n"
                          "Failed to read original partition table!\n"}},
    {.name = "ReservedShorterThanATable", .box = {"--reserved-size", "1024"}, .status = 255,
     .lines = {kSize16G + "Error reading file!\nFailed to read original partition table!\n"}},
    {.name = "TableWithAWrongChecksum", .box = {"--table-poke", "20:01000000"}, .status = 255,
     .lines = {"checksum error: pt_fmt->checksum=0x1,calc_result=0x", kTableFailed}},
    {.name = "VerboseWithAWrongChecksumFailsTheListing", .box = {"--table-poke", "20:01000000"},
     .args = {"-v"}, .status = 255,
     .lines = {"\nOriginal partition table:\nchecksum error: pt_fmt->checksum=0x1,",
               "partition verified error\nFailed to show original partition table!\n"}},

    // --- The device gate -----------------------------------------------------
    // The id is shown with its newline, its other unprintable bytes as '?'.
    {.name = "NoRecoveryDeviceIsRefused",
     .box = {"--dt-id-bytes", "homatics_r_4k_plus\\t\\033[31m\\177\\303\\251\\n"}, .args = {"-x"},
     .answers = "y\n\n", .status = 255,
     .lines = {kBanner + "\nSystem is not supported as no recovery is possible: "
                         "homatics_r_4k_plus??[31m???\n!\n"}},
    {.name = "KestrovaAndForceLetANoRecoveryDeviceAsk", .box = {"--dt-id", "buzztv_x5"},
     .args = {"--kestrova", "-x"}, .answers = "y\n\n",
     .lines = {unsupported("buzztv_x5\n") + kUnofficial + kSize16G, kMenuA, kAbort}},
    {.name = "UnknownDeviceWithForceStopsAfterABlankY", .box = {"--dt-id", "odroid_n2"},
     .args = {"-x"}, .answers = " y\n", .lines = {kUnofficial + kAbort}},
    {.name = "MissingIdIsAnUnsupportedEmptyId", .box = {"--no-dt-id"}, .status = 255,
     .lines = {kBanner + unsupported("")}},
    {.name = "EmptyIdFileEndsTheRun", .box = {"--dt-id-bytes", ""}, .args = {"-x"}, .status = 255,
     .lines = {kBanner + "Failed to read Kestrova id from DTB!\n"}},

    // --- Menus on every preset and state: header, offered choices, the
    // listing of the table the box laid out, nothing changed --------------
    {.name = "MenuAOffersBothModesOnKhadas", .args = {"-v"}, .answers = "\n", .lines = kFreshMenu,
     .lists_layout = true},
    {.name = "MenuAOffersDualBootOnlyOnGxl", .box = {"--preset", "gxl_p212"}, .args = {"-v"},
     .answers = "3\n", .lines = {"\neMMC size: 0x0001d2000000 [8GB]\n", kMenuA, kNoSingle, kAbort},
     .lists_layout = true},
    {.name = "MenuAOffersSingleBootOnlyOnBeelink", .box = {"--preset", "beelink"}, .args = {"-v"},
     .answers = "2\n", .lines = {"\neMMC size: 0x000747c00000 [32GB]\n", kMenuA, kNoDual, kAbort},
     .lists_layout = true},
    {.name = "MenuBForASingleBootInstallation", .box = {"--state", "single"}, .args = {"-v"},
     .answers = "4\n", .lines = {kMenuB, "Please choose one option? [1/2/3]: ", kAbort},
     .lists_layout = true},
    {.name = "MenuCForADualBootInstallation", .box = {"--state", "dual"}, .args = {"-v"},
     .answers = "8\n", .lines = {kMenuC, kAskC, kAbort}, .lists_layout = true},
    {.name = "MenuDRunningFromADualBootEmmc", .box = {"--state", "dual", "--running", "emmc"},
     .args = {"-v"}, .answers = "2\n", .lines = {kMenuD, "Please choose one option? [1]: ", kAbort},
     .lists_layout = true, .emmc_unchanged = false},

    // --- An offered choice reaches its operation (only its first character
    // counts); the operations' tables hold every choice of every menu -------
    {.name = "DualBootChoiceReachesItsOperation", .box = {"--preset", "gxl_p212"}, .answers = "2x\n",
     .status = 255,
     .lines = {kNoSingle + "\n", "Folder of backup '/storage/backup/eMMC_backup/kestrova_flash' not found!\n"},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},
};

E2E_SCENARIO_TABLE(Startup, kStartup);

}  // namespace
