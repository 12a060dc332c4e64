#include "triggers/snapper_plugin.hpp"

#include "base/app_error.hpp"

namespace snapwright::triggers {

void run_snapper_plugin(const std::vector<std::string>&) {
    base::throw_error("the Snapper plugin is not implemented yet");
}

}  // namespace snapwright::triggers
