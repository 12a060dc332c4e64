// A machine that boots a unified kernel image from EFI/Linux and has no Type #1 entry: its
// snapshots get ordinary linux entries made from the image's sections.

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"
#include "support/pe_builder.hpp"
#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::testing {
namespace {

constexpr const char* kStub = "/usr/lib/systemd/boot/efi/linuxx64.efi.stub";

class UnifiedKernelImage : public MachineTest {
  protected:
    void SetUp() override {
        if (!fs::exists(kStub) || run_program("objcopy", {"objcopy", "--version"}).exit_code != 0) {
            GTEST_SKIP() << "building a unified kernel image needs objcopy (binutils) and " << kStub
                         << " (systemd-boot-efi)";
        }
        MachineTest::SetUp();
    }

    // Builds an image the way ukify lays one out, over systemd's own stub, and places it at
    // /EFI/Linux/<name> of the boot partition. Returns the sections' files, by section name.
    std::map<std::string, fs::path> install_image(const std::string& name,
                                                  const std::string& root_uuid) {
        const std::map<std::string, std::string> sections = {
            {".osrel", "NAME=\"Test OS\"\nID=test\n"},
            {".cmdline", "root=UUID=" + root_uuid + " rootflags=subvol=@ rw quiet\n"},
            {".uname", "6.1.0-1-amd64\n"},
            {".ucode", std::string(2048, 'u')},
            {".initrd", std::string(16384, 'i') + name},
            {".linux",
             build_pe({.sections = {{.name = ".text", .bytes = std::string(4096, 'k')}}})},
        };
        std::vector<std::string> argv{"objcopy"};
        std::map<std::string, fs::path> files;
        unsigned address = 0x20000000;
        for (const char* section :
             {".osrel", ".cmdline", ".uname", ".ucode", ".initrd", ".linux"}) {
            const fs::path file = scratch_ / (name + section);
            write_file(file, sections.at(section));
            files.emplace(section, file);
            char vma[32];
            std::snprintf(vma, sizeof vma, "0x%x", address);
            address += 0x1000000;
            argv.insert(argv.end(), {"--add-section", std::string(section) + "=" + file.string(),
                                     "--change-section-vma", std::string(section) + "=" + vma});
        }
        const fs::path image = machine().in_root("/boot/EFI/Linux") / name;
        fs::create_directories(image.parent_path());
        argv.insert(argv.end(), {kStub, image.string()});
        const ProgramResult built = run_program("objcopy", argv);
        EXPECT_EQ(built.exit_code, 0) << describe(built);
        return files;
    }

    ScratchDir scratch_;
};

TEST_F(UnifiedKernelImage, GenerateUnpacksTheImageOfThisSystemIntoLinuxEntries) {
    const auto files = install_image("test-os.efi", machine().filesystem_uuid());
    install_image("other-os.efi", "0f5c6a1e-7d2b-4c3a-9e8f-112233445566");
    const std::set<std::string> type2_before = names_in(machine().in_root("/boot/EFI/Linux"));
    const std::vector<Snapshot> snapshots = take_snapshots(2);

    const ProgramResult run = snapwright({"generate"});
    ASSERT_EQ(run.exit_code, 0) << describe(run);
    EXPECT_EQ(run.err, "");

    SourceEntry source;
    source.wanted.title = "Test OS";
    source.wanted.version = "6.1.0-1-amd64";
    source.kernel = sha256_of(files.at(".linux"));
    source.microcode = sha256_of(files.at(".ucode"));
    source.initrd = sha256_of(files.at(".initrd"));
    std::map<std::string, std::string> expected;
    for (const Snapshot& snapshot : snapshots) {
        expected.emplace(entry_name(snapshot), entry_text(snapshot, source));
    }
    EXPECT_EQ(generated_entries(), expected);
    const std::map<std::string, std::uint64_t> objects = {
        {source.kernel, fs::file_size(files.at(".linux"))},
        {*source.microcode, 2048},
        {source.initrd, fs::file_size(files.at(".initrd"))}};
    EXPECT_EQ(stored_objects(archive_store()), objects);
    EXPECT_EQ(stored_objects(boot_store()), objects);
    const ProgramResult status = snapwright({"status"});
    ASSERT_EQ(status.exit_code, 0) << describe(status);
    const auto values = labelled_values(status.out);
    EXPECT_EQ(values.at("Secure Boot"), "not reported by the firmware") << status.out;
    EXPECT_NE(status.out.find("Unified kernel image: /EFI/Linux/test-os.efi, kernel not signed on "
                              "its own: its snapshot entries boot only while Secure Boot is "
                              "disabled\n"),
              std::string::npos)
        << status.out;
    const ProgramResult verified = snapwright({"verify"});
    EXPECT_EQ(verified.exit_code, 0) << describe(verified);
    // Nothing is written where systemd-boot would list it as the live system.
    EXPECT_EQ(names_in(machine().in_root("/boot/EFI/Linux")), type2_before);

    const std::string list = bootctl_list();
    for (const Snapshot& snapshot : snapshots) {
        EXPECT_NE(list.find("/boot/loader/entries/" + entry_name(snapshot)), std::string::npos)
            << list;
        EXPECT_NE(list.find("rootflags=subvol=" + snapshot.subvolume()), std::string::npos) << list;
    }
}

}  // namespace
}  // namespace snapwright::testing
