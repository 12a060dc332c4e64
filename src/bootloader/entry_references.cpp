#include "bootloader/entry_references.hpp"

#include "base/app_error.hpp"
#include "bootloader/boot_paths.hpp"
#include "bootloader/entry_parser.hpp"

namespace snapwright::bootloader {
namespace {

void add_references(const std::string& file_name, const std::string& text,
                    const fs::path& boot_data_relative, std::set<store::ObjectId>& references) {
    const BootEntry entry = parse_entry(file_name, text);
    if (!is_owned_entry(entry)) {
        base::throw_error("systemd-boot entry " + file_name + " is not owned by snapwright");
    }
    if (entry.linux.empty()) {
        base::throw_error("owned systemd-boot entry " + file_name + " has no linux image");
    }
    references.insert(object_id_from_boot_path(entry.linux, boot_data_relative));
    for (const std::string& initrd : entry.initrd) {
        references.insert(object_id_from_boot_path(initrd, boot_data_relative));
    }
    if (entry.devicetree) {
        references.insert(object_id_from_boot_path(*entry.devicetree, boot_data_relative));
    }
}

}  // namespace

std::set<store::ObjectId> collect_entry_references(
    const std::map<std::string, std::string>& entries, const fs::path& boot_data_relative) {
    std::set<store::ObjectId> references;
    for (const auto& [file_name, text] : entries) {
        add_references(file_name, text, boot_data_relative, references);
    }
    return references;
}

std::set<store::ObjectId> collect_entry_references(const std::vector<GeneratedEntry>& entries,
                                                   const fs::path& boot_data_relative) {
    std::set<store::ObjectId> references;
    for (const GeneratedEntry& entry : entries) {
        add_references(entry.file_name, entry.text, boot_data_relative, references);
    }
    return references;
}

}  // namespace snapwright::bootloader
