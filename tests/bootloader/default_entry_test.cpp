#include "bootloader/default_entry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace snapwright::bootloader {
namespace {

constexpr const char* kSnapshot = "snapwright-0123-fs-btrfs-root-7-0.conf";
constexpr const char* kMine = "0123456789abcdef0123456789abcdef";

// An entry file with a linux line and the keys given ("" leaves a key out).
std::string entry_text(const std::string& sort_key, const std::string& version,
                       const std::string& machine_id = kMine) {
    std::string text = "title T\nlinux /vmlinuz\n";
    text += sort_key.empty() ? "" : "sort-key " + sort_key + "\n";
    text += version.empty() ? "" : "version " + version + "\n";
    text += machine_id.empty() ? "" : "machine-id " + machine_id + "\n";
    return text;
}

// The generated entry, as the renderer writes its ordering keys.
const std::string kSnapshotText = entry_text("snapwright", "2024-03-01 10:00:00 +0100");

// The systemd-boot ordering list of versions, oldest first.
TEST(CompareVersions, FollowsTheBootLoaderOrder) {
    const std::vector<std::string> ordered = {
        "",        "122.1",     "123~rc1-1", "123",     "123-a",  "123-a.1", "123-1",
        "123-1.1", "123^post1", "123.a-1",   "123.1-1", "123a-1", "124-1",
    };
    for (std::size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_LT(compare_versions(ordered[i], ordered[i + 1]), 0) << ordered[i];
        EXPECT_GT(compare_versions(ordered[i + 1], ordered[i]), 0) << ordered[i + 1];
    }
    EXPECT_EQ(compare_versions("00123", "123"), 0);
    // "_" only separates, and a segment without a "." is the newer.
    EXPECT_GT(compare_versions("1_2", "1.2"), 0);
    EXPECT_GT(compare_versions("6.10.0", "6.9.2"), 0);
    EXPECT_LT(compare_versions("1.2", "1.2.1"), 0);
}

TEST(GlobMatches, TheBootLoaderGlob) {
    const struct {
        const char* pattern;
        const char* text;
        bool matches;
    } cases[] = {
        {"*", "", true},
        {"debian-*", "debian-6.1.conf", true},
        {"debian-*", "ubuntu-6.1.conf", false},
        {"*.conf", "a.conf", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYc d", false},
        {"?.conf", "a.conf", true},
        {"?.conf", ".conf", false},
        {"[0-9a-rt-z]*", "test-os.conf", true},
        {"[0-9a-rt-z]*", "snapwright-x.conf", false},
        {"[ab]x", "bx", true},
        {"[]a]x", "]x", true},
        {"[a-]x", "-x", true},
        {"[a", "a", false},
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"exact.conf", "exact.conf", true},
        {"exact.conf", "exact.confx", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(glob_matches(c.pattern, c.text), c.matches) << c.pattern << " " << c.text;
    }
}

TEST(ReadMenuEntry, ReadsWhatTheLoaderReads) {
    const std::optional<MenuEntry> entry = read_menu_entry(
        "Debian-6.1+2-1.conf",
        "# c\nsort-key  \"debian\"\nversion 1\nversion\t6.1\ndevicetree-overlay /x\nefi /a.efi\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry, (MenuEntry{"Debian-6.1+2-1.conf", "debian-6.1.conf", "debian", std::nullopt,
                                 "6.1", 2, 1}));
    // A counter that is not one stays in the ID; without an image there is no menu entry.
    EXPECT_EQ(read_menu_entry("a+b.conf", "linux /k\n")->id, "a+b.conf");
    EXPECT_EQ(read_menu_entry("a+3.conf", "linux /k\n")->tries_done, 0u);
    EXPECT_FALSE(read_menu_entry("a.conf", "title only\noptions x\n"));
}

TEST(LoaderDefault, LastDefaultLineWins) {
    EXPECT_EQ(loader_default("timeout 3\n"), std::nullopt);
    EXPECT_EQ(loader_default("default a*\n#default b\ndefault \"c d\"\r\ntimeout 0\n"), "c d");
    EXPECT_EQ(loader_default("default\n"), std::nullopt);
}

struct ChoiceCase {
    const char* name;
    // File name and text of each entry, in directory order.
    std::vector<std::pair<std::string, std::string>> entries;
    DefaultSettings settings;
    std::string chosen;
    DefaultSource source;
    // IDs of the loader's entries outside the menu.
    std::vector<std::string> other_ids = {};
};

class ChooseDefault : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseDefault, AsSystemdBootChooses) {
    const ChoiceCase& c = GetParam();
    std::vector<MenuEntry> menu;
    for (const auto& [name, text] : c.entries) {
        menu.push_back(*read_menu_entry(name, text));
    }
    sort_menu(menu);
    const std::optional<DefaultChoice> choice = choose_default_entry(menu, c.settings, c.other_ids);
    if (c.chosen.empty()) {
        EXPECT_FALSE(choice) << menu[choice->index].file_name;
        return;
    }
    ASSERT_TRUE(choice);
    EXPECT_EQ(menu[choice->index].file_name, c.chosen);
    EXPECT_EQ(choice->source, c.source);
}

