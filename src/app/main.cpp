#include "InstanceClient.h"

#include <cstdio>
#include <cstring>
#include <string>

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

// A screenshot straight to a file or a pipe, which the quick shot may serve.
bool writesShot(int argc, char** argv) {
    bool shot = false, output = false;
    for (int i = 1; i < argc; ++i) {
        shot = shot || std::strncmp(argv[i], "--screen", 8) == 0 ||
               std::strncmp(argv[i], "--region", 8) == 0;
        output = output || std::strncmp(argv[i], "--output", 8) == 0;
    }
    return shot && output;
}

// kestrova's libraries lie beside the launcher in the build tree, and in a folder of
// their own where it is installed. Found from the launcher's own place, not by a search
// path: a sanitizer's dlopen searches its own. Returns the entry point, or null.
using Entry = int (*)(int, char**);
Entry load(const char* library, const char* entry) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return nullptr;
    std::string folder(self, std::size_t(length));
    folder.erase(folder.rfind('/') + 1);
    for (const std::string& path :
         {folder + library, folder + KESTROVA_INSTALLED_LIBRARIES + library}) {
        if (void* loaded = ::dlopen(path.c_str(), RTLD_LAZY))
            return reinterpret_cast<Entry>(::dlsym(loaded, entry));
    }
    return nullptr;
}

} // namespace

// Loading the program and the graphical toolkit takes ~45 ms before anything runs. A key
// bound to `kestrova --capture` mostly tells the running kestrova, which needs none of
// it: that is tried first. A screenshot to a file or a pipe on X11 needs nothing of the
// toolkit's graphics either: the quick shot serves it. Everything else, and a command
// neither took, is the whole program's.
int main(int argc, char** argv) {
    if (argc == 2) {
        if (const char* word = wordFor(argv[1])) {
            if (const auto path = InstanceClient::socketPath();
                path && InstanceClient::send(*path, word))
                return 0;
        }
    }
    if (writesShot(argc, argv)) {
        if (const Entry quick = load("libkestrova_quickshot.so", "kestrova_quickshot_main")) {
            if (const int status = quick(argc, argv); status >= 0)
                return status;
        }
    }
    const Entry run = load("libkestrova_program.so", "kestrova_main");
    if (!run) {
        std::fprintf(stderr, "kestrova: its program could not be loaded: %s\n", ::dlerror());
        return 1;
    }
    return run(argc, argv);
}
