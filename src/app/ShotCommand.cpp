#include "ShotCommand.h"

#include "BackendLoader.h"
#include "CaptureError.h"
#include "CaptureService.h"
#include "ClipboardImage.h"
#include "PngStream.h"
#include "ScreenMosaic.h"
#include "ScreenshotEncoder.h"
#include "ScreenshotWriter.h"
#include "Settings.h"
#include "ShotOutput.h"
#include "ShotTarget.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QProcess>
#include <QScreen>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrova {

namespace {

int fail(int status, const QString& why) {
    return ShotOutput::fail(status, why);
}

// The screens' stills, waiting for a backend that answers later (a desktop portal).
CaptureBackend::Stills stillsOf(CaptureBackend& backend, const std::vector<ScreenInfo>& screens) {
    const QFuture<CaptureBackend::Stills> answer = backend.grabStills(screens);
    if (!answer.isFinished()) {
        QEventLoop loop;
        QFutureWatcher<CaptureBackend::Stills> watcher;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(answer);
        loop.exec();
    }
    if (answer.resultCount() == 0)
        return CaptureError::make(CaptureError::Kind::cancelled);
    return answer.result();
}

// A screenshot's resolution: one pixel per point.
Expected<QImage> stamped(Expected<QImage> image) {
    if (image) {
        image.value().setDotsPerMeterX(screenshotDotsPerMeter);
        image.value().setDotsPerMeterY(screenshotDotsPerMeter);
    }
    return image;
}

// The pixels the plan asks for, at each screen's full resolution.
Expected<QImage> take(CaptureBackend& backend, const std::vector<ScreenInfo>& screens,
                      const ShotTarget::Plan& plan) {
    // Straight from the display where it reads areas on demand (X11): only the part
    // that is wanted, or the area the screens span, which keeps every screen's pixels.
    if (Expected<QImage> direct = backend.grabOnce(plan.nativeArea(screens)))
        return stamped(std::move(direct));
    Expected<std::vector<QImage>> stills = stillsOf(backend, screens);
    if (!stills)
        return stills.error();
    if (plan.screens.size() > 1)
        return ScreenMosaic::compose(screens, stills.value());
    const std::size_t i = plan.screens.front();
    const QImage still = i < stills.value().size() ? stills.value()[i] : QImage();
    if (still.isNull())
        return CaptureError::make(CaptureError::Kind::noDisplay);
    return CaptureService::crop(
        still, screens[i],
        plan.localRect.value_or(QRectF(QPointF(0, 0), screens[i].geometry.size())));
}

// One screen's part as a PNG file, encoded while the display reads it out, so that no
// picture of it is ever made: nothing when the display cannot hand rows over (the
// caller then takes a picture).
std::optional<Expected<QByteArray>> streamPng(CaptureBackend& backend,
                                              const std::vector<ScreenInfo>& screens,
                                              const ShotTarget::Plan& plan) {
    const QRect area = plan.nativeArea(screens);
    QByteArray file;
    PngStream png(area.size(), PngPieces::appendTo(file));
    bool anyRow = false;
    const Status failed = backend.streamOnce(area, [&](const std::uint32_t* rows, int count) {
        anyRow = true;
        png.add(rows, count);
    });
    if (failed && !anyRow)
        return std::nullopt;
    if (failed)
        return *failed;
    if (const Status unfinished = png.finish())
        return *unfinished;
    return file;
}

// On X11 the clipboard belongs to a running program: a process of its own serves it
// until another program takes the clipboard over, and the command returns at once.
// Returns the status for the command's process, or nothing in the serving process.
std::optional<int> detachForClipboard(int& reportTo) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return fail(ShotCommand::badOutput, QStringLiteral("couldn't start serving the clipboard"));
    const pid_t child = ::fork();
    if (child < 0)
        return fail(ShotCommand::badOutput, QStringLiteral("couldn't start serving the clipboard"));
    if (child == 0) {
        ::close(channel[0]);
        reportTo = channel[1];
        ::setsid();
        return std::nullopt;
    }
    ::close(channel[1]);
    unsigned char status = 1;
    const ssize_t n = ::read(channel[0], &status, 1);
    ::close(channel[0]);
    if (n != 1) { // it ended without a word: its own status tells
        int ended = 0;
        ::waitpid(child, &ended, 0);
        return WIFEXITED(ended) ? WEXITSTATUS(ended) : 1;
    }
    return int(status);
}

} // namespace

