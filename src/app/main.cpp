#include "AppDelegate.h"
#include "BackendLoader.h"
#include "CaptureService.h"
#include "InstanceChannel.h"
#include "ScreenshotWriter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace kestrova;

namespace {

enum class Request { run, capture, settings, quit };

struct Options {
    Request request = Request::run;
    int exitCode = -1; // set when the process is done after parsing
};

Options parseOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Take screenshots of a screen region, annotate them, copy or save them."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption capture(QStringLiteral("capture"),
                                     QStringLiteral("Start a capture (starting kestrova first "
                                                    "if it is not running)."));
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Open the settings window."));
    const QCommandLineOption quit(QStringLiteral("quit"),
                                  QStringLiteral("End the running kestrova."));
    parser.addOptions({help, version, capture, settings, quit});

    const QString usage = QStringLiteral("Usage: kestrova [--capture | --settings | --quit]\n");
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString why = parser.positionalArguments().isEmpty()
                                ? parser.errorText()
                                : QStringLiteral("unexpected argument '%1'")
                                      .arg(parser.positionalArguments().constFirst());
        std::fprintf(stderr, "kestrova: %s\n%sTry 'kestrova --help' for more information.\n",
                     qPrintable(why), qPrintable(usage));
        return {Request::run, 2};
    }
    if (parser.isSet(help)) {
        std::printf("%s\n%s\nOptions:\n"
                    "  --capture    Start a capture (starting kestrova first if needed).\n"
                    "  --settings   Open the settings window.\n"
                    "  --quit       End the running kestrova.\n"
                    "  --version    Show the version and exit.\n"
                    "  -h, --help   Show this help and exit.\n",
                    qPrintable(usage), qPrintable(parser.applicationDescription()));
        return {Request::run, 0};
    }
    if (parser.isSet(version)) {
        std::printf("kestrova %s\n", KESTROVA_VERSION);
        return {Request::run, 0};
    }
    const int requests =
        int(parser.isSet(capture)) + int(parser.isSet(settings)) + int(parser.isSet(quit));
    if (requests > 1) {
        std::fprintf(stderr, "kestrova: give at most one of --capture, --settings, --quit\n%s",
                     qPrintable(usage));
        return {Request::run, 2};
    }
    if (parser.isSet(capture))
        return {Request::capture};
    if (parser.isSet(settings))
        return {Request::settings};
    if (parser.isSet(quit))
        return {Request::quit};
    return {Request::run};
}

InstanceChannel::Command commandFor(Request request) {
    switch (request) {
    case Request::capture:
        return InstanceChannel::Command::capture;
    case Request::settings:
        return InstanceChannel::Command::settings;
    case Request::quit:
        return InstanceChannel::Command::quit;
    case Request::run:
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

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Options options = parseOptions(arguments);
    if (options.exitCode >= 0)
        return options.exitCode;

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
    channel.onCommand = [&delegate](InstanceChannel::Command command) {
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
    };
    delegate.applicationDidFinishLaunching();
    if (options.request == Request::capture)
        QTimer::singleShot(0, &delegate, &AppDelegate::beginCapture);
    else if (options.request == Request::settings)
        QTimer::singleShot(0, &delegate, &AppDelegate::openSettings);

    return QApplication::exec();
}
