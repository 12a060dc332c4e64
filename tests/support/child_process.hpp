#pragma once

// Test bodies that must not run in the test process itself: they change the environment, the
// mount namespace or the user, or replace the process.

#include <filesystem>
#include <functional>
#include <string>

namespace snapwright::testing {

// Runs `body` in a forked child and returns what it returned, "error: <message>" when it threw
// an AppError, or "" when it replaced the process (its report then lies elsewhere). GoogleTest
// assertions inside `body` are lost; return what the test should check instead.
std::string run_in_child(const std::function<std::string()>& body);

// The same as the unprivileged user nobody (65534) when the test runs as root, so that
// permissions apply, or as the ordinary user the test runs as. `workspace` is handed to that
// user first so that the body can create files in it.
std::string run_as_ordinary_user(const std::filesystem::path& workspace,
                                 const std::function<std::string()>& body);

}  // namespace snapwright::testing
