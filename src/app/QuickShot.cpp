#include "QuickShot.h"

#include "CommandLine.h"
#include "PngStream.h"
#include "ShotOutput.h"
#include "ShotTarget.h"
#include "X11ScreenLayout.h"
#include "X11ScreenReader.h"

#include <QProcessEnvironment>

#include <chrono>
#include <cstdio>
#include <thread>

namespace kestrova {

namespace {

// An X11 session that Qt would serve on its X11 platform.
bool onX11(const QProcessEnvironment& environment) {
    const QString platform = environment.value(QStringLiteral("QT_QPA_PLATFORM"));
    return !environment.value(QStringLiteral("DISPLAY")).isEmpty() &&
           environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() &&
           (platform.isEmpty() || platform == QLatin1String("xcb"));
}

bool writesPng(const ShotCommand::Options& shot) {
    if (!shot.output || shot.clipboard)
        return false;
    return *shot.output == QLatin1String("-") ||
           ShotOutput::formatOf(*shot.output) == ImageFormat::png;
}

} // namespace

int QuickShot::run(int argc, char** argv) {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!onX11(environment))
        return declined;
    // Help and a command line not understood are answered here as there.
    const CommandLine::Options parsed = CommandLine::parse(argc, argv);
    if (parsed.exitCode >= 0)
        return parsed.exitCode;
    const ShotCommand::Options& options = parsed.shot;
    if (parsed.request != CommandLine::Request::shot || !writesPng(options))
        return declined;
    const std::unique_ptr<X11ScreenReader> display = X11ScreenReader::connect();
    if (!display)
        return declined;
    const std::optional<X11ScreenLayout> layout =
        X11ScreenLayout::read(display->connection(), display->screenNumber(), environment);
    if (!layout)
        return declined;
    const std::optional<QPoint> pointer =
        layout->pointer(display->connection(), display->screenNumber());
    if (!pointer)
        return declined;

    // From here on, as the whole program does it, in the same order.
    const auto fail = &ShotOutput::fail;
    std::optional<ShotTarget> target;
    if (options.region) {
        Expected<ShotTarget> region = ShotTarget::region(*options.region);
        if (!region)
            return fail(ShotCommand::badTarget, region.error().description);
        target = region.value();
    } else {
        target = ShotTarget::screen(options.screen.value_or(QString()));
    }
    std::optional<ShotOutput> output;
    if (const std::optional<QString> why = output.emplace().open(*options.output))
        return fail(ShotCommand::badOutput, *why);
    const Expected<ShotTarget::Plan> plan = target->resolve(layout->screens, *pointer);
    if (!plan)
        return fail(ShotCommand::badTarget, plan.error().description);
    // An area this cannot read, the whole program may read another way; after the
    // delay it is too late to hand over.
    const QRect area = plan.value().nativeArea(layout->screens);
    if (!display->checkArea(area))
        return declined;
    if (options.delaySeconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(options.delaySeconds));

    // Rows go into the encoder as the server hands them over, and the file out a part at
    // a time: no picture of the screen, nor of its file, is made. A file takes each part
    // as soon as it is done, since it is only committed whole; a reader gets nothing
    // until the whole screen has been read and compressed.
    const auto put = [&output](const std::uint8_t* data, std::size_t size) {
        return output->put(reinterpret_cast<const char*>(data), qsizetype(size));
    };
    PngStream png(area.size(), put,
                  *options.output == QLatin1String("-") ? PngStream::Delivery::whole
                                                        : PngStream::Delivery::asDone);
    if (const Status failed = display->read(
            area, [&png](const std::uint32_t* rows, int count) { png.add(rows, count); }))
        return fail(ShotCommand::captureFailed,
                    (failed->description + X11ScreenReader::failureHint()).simplified());
    if (const Status unwritten = png.finish())
        return fail(ShotCommand::badOutput, output->failure().value_or(unwritten->description));
    const Expected<QString> where = output->commit();
    if (!where)
        return fail(ShotCommand::badOutput, where.error().description);
    if (options.verbose)
        std::fprintf(stderr, "%s\n", qPrintable(where.value()));
    ShotOutput::endNow(ShotCommand::success);
}

} // namespace kestrova
