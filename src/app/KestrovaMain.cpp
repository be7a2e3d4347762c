#include "AppDelegate.h"
#include "BackendLoader.h"
#include "CaptureService.h"
#include "CommandLine.h"
#include "InstanceChannel.h"
#include "Log.h"
#include "ScreenshotWriter.h"
#include "ShotCommand.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

using namespace kestrova;

namespace {

using Request = CommandLine::Request;

InstanceChannel::Command commandFor(Request request) {
    switch (request) {
    case Request::capture:
        return InstanceChannel::Command::capture;
    case Request::settings:
        return InstanceChannel::Command::settings;
    case Request::quit:
        return InstanceChannel::Command::quit;
    case Request::run:
    case Request::shot:
        break;
    }
    return InstanceChannel::Command::ping;
}

// The exit status when another process is the instance (it took the request, or it
// never answered); nothing when no instance runs.
std::optional<int> handOver(Request request) {
    const InstanceChannel::Command command = commandFor(request);
    if (InstanceChannel::send(command) ||
        (InstanceChannel::instanceExists() && InstanceChannel::sendPatiently(command))) {
        if (request == Request::run)
            std::fprintf(stderr, "kestrova is already running\n");
        return 0;
    }
    if (!InstanceChannel::instanceExists())
        return std::nullopt;
    std::fprintf(stderr,
                 "kestrova: the running kestrova does not answer; nothing was done. Try again "
                 "in a moment\n");
    return 1;
}

} // namespace

// The whole program; the launcher (main.cpp) loads it when the command needs more than
// a word to the running kestrova.
extern "C" __attribute__((visibility("default"))) int kestrova_main(int argc, char** argv) {
    installLogFormat();
    const CommandLine::Options options = CommandLine::parse(argc, argv);
    if (options.exitCode >= 0)
        return options.exitCode;
    if (options.request == Request::shot)
        return ShotCommand::run(argc, argv, options.shot);
    // A delayed capture waits here, so that whichever kestrova serves it opens late.
    if (options.shot.delaySeconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(options.shot.delaySeconds));

    // A running instance takes the request; this process then has nothing more to do.
    // Whoever does not hold the instance lock is only ever a client: a busy instance is
    // waited for, never joined by a second one that nothing could reach.
    if (const std::optional<int> status = handOver(options.request))
        return *status;
    if (options.request == Request::quit) {
        std::fprintf(stderr, "kestrova is not running\n");
        return 1;
    }

    Backends::choosePlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrova"));
    QApplication::setApplicationVersion(QStringLiteral(KESTROVA_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setDesktopFileName(QStringLiteral("kestrova"));

    InstanceChannel channel;
    if (!channel.listen()) {
        // Another instance started in the meantime: hand it the request instead.
        if (const std::optional<int> status = handOver(options.request))
            return *status;
        std::fprintf(stderr,
                     "kestrova: couldn't open %s; `kestrova --capture` will not reach "
                     "this instance\n",
                     qPrintable(InstanceChannel::socketPath()));
    }

    Backends backends = Backends::load();
    CaptureService capture(backends.capture);
    // Declared before the delegate so that it outlives it: quitting while a screenshot is
    // being written waits for the file.
    ScreenshotWriter writer;
    AppDelegate delegate(std::move(backends.hotKeys), capture, writer);
    QObject::connect(&channel, &InstanceChannel::onCommand, &delegate,
                     [&delegate](InstanceChannel::Command command) {
                         switch (command) {
                         case InstanceChannel::Command::ping:
                             break;
                         case InstanceChannel::Command::capture:
                             delegate.beginCapture();
                             break;
                         case InstanceChannel::Command::settings:
                             delegate.openSettings();
                             break;
                         case InstanceChannel::Command::quit:
                             delegate.quit();
                             break;
                         }
                     });
    delegate.applicationDidFinishLaunching();
    if (options.request == Request::capture)
        QTimer::singleShot(0, &delegate, &AppDelegate::beginCapture);
    else if (options.request == Request::settings)
        QTimer::singleShot(0, &delegate, &AppDelegate::openSettings);

    return QApplication::exec();
}
