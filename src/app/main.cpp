#include "app/program.hpp"

int main(int argc, char** argv) {
    return snapwright::app::run_main(argc, argv);
}