int ShotCommand::run(int& argc, char** argv, const Options& options) {
    // What was asked is checked before anything is captured or written.
    std::optional<ShotTarget> target;
    if (options.region) {
        Expected<ShotTarget> region = ShotTarget::region(*options.region);
        if (!region)
            return fail(badTarget, region.error().description);
        target = region.value();
    } else {
        target = ShotTarget::screen(options.screen.value_or(QString()));
    }

    std::optional<ShotOutput> output;
    if (options.output) {
        if (const std::optional<QString> why = output.emplace().open(*options.output))
            return fail(badOutput, *why);
    }
    const ImageFormat format = output ? output->format() : ImageFormat::png;

    Backends::choosePlatform();
    if (!Backends::displayReachable())
        return fail(noDisplay, QStringLiteral("there is no display to capture (neither a "
                                              "Wayland nor an X11 display could be reached)"));

    int reportTo = -1;
    const bool onWayland = Backends::choosesWayland();
    if (options.clipboard && !onWayland) {
        if (const std::optional<int> status = detachForClipboard(reportTo))
            return *status;
    }
    // The serving process says how it went, once; the command's process ends with that.
    const auto finish = [&reportTo](int status) {
        if (reportTo >= 0) {
            const auto byte = static_cast<unsigned char>(status);
            (void)::write(reportTo, &byte, 1);
            ::close(reportTo);
            reportTo = -1;
        }
        return status;
    };

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrova"));
    QApplication::setDesktopFileName(QStringLiteral("kestrova"));
    const std::shared_ptr<CaptureBackend> backend = Backends::loadCapture();
    if (!backend)
        return finish(fail(noDisplay, QStringLiteral("screen capture needs an X11 or Wayland "
                                                     "session (this one is \"%1\")")
                                          .arg(QGuiApplication::platformName())));

    std::vector<ScreenInfo> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.push_back(ScreenInfo::of(screen));
    const Expected<ShotTarget::Plan> plan = target->resolve(screens, QCursor::pos());
    if (!plan)
        return finish(fail(badTarget, plan.error().description));

    if (options.delaySeconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(options.delaySeconds));
    const auto captureFailure = [&](const Error& error) {
        if (CaptureError::is(error, CaptureError::Kind::cancelled))
            return finish(fail(captureFailed, QStringLiteral("the desktop declined to share "
                                                             "the screen")));
        return finish(
            fail(captureFailed, (error.description + backend->failureHint()).simplified()));
    };
    // A PNG of one screen for a file or a pipe is encoded as the display hands it over.
    std::optional<Expected<QByteArray>> streamed;
    if (format == ImageFormat::png && options.output && plan.value().screens.size() == 1)
        streamed = streamPng(*backend, screens, plan.value());
    if (streamed && !streamed->hasValue() &&
        !CaptureError::is(streamed->error(), CaptureError::Kind::encodeFailed))
        return captureFailure(streamed->error());
    Expected<QImage> shot = QImage();
    if (!streamed) {
        shot = take(*backend, screens, plan.value());
        if (!shot)
            return captureFailure(shot.error());
    }

    if (!output && !options.clipboard) {
        // Into the save folder, under a new name, exactly as the editor's Save.
        Settings& settings = Settings::shared();
        const Expected<QString> saved = ScreenshotWriter::save(
            shot.value(),
            ScreenshotWriter::Target{settings.imageFormat(), settings.saveFolderURL()});
        if (!saved)
            return finish(fail(badOutput, saved.error().description));
        if (options.verbose)
            std::fprintf(stderr, "%s\n", qPrintable(saved.value()));
        ShotOutput::endNow(finish(success));
    }
    const Expected<QByteArray> bytes =
        streamed ? *streamed : ScreenshotEncoder::encode(shot.value(), format);
    if (!bytes)
        return finish(fail(badOutput, bytes.error().description));
    const auto written = [&](const QString& where) {
        if (options.verbose)
            std::fprintf(stderr, "%s\n", qPrintable(where));
        return finish(success);
    };

    if (output) {
        const Expected<QString> where = output->write(bytes.value());
        if (!where)
            return finish(fail(badOutput, where.error().description));
        ShotOutput::endNow(written(where.value()));
    }
    if (options.clipboard && onWayland) {
        // A Wayland client may set the clipboard only while it has the keyboard focus,
        // which a program without windows never has: the clipboard tool serves it.
        QProcess copy;
        copy.start(QStringLiteral("wl-copy"),
                   {QStringLiteral("--type"), QStringLiteral("image/png")});
        if (!copy.waitForStarted(5000))
            return fail(badOutput, QStringLiteral("on Wayland, --clipboard needs wl-copy "
                                                  "(package wl-clipboard)"));
        copy.write(bytes.value());
        copy.closeWriteChannel();
        if (!copy.waitForFinished(10000) || copy.exitCode() != 0)
            return fail(badOutput,
                        QStringLiteral("wl-copy could not take the picture: %1")
                            .arg(QString::fromLocal8Bit(copy.readAllStandardError()).trimmed()));
        return written(QStringLiteral("the clipboard"));
    }
    {
        ClipboardImage::offer(shot.value(), bytes.value());
        QClipboard* clipboard = QGuiApplication::clipboard();
        const int status = written(QStringLiteral("the clipboard"));
        // The command has returned; this process only serves the clipboard now, and
        // holds none of the caller's pipes open.
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(nothing, fd);
        ::close(nothing);
        QObject::connect(clipboard, &QClipboard::changed, &app, [clipboard](QClipboard::Mode mode) {
            if (mode == QClipboard::Clipboard && !clipboard->ownsClipboard())
                QApplication::quit();
        });
        QApplication::exec();
        return status;
    }
}

} // namespace kestrova
