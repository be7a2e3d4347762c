#include "InstanceClient.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

using namespace kestrova;

namespace {

// The word a command sends the running kestrova, when that is all it asks.
const char* wordFor(const char* argument) {
    for (const char* word : {"capture", "settings", "quit"}) {
        if (std::strncmp(argument, "--", 2) == 0 && std::strcmp(argument + 2, word) == 0)
            return word;
    }
    return nullptr;
}

// The program lies beside the launcher in the build tree, and in a folder of its own
// where it is installed. Found from the launcher's own place, not by a search path: a
// sanitizer's dlopen searches its own.
std::vector<std::string> programPaths() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    std::string folder(self, std::size_t(length));
    folder.erase(folder.rfind('/') + 1);
    return {folder + "libkestrova_program.so", folder + KESTROVA_INSTALLED_PROGRAM};
}

} // namespace

// Loading the program and the graphical toolkit takes ~45 ms before anything runs. A key
// bound to `kestrova --capture` mostly tells the running kestrova, which needs none of
// it: that is tried first. Everything else, and a command no instance took at once, is
// the whole program's.
int main(int argc, char** argv) {
    if (argc == 2) {
        if (const char* word = wordFor(argv[1])) {
            if (const auto path = InstanceClient::socketPath();
                path && InstanceClient::send(*path, word))
                return 0;
        }
    }
    void* program = nullptr;
    for (const std::string& path : programPaths()) {
        if ((program = ::dlopen(path.c_str(), RTLD_LAZY)))
            break;
    }
    const auto run = program
                         ? reinterpret_cast<int (*)(int, char**)>(::dlsym(program, "kestrova_main"))
                         : nullptr;
    if (!run) {
        std::fprintf(stderr, "kestrova: its program could not be loaded: %s\n", ::dlerror());
        return 1;
    }
    return run(argc, argv);
}
