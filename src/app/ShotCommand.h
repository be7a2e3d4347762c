#pragma once

#include <QString>

#include <optional>

namespace kestrova {

// A screenshot taken straight from the command line (`kestrova --screen`, `--region`):
// one process that captures, writes and ends, without the tray or a running kestrova.
class ShotCommand final {
public:
    struct Options {
        std::optional<QString> screen; // --screen's value; empty: the screen under the pointer
        std::optional<QString> region; // --region's X,Y,W,H
        std::optional<QString> output; // a file, or "-" for standard output
        bool clipboard = false;
        int delaySeconds = 0;
        bool verbose = false;
    };

    // Exit statuses; every failure also says why in one line on standard error, and
    // writes nothing.
    enum Status {
        success = 0,
        usage = 2,        // the command line is not understood
        badTarget = 3,    // no such screen; a region outside every screen, across two, or empty
        badOutput = 4,    // the file or standard output cannot take the picture
        noDisplay = 5,    // no X11 or Wayland display to capture
        captureFailed = 6 // the display server or desktop did not hand over the screen
    };

    static int run(int& argc, char** argv, const Options& options);
};

} // namespace kestrova
