#pragma once

namespace kestrova {

// `kestrova --screen|--region … --output FILE.png|-` on X11, without Qt's graphics: the
// screens listed from RandR as Qt would list them, and the rows read from the X server
// straight into the PNG encoder. Such a process is done before the whole program would
// have finished loading (~20 ms against ~70 ms).
class QuickShot final {
public:
    static constexpr int declined = -1;

    // The command's exit status; `declined`, having done and said nothing, when the
    // command needs the whole program (another session or output, or a setting only Qt
    // follows).
    static int run(int argc, char** argv);
};

} // namespace kestrova