const std::string kDebian = std::string(kMine) + "-6.1.0-18-amd64.conf";
const std::string kDebianText = entry_text("", "6.1.0-18-amd64");

const ChoiceCase kChoiceCases[] = {
    // Ordering alone (nothing configured).
    {"SortKeyBeforeNone",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"SortKeysAlphabetically",
     {{"ubuntu.conf", entry_text("ubuntu", "6.8")}, {kSnapshot, kSnapshotText}},
     {},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"EarlierSortKeyWins",
     {{kSnapshot, kSnapshotText}, {"arch.conf", entry_text("arch", "6.8")}},
     {},
     "arch.conf",
     DefaultSource::FirstEntry},
    {"SameSortKeyByMachineId",
     {{"b.conf", entry_text("os", "1", "bbbb")}, {"a.conf", entry_text("os", "1", "aaaa")}},
     {},
     "a.conf",
     DefaultSource::FirstEntry},
    {"SameSortKeyNewestVersionFirst",
     {{"a.conf", entry_text("os", "6.9.2")}, {"b.conf", entry_text("os", "6.10.0")}},
     {},
     "b.conf",
     DefaultSource::FirstEntry},
    {"WithoutSortKeysNewestIdFirst",
     {{"linux-6.9.conf", entry_text("", "")}, {"linux-6.10.conf", entry_text("", "")}},
     {},
     "linux-6.10.conf",
     DefaultSource::FirstEntry},
    {"NoTriesLeftGoesLast",
     {{"arch+0-3.conf", entry_text("arch", "1")}, {kSnapshot, kSnapshotText}},
     {},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"MoreTriesLeftFirst",
     {{"os+1.conf", entry_text("", "")}, {"os+2.conf", entry_text("", "")}},
     {},
     "os+2.conf",
     DefaultSource::FirstEntry},
    // loader.conf's default.
    {"GlobNamesTheSystem",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = std::string(kMine) + "-*"},
     kDebian,
     DefaultSource::Configured},
    {"GlobIgnoresCase",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "0123456789ABCDEF*"},
     kDebian,
     DefaultSource::Configured},
    {"GlobMatchesIdWithoutCounter",
     {{"debian+2.conf", entry_text("", "")}, {kSnapshot, kSnapshotText}},
     {.configured = "debian.conf"},
     "debian+2.conf",
     DefaultSource::Configured},
    {"GlobMatchingNothingFallsThrough",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "fedora-*"},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"BroadGlobTakesTheFirstMatch",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "*"},
     kSnapshot,
     DefaultSource::Configured},
    // "@saved".
    {"SavedWithSavedEntry",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "@saved", .saved = kDebian},
     kDebian,
     DefaultSource::Saved},
    {"SavedWithoutSavedEntry",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "@saved"},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"SavedEntryGone",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "@saved", .saved = "removed.conf"},
     kSnapshot,
     DefaultSource::FirstEntry},
    {"EfiSavedBeforeConfigured",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "snapwright-*", .efi_default = "@saved", .saved = kDebian},
     kDebian,
     DefaultSource::Saved},
    {"EfiSavedWithoutSavedEntryUsesConfigured",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = std::string(kMine) + "-*", .efi_default = "@saved"},
     kDebian,
     DefaultSource::Configured},
    // EFI variables.
    {"EfiDefaultBeforeConfigured",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = kDebian, .efi_default = kSnapshot},
     kSnapshot,
     DefaultSource::EfiDefault},
    {"EfiDefaultMatchingNothingFallsThrough",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = kDebian, .efi_default = "gone.conf"},
     kDebian,
     DefaultSource::Configured},
    {"OneShotFirst",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = kDebian, .efi_default = kDebian, .one_shot = kSnapshot},
     kSnapshot,
     DefaultSource::OneShot},
    // Entries outside the menu: the loader's own, unified kernel images.
    {"GlobNamesALoaderEntry",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "auto-windows"},
     "",
     DefaultSource::Configured,
     loader_own_entry_ids()},
    {"EfiDefaultNamesAnImage",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "snapwright-*", .efi_default = "Debian-*.EFI"},
     "",
     DefaultSource::EfiDefault,
     {"debian-6.1.efi"}},
    {"OutsideOnlyWhenTheMenuHasNoMatch",
     {{kDebian, kDebianText}, {kSnapshot, kSnapshotText}},
     {.configured = "*"},
     kSnapshot,
     DefaultSource::Configured,
     {"debian-6.1.efi"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ChooseDefault, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ChooseDefaultEntry, EmptyMenuHasNoDefault) {
    EXPECT_FALSE(choose_default_entry({}, {.configured = "*"}));
}

}  // namespace
}  // namespace snapwright::bootloader
