#include "bootloader/uki_reader.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "bootloader/selection.hpp"
#include "generation/archive_capture.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"
#include "store/sha256.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/pe_builder.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::bootloader {
namespace {

using system::SecureBoot;
using testing::build_uki;
using testing::UkiContents;
using testing::write_file;
namespace fs = std::filesystem;

constexpr const char* kMachine = "0123456789abcdef0123456789abcdef";

const UkiContents kUki{
    .kernel_bytes = "kernel bytes",
    .initrd = "initramfs bytes",
    .ucode = "microcode bytes",
    .cmdline = "root=UUID=root rootflags=subvol=@ rw\nquiet\n",
    .osrel = "NAME=Arch\nPRETTY_NAME=\"Arch Linux\"\n",
    .uname = "6.12.1-arch1\n",
};

const RunningRoot kRunningRoot{
    .names_filesystem = [](std::string_view value) { return value == "UUID=root"; },
    .subvolume = [] { return system::RootSubvolume{.path = "/@", .id = 256, .is_default = true}; },
};

class Uki : public ::testing::Test {
  protected:
    fs::path boot() const { return dir_ / "boot"; }
    fs::path image(const std::string& name) const { return boot() / "EFI/Linux" / name; }

    UkiScan scan(const std::vector<BootEntry>& entries = {},
                 SecureBoot secure_boot = SecureBoot::Disabled) const {
        return scan_unified_kernel_images(boot(), entries, secure_boot);
    }

    SourceSelection select(const std::vector<BootEntry>& entries = {}) const {
        return select_source_entries(
            entries, kMachine, "Arch Linux", kRunningRoot,
            [this](const std::vector<BootEntry>& read) { return scan(read).images; });
    }

