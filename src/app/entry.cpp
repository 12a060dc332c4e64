#include "app/entry.hpp"

#include <cstdio>
#include <exception>

#include "base/app_error.hpp"

namespace snapwright::app {

int run_main(int, char**) {
    try {
        base::throw_error("not implemented yet");
    } catch (const base::AppError& error) {
        std::fprintf(stderr, "snapwright: %s\n", error.display().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "snapwright: %s\n", error.what());
    }
    return 1;
}

}  // namespace snapwright::app
