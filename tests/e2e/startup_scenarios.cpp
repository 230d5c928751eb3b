// Start-up, the device gate, the help and the menus: kvemmc on the emulated
// box, one row per case. The help texts are checked whole, once each, against
// tests/e2e/golden; everything else by the lines that carry the behaviour.

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
const std::string kBadFlash = "' (use a whole number of MB from 1 to 4095)!\n";

std::string unsupported(const std::string &id) { return "\nSystem is not supported: " + id + "!\n"; }

const std::vector<std::string> kFreshMenu = {kBanner, kSize16G, kMenuA, kAskA, kAbort};

const Scenario kStartup[] = {
    // --- The help: whole texts, where the system runs from --------------------
    {.name = "ShortHelpFromTheBootMedia", .args = {"-h"}, .golden = "help-bootmedia-short.txt"},
    {.name = "LongHelpFromTheBootMedia", .args = {"--help"}, .golden = "help-bootmedia-long.txt"},
    {.name = "ShortHelpFromTheEmmc", .box = {"--state", "dual", "--running", "emmc"}, .args = {"-h"},
     .golden = "help-emmc-short.txt", .emmc_unchanged = false},
    {.name = "LongHelpFromTheEmmc", .box = {"--state", "single", "--running", "emmc"},
     .args = {"--help"}, .golden = "help-emmc-long.txt", .emmc_unchanged = false},
    {.name = "ShortHelpFromNowhereKnown", .box = {"--no-mountinfo"}, .args = {"-h"},
     .golden = "help-undetermined.txt"},
    {.name = "LongHelpFromNowhereKnown", .box = {"--no-mountinfo"}, .args = {"--help"},
     .golden = "help-undetermined.txt"},
    // Options are taken in order: "--kestrova" before "-h" asks for the long
    // help, anything behind the help is never looked at, a bad size before
    // it ends the run.
    {.name = "KestrovaBeforeHelpGivesTheLongHelp", .args = {"-v", "--kestrova", "-h"},
     .golden = "help-bootmedia-long.txt"},
    {.name = "NothingBehindTheHelpCounts", .args = {"-h", "-q", "-f", "0"},
     .golden = "help-bootmedia-short.txt"},
    {.name = "HelpComesBeforeTheKernelCheck", .box = {"--uname-2.6"}, .args = {"-h"},
     .golden = "help-bootmedia-short.txt"},
    {.name = "BadFlashSizeBeforeTheHelpEndsTheRun", .args = {"-f", "0", "-h"}, .status = 255,
     .lines = {kBanner + "Invalid KV_FLASH partition size: '0" + kBadFlash}},

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

    // --- Options -------------------------------------------------------------
    {.name = "UnknownShortOptionEndsTheRun", .args = {"-q"}, .status = 255, .lines = {kBanner}},
    {.name = "TheDryRunOptionTakesNoArgument", .args = {"--dry-run=yes"}, .status = 255,
     .lines = {kBanner}},
    {.name = "FlashSizeAboveTheRange", .args = {"-f", "4096"}, .status = 255,
     .lines = {"Invalid KV_FLASH partition size: '4096" + kBadFlash}},
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
    {.name = "TableWithoutMagic", .box = {"--table-poke", "0:00"}, .status = 255,
     .lines = {kSize16G + "magic error: NULL\n" + kTableFailed}},
    {.name = "TableWith33Entries", .box = {"--table-poke", "16:21000000"}, .status = 255,
     .lines = {"partition number error: 33\n" + kTableFailed}},
    {.name = "TableWithAWrongChecksum", .box = {"--table-poke", "20:01000000"}, .status = 255,
     .lines = {"checksum error: pt_fmt->checksum=0x1,calc_result=0x", kTableFailed}},
    {.name = "VerboseWithAWrongChecksumFailsTheListing", .box = {"--table-poke", "20:01000000"},
     .args = {"-v"}, .status = 255,
     .lines = {"\nOriginal partition table:\nchecksum error: pt_fmt->checksum=0x1,",
               "partition verified error\nFailed to show original partition table!\n"}},

    // --- The device gate -----------------------------------------------------
    {.name = "NoRecoveryDeviceIsRefused", .box = {"--dt-id", "homatics_r_4k_plus"}, .args = {"-x"},
     .answers = "y\n\n", .status = 255,
     .lines = {kBanner + "\nSystem is not supported as no recovery is possible: homatics_r_4k_plus\n!\n"}},
    {.name = "KestrovaAndForceLetANoRecoveryDeviceAsk", .box = {"--dt-id", "buzztv_x5"},
     .args = {"--kestrova", "-x"}, .answers = "y\n\n",
     .lines = {unsupported("buzztv_x5\n") + kUnofficial + kSize16G, kMenuA, kAbort}},
    {.name = "UnknownDeviceWithForceStopsAfterABlankY", .box = {"--dt-id", "odroid_n2"},
     .args = {"-x"}, .answers = " y\n", .lines = {kUnofficial + kAbort}},
    {.name = "MissingIdIsAnUnsupportedEmptyId", .box = {"--no-dt-id"}, .status = 255,
     .lines = {kBanner + unsupported("")}},
    {.name = "MissingIdWithForceAsks", .box = {"--no-dt-id"}, .args = {"-x"}, .answers = "Y\n\n",
     .lines = {unsupported("") + kUnofficial + kSize16G, kMenuA}},
    {.name = "EmptyIdFileEndsTheRun", .box = {"--dt-id-bytes", ""}, .args = {"-x"}, .status = 255,
     .lines = {kBanner + "Failed to read Kestrova id from DTB!\n"}},
    {.name = "IdIsItsFirstLine", .box = {"--dt-id-bytes", "odroid_n2\\nkhadas_vim3"}, .status = 255,
     .lines = {unsupported("odroid_n2\n")}},
    {.name = "IdIsCutAt255Characters",
     .box = {"--dt-id-bytes", std::string(245, 'a') + "khadas_vim3"}, .status = 255,
     .lines = {unsupported(std::string(245, 'a') + "khadas_vim")}},
    {.name = "UnprintableIdBytesAreShownAsQuestionMarks",
     .box = {"--dt-id-bytes", "odroid\\tn2\\033[31m\\177\\303\\251"}, .status = 255,
     .lines = {unsupported("odroid?n2?[31m???")}},

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
    {.name = "AMountBelowStorageIsNotTheBootMedia",
     .box = {"--state", "dual", "--running", "emmc-submount"}, .answers = "\n",
     .lines = {kMenuD, kAbort}, .emmc_unchanged = false},
    {.name = "MenuAWhereverTheSystemRunsFrom", .box = {"--no-mountinfo"}, .answers = "\n",
     .lines = kFreshMenu},
    {.name = "NoMenuWhenTheMountsAreUnreadableAndAnInstallationExists",
     .box = {"--state", "dual", "--no-mountinfo"}, .answers = "1\n", .lines = {kBanner + kSize16G}},

    // --- Answers: offered choices reach an operation, anything else aborts ---
    {.name = "DualBootChoiceReachesItsOperation", .box = {"--preset", "gxl_p212"}, .answers = "2\n",
     .status = 255,
     .lines = {kNoSingle + "\n", "Folder of backup '/storage/backup/eMMC_backup/kestrova_flash' not found!\n"},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},
    {.name = "SingleBootChoiceReachesItsOperation", .box = {"--preset", "beelink"}, .answers = "3\n",
     .lines = {kNoDual + "\n", "\nInstall Kestrova on eMMC.\nContinue? [y]: " + kAbort},
     .calls = {"fw_printenv active_slot"}},
    {.name = "OnlyTheFirstCharacterOfAnAnswerCounts", .box = {"--state", "dual"}, .answers = "6x\n",
     .marker = "KVEMMC_BACKUP\n",
     .lines = {kAskC + "\nUsed space of 'flash partiton on eMMC': "},
     .calls = {"umount /media/KV_STORAGE"}, .emmc_unchanged = false},
    {.name = "CopyChoiceReachesItsOperation", .box = {"--state", "single", "--running", "emmc"},
     .answers = "1\n", .status = 255, .lines = {kMenuD, "\nNo external SD or USB device is found!\n"}, .emmc_unchanged = false},
    {.name = "BinaryAnswerAborts", .box = {"--state", "dual"},
     .answers = std::string("\xff\xfe\x01\x00\x80\n", 6), .lines = {kAskC + kAbort}},
    {.name = "EndlessAnswerAborts", .box = {"--state", "dual"}, .answers = std::string(100000, '9'),
     .lines = {kAskC + kAbort}},
};

E2E_SCENARIO_TABLE(Startup, kStartup);

}  // namespace
