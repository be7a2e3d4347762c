#include "QuickShot.h"

// Loaded by the launcher (main.cpp) for a screenshot to a file or a pipe; a command it
// declines goes on to the whole program.
extern "C" __attribute__((visibility("default"))) int kestrova_quickshot_main(int argc,
                                                                              char** argv) {
    return kestrova::QuickShot::run(argc, argv);
}
