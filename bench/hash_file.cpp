// Prints the SHA-256 of each file named on the command line, in the layout of sha256sum.
#include <cstdio>
#include <exception>

#include "base/app_error.hpp"
#include "store/file_hash.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hash-file FILE...\n");
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            const std::string digest = snapwright::store::hash_file(argv[i]);
            std::printf("%s  %s\n", digest.c_str(), argv[i]);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "hash-file: %s\n", error.what());
            status = 1;
        }
    }
    return status;
}
