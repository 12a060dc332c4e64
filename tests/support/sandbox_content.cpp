// What tests put on a sandbox machine: boot entries with their assets, the configuration and
// programs.

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>

#include "support/files.hpp"
#include "support/sandbox.hpp"

namespace snapwright::testing {
namespace {

// Deterministic filler so that different asset files have different contents.
std::string filler_bytes(std::uint64_t size, std::string_view seed) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (unsigned char c : seed) {
        state = (state ^ c) * 0x100000001B3ull;
    }
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

}  // namespace

WrittenEntry Sandbox::write_entry(const EntrySpec& wanted) {
    const std::string machine_id = wanted.machine_id.value_or(this->machine_id());
    const std::string directory = "/" + machine_id + "/" + wanted.version;
    WrittenEntry written;
    written.entry = in_root("/boot/loader/entries") / wanted.file_name;
    auto asset = [&](const std::string& name, std::uint64_t size) {
        const std::string boot_path = directory + "/" + name;
        write_file(in_root("/boot" + boot_path), filler_bytes(size, boot_path));
        return boot_path;
    };
    std::string text = "title " + wanted.title + "\nversion " + wanted.version + "\n";
    if (wanted.machine_id_line) {
        text += "machine-id " + machine_id + "\n";
    }
    text +=
        "options " +
        wanted.options.value_or("root=UUID=" + filesystem_uuid() + " rootflags=subvol=@ rw quiet") +
        "\n";
    written.kernel = asset("linux", wanted.kernel_size);
    text += "linux " + written.kernel + "\n";
    if (wanted.microcode_size > 0) {
        written.initrds.push_back(asset("intel-ucode.img", wanted.microcode_size));
    }
    written.initrds.push_back(asset("initrd", wanted.initrd_size));
    for (const auto& initrd : written.initrds) {
        text += "initrd " + initrd + "\n";
    }
    if (wanted.devicetree_size > 0) {
        written.devicetree = asset("board.dtb", wanted.devicetree_size);
        text += "devicetree " + *written.devicetree + "\n";
    }
    text += wanted.extra_lines;
    write_file(written.entry, text);
    written.text = text;
    return written;
}

fs::path Sandbox::efi_variables() {
    const fs::path directory = in_root("/sys/firmware/efi/efivars");
    fs::create_directories(directory);
    return directory;
}

void Sandbox::write_config(std::string_view text) {
    write_file(in_root("/etc/snapwright.conf"), text);
}

std::string Sandbox::install_program(const fs::path& source, std::string_view name) {
    const std::string inside = "/opt/snapwright-test/" + std::string(name);
    const fs::path target = in_root(inside);
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, static_cast<fs::perms>(0755));
    return inside;
}

std::string Sandbox::install_binary() {
    return install_program(SNAPWRIGHT_BINARY, "snapwright");
}

}  // namespace snapwright::testing