    testing::ScratchDir dir_;
};

TEST_F(Uki, ScanReadsTypeTwoImagesAndTheFilesEntriesName) {
    const std::string bytes = build_uki(kUki);
    write_file(image("arch.efi"), bytes);
    write_file(image("other.EFI"), build_uki({.cmdline = "root=UUID=other"}));
    write_file(image(".hidden.efi"), bytes);
    write_file(image("notes.txt"), "not an image");
    write_file(boot() / "memtest.efi",
               testing::build_pe({.sections = {{.name = ".text", .bytes = "x"}}}));
    const std::vector<BootEntry> entries = {
        parse_entry("a.conf", "efi /EFI//Linux/./arch.efi\n"),
        parse_entry("m.conf", "efi /memtest.efi\n"),
        parse_entry("mixed.conf", "linux /vmlinuz\nefi /ignored.efi\n"),
    };
    const UkiScan found = scan(entries);
    EXPECT_EQ(found.refusals, std::vector<std::string>{});
    ASSERT_EQ(found.images.size(), 2u);
    const UnifiedKernelImage& arch = found.images[0];
    EXPECT_EQ(arch.locations, (std::vector<std::string>{"/EFI/Linux/arch.efi"}));
    EXPECT_EQ(arch.file_name, "arch.efi");
    EXPECT_EQ(arch.digest, store::sha256_hex(bytes));
    EXPECT_EQ(arch.cmdline, "root=UUID=root rootflags=subvol=@ rw quiet");
    EXPECT_EQ(arch.os_name, "Arch Linux");
    EXPECT_EQ(arch.uname, "6.12.1-arch1");
    EXPECT_FALSE(arch.kernel_signed);
    EXPECT_EQ(bytes.substr(arch.sections.ucode->offset, arch.sections.ucode->size),
              "microcode bytes");
    EXPECT_EQ(found.images[1].locations.front(), "/EFI/Linux/other.EFI");
}

TEST_F(Uki, ScanPassesOverWhatCannotBeUnpackedSayingWhy) {
    write_file(image("broken.efi"), build_uki(kUki).substr(0, 300));
    write_file(image("no-kernel.efi"),
               testing::build_pe({.sections = {{.name = ".initrd", .bytes = "i"}}}));
    write_file(image("bad-kernel.efi"),
               testing::build_pe({.sections = {{.name = ".linux", .bytes = "not a PE file"}}}));
    write_file(image("bad\nname.efi"), build_uki(kUki));
    write_file(dir_ / "elsewhere.efi", build_uki(kUki));
    ASSERT_EQ(::symlink((dir_ / "elsewhere.efi").c_str(), image("link.efi").c_str()), 0);
    const std::vector<BootEntry> entries = {
        parse_entry("gone.conf", "uki /EFI/gone.efi\n"),
        parse_entry("unsafe.conf", "uki /../elsewhere.efi\n"),
    };
    const UkiScan found = scan(entries);
    EXPECT_TRUE(found.images.empty());
    EXPECT_EQ(found.refusals,
              (std::vector<std::string>{
                  "unified kernel image file name is not a valid entry file name: "
                  "/EFI/Linux/bad?name.efi",
                  "malformed PE image in section .linux of /EFI/Linux/bad-kernel.efi: "
                  "too short for a DOS header",
                  "malformed PE image /EFI/Linux/broken.efi: optional header runs past the end "
                  "of the file",
                  "unified kernel image is a symbolic link: /EFI/Linux/link.efi",
                  "malformed PE image /EFI/Linux/no-kernel.efi: no .linux section",
                  "open /EFI/gone.efi: No such file or directory (os error 2)",
                  "unsafe systemd-boot asset path: /../elsewhere.efi",
              }));
}

TEST_F(Uki, UnderSecureBootOnlyImagesWithASignedKernelAreTaken) {
    write_file(image("unsigned.efi"), build_uki(kUki));
    UkiContents signed_kernel = kUki;
    signed_kernel.kernel_signed = true;
    write_file(image("signed.efi"), build_uki(signed_kernel));
    const UkiScan found = scan({}, SecureBoot::Enabled);
    ASSERT_EQ(found.images.size(), 1u);
    EXPECT_EQ(found.images[0].file_name, "signed.efi");
    EXPECT_TRUE(found.images[0].kernel_signed);
    EXPECT_EQ(
        found.refusals,
        std::vector<std::string>{"Secure Boot is enabled and the kernel in /EFI/Linux/unsigned.efi "
                                 "is not signed on its own, so snapshot entries made from it could "
                                 "not boot"});
    EXPECT_EQ(scan({}, SecureBoot::NotReported).images.size(), 2u);
}

TEST_F(Uki, SelectionTakesTheImagesOfThisSystemOnly) {
    write_file(image("arch.efi"), build_uki(kUki));
    write_file(image("other-root.efi"), build_uki({.cmdline = "root=UUID=other rw"}));
    write_file(image("other-subvolume.efi"),
               build_uki({.cmdline = "root=UUID=root rootflags=subvol=@other"}));
    // No .cmdline: only an entry can say what it boots.
    write_file(boot() / "EFI/nocmd.efi", build_uki({.osrel = "NAME=Bare"}));

    const SourceSelection selection = select();
    ASSERT_EQ(selection.profiles.size(), 1u);
    const SourceProfile& profile = selection.profiles[0];
    EXPECT_EQ(profile.name, "Arch Linux (6.12.1-arch1)");
    EXPECT_EQ(profile.kernel, ".linux");
    EXPECT_EQ(profile.modules, (std::vector<std::pair<std::string, store::AssetKind>>{
                                   {".ucode", store::AssetKind::Microcode},
                                   {".initrd", store::AssetKind::Initramfs}}));
    EXPECT_EQ(profile.cmdline, "root=UUID=root rootflags=subvol=@ rw quiet");
    ASSERT_TRUE(profile.image);
    EXPECT_EQ(profile.image->location, "/EFI/Linux/arch.efi");
    const std::string digest = store::sha256_hex(build_uki(kUki));
    EXPECT_EQ(selection.source_config,
              "# source-entry: arch.efi\n"
              "# unified-kernel-image /EFI/Linux/arch.efi sha256:" +
                  digest +
                  "\n"
                  "title      Arch Linux\n"
                  "version    6.12.1-arch1\n"
                  "options    root=UUID=root rootflags=subvol=@ rw quiet\n\n");

    // A machine-id entry ties an image to this machine whatever it boots; without a .cmdline the
    // entry's options are its command line.
    const std::vector<BootEntry> entries = {
        parse_entry("nocmd.conf", std::string("machine-id ") + kMachine +
                                      "\nefi /EFI/nocmd.efi\noptions root=UUID=x quiet\n"),
        parse_entry("other.conf",
                    "machine-id fedcba9876543210fedcba9876543210\n"
                    "uki /EFI/Linux/other-root.efi\n"),
    };
    const SourceSelection with_entries = select(entries);
    ASSERT_EQ(with_entries.profiles.size(), 2u);
    EXPECT_EQ(with_entries.profiles[0].name, "Arch Linux (6.12.1-arch1)");
    EXPECT_EQ(with_entries.profiles[1].name, "Bare");
    EXPECT_EQ(with_entries.profiles[1].cmdline, "root=UUID=x quiet");
    EXPECT_TRUE(with_entries.profiles[1].modules.empty());

    // An ordinary linux entry of this system keeps precedence, and the images are not read.
    fs::remove_all(boot() / "EFI");
    const auto linux_entry = parse_entry("arch.conf", "linux /vmlinuz\noptions root=UUID=root\n");
    EXPECT_EQ(select({linux_entry}).profiles.at(0).kernel, "/vmlinuz");
    EXPECT_EQ(
        testing::error_of([&] { (void)select(); }),
        std::string("no ordinary systemd-boot Linux entries were found for machine ") + kMachine);
}

TEST_F(Uki, CaptureStreamsTheSectionsIntoTheArchiveOncePerRun) {
    write_file(image("arch.efi"), build_uki(kUki));
    const auto snapshot = [](const std::string& id) {
        provider::SnapshotDescriptor descriptor;
        descriptor.key = {"uuid", "snapper", "root", id};
        descriptor.created_utc = "2024-03-0" + id;
        descriptor.subvolume = "/.snapshots/" + id + "/snapshot";
        return descriptor;
    };
    generation::CaptureInputs in;
    in.snapshots = {snapshot("1"), snapshot("2")};
    in.scope = {"uuid", "snapper", "root"};
    in.machine_id = kMachine;
    in.os_name = "Arch Linux";
    in.running_root = kRunningRoot;
    in.read_images = [this](const std::vector<BootEntry>& read) { return scan(read).images; };
    in.boot_root = boot();
    in.archive_root = dir_ / "archive";
    in.boot_data_relative = "snapwright/m";
    store::HashCache hashes;
    ASSERT_EQ(generation::capture_archive(in, hashes).counts,
              (generation::CaptureCounts{2, 0, 0, 6}));

    const auto manifests = manifest::list_manifests(in.archive_root);
    const manifest::BootProfile& profile = manifests.at(1).profiles.at(0);
    EXPECT_EQ(profile.cmdline, "root=UUID=root rootflags=subvol=/.snapshots/2/snapshot rw quiet");
    EXPECT_EQ(profile.kernel.original_name, "arch.efi:.linux");
    EXPECT_EQ(profile.kernel.kind, store::AssetKind::Kernel);
    ASSERT_EQ(profile.modules.size(), 2u);
    EXPECT_EQ(profile.modules[0].kind, store::AssetKind::Microcode);
    EXPECT_EQ(profile.modules[1].kind, store::AssetKind::Initramfs);
    EXPECT_EQ(profile.modules[1].size, std::string("initramfs bytes").size());
    EXPECT_EQ(testing::read_file(store::object_path(in.archive_root, profile.modules[1].object)),
              "initramfs bytes");
    EXPECT_EQ(manifests[0].profiles[0].kernel, profile.kernel);
    EXPECT_EQ(store::store_statistics(in.archive_root).objects, 3u);

    // An image rewritten between reading and capture is not unpacked.
    in.snapshots.push_back(snapshot("3"));
    in.read_images = [this](const std::vector<BootEntry>& read) {
        std::vector<UnifiedKernelImage> images = scan(read).images;
        write_file(image("arch.efi"), build_uki(kUki) + "appended");
        return images;
    };
    EXPECT_EQ(testing::error_of([&] { (void)generation::capture_archive(in, hashes); }),
              "unified kernel image /EFI/Linux/arch.efi changed since it was read");
}

}  // namespace
}  // namespace snapwright::bootloader
