#include "app/help.hpp"

#include "base/system_paths.hpp"
#include "base/version.hpp"

namespace snapwright::app {

std::string help_text() {
    // "-h", "-V" and a bare "--debounce" are accepted but deliberately not advertised.
    return std::string(base::kProgramName) + " " + base::kVersion +
           "\n"
           "\n"
           "Generate systemd-boot entries for Btrfs snapshots.\n"
           "\n"
           "Usage:\n"
           "snapwright generate [--debounce]\n"
           "snapwright status\n"
           "snapwright verify\n"
           "snapwright gc\n"
           "snapwright watch\n"
           "\n"
           "Global options:\n"
           "--config PATH   Configuration file\n"
           "--help          Show this help\n"
           "--version       Show the version\n";
}

std::string version_text() {
    return std::string(base::kVersion) + "\n";
}

}  // namespace snapwright::app
