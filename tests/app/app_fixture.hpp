#pragma once

#include <string>

namespace snapwright::testing {

inline constexpr const char* kMachineId = "4f2d9b0c3e1a4b7d8c6e5f0a1b2c3d4e";
inline constexpr const char* kRootUuid = "0b4c1f64-4d54-4f1b-9a43-2f6c4bd4a7e1";

// A findmnt stand-in (shell builtins only, PATH may hold nothing else) that prints a table with
// the root mounted at "/" with `fstype`, carrying kRootUuid unless `with_uuid` is false.
inline std::string fake_findmnt(const std::string& fstype, bool with_uuid = true) {
    const std::string uuid = with_uuid ? std::string("\"") + kRootUuid + "\"" : "null";
    return "#!/bin/sh\n"
           "printf '%s\\n' '{\"filesystems\": [{\"target\": \"/\", \"fsroot\": \"/@\", "
           "\"uuid\": " +
           uuid + ", \"label\": null, \"fstype\": \"" + fstype + "\"}]}'\n";
}

}  // namespace snapwright::testing
