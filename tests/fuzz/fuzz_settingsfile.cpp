// Arbitrary bytes as kestrova.conf: the store must come up, and every value it returns
// must lie inside its documented range, whatever the file holds.

#include "Palette.h"
#include "Settings.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

using namespace kestrova;

namespace {

QString scratchFile() {
    static const QString path =
        QDir::tempPath() + QStringLiteral("/kestrova-fuzz-%1.conf").arg(::getpid());
    return path;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "out of range: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        QFile file(scratchFile());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    // Standard error is the fuzzer's own report; the store's lines would drown it.
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    Settings settings(scratchFile());
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(null);
    const std::uint32_t modifiers = settings.hotKeyModifiers();
    settings.hotKeyCode();
    require(settings.hasHotKey() == (modifiers != 0), "hasHotKey");
    const ImageFormat format = settings.imageFormat();
    require(format == ImageFormat::png || format == ImageFormat::jpg, "imageFormat");
    const int colour = settings.defaultColorIndex();
    require(colour >= 0 && colour < static_cast<int>(Palette::colors().size()), "colour");
    const double thickness = settings.defaultThickness();
    require(std::find(thicknessSteps.begin(), thicknessSteps.end(), thickness) !=
                thicknessSteps.end(),
            "thickness");
    const QString folder = settings.saveFolderURL();
    require(folder == Settings::defaultSaveFolder() || QDir(folder).exists(), "save folder");
    QFile::remove(scratchFile());
    return 0;
}
