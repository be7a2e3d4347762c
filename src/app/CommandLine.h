#pragma once

#include "ShotCommand.h"

#include <QStringList>

namespace kestrova {

// What kestrova's command line asks for, checked before anything is done. Help, the
// version and a command line not understood are answered on the spot.
class CommandLine final {
public:
    enum class Request { run, capture, settings, quit, shot };

    struct Options {
        Request request = Request::run;
        int exitCode = -1; // set when the process is done after parsing
        ShotCommand::Options shot;
    };

    static Options parse(QStringList arguments);
    static Options parse(int argc, char** argv);
};

} // namespace kestrova
