#include "CommandLine.h"

#include <QCommandLineParser>

#include <cstdio>

namespace kestrova {

namespace {

constexpr char usage[] =
    "Usage: kestrova [--capture [--delay S] | --settings | --quit]\n"
    "       kestrova (--screen [N|NAME|all] | --region X,Y,W,H)\n"
    "                [--output FILE|- | --clipboard] [--delay S] [--verbose]\n";

constexpr char description[] =
    "Take screenshots of a screen region, annotate them, copy or save them.\n"
    "\n"
    "Without options kestrova starts in the tray; the hot key or Capture Region in its\n"
    "menu dims the screens for a selection. A second start only says it is running.\n"
    "\n"
    "--screen and --region take screenshots without the editor, for scripts and key\n"
    "bindings (no tray or running kestrova needed; the picture is taken at each screen's\n"
    "full resolution). Without --output or --clipboard the picture goes to the save folder\n"
    "under a new name, as the editor's Save does.";

constexpr char epilogue[] =
    "\n"
    "Exit status: 0 done; 1 the running kestrova does not answer; 2 the command line is\n"
    "not understood; 3 no such screen, or a region that is empty, outside every screen or\n"
    "across two; 4 the output cannot be written; 5 no display; 6 the screen could not be\n"
    "captured (or the desktop declined).\n"
    "\n"
    "Examples:\n"
    "  kestrova --screen --output ~/shot.png\n"
    "  kestrova --region 100,100,800,600 --output - | wc -c\n"
    "  sway or i3:  bindsym Print exec kestrova --screen --clipboard\n"
    "  GNOME:       Settings > Keyboard > Custom Shortcuts, command: kestrova --screen all\n";

CommandLine::Options usageError(const QString& why) {
    std::fprintf(stderr, "kestrova: %s\n%sTry 'kestrova --help' for more information.\n",
                 qPrintable(why), usage);
    return {CommandLine::Request::run, ShotCommand::usage, {}};
}

} // namespace

CommandLine::Options CommandLine::parse(QStringList arguments) {
    // `--screen` may stand alone: it then means the screen under the pointer.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--screen") &&
            (i + 1 == arguments.size() || arguments[i + 1].startsWith(u'-')))
            arguments[i] = QStringLiteral("--screen=");
    }
    QCommandLineParser parser;
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Start a capture in the running kestrova (starting it if needed)."));
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Open the settings window."));
    const QCommandLineOption quit(QStringLiteral("quit"),
                                  QStringLiteral("End the running kestrova."));
    const QCommandLineOption screen(
        QStringLiteral("screen"),
        QStringLiteral("The screen under the pointer (the first screen where programs cannot "
                       "read the pointer), screen N (from 0, in the order kestrova lists them), "
                       "the output NAME (such as HDMI-1), or all screens as arranged; where "
                       "their scales differ the picture uses the largest, as the compositor's "
                       "own screenshots do."),
        QStringLiteral("N|NAME|all"));
    const QCommandLineOption region(
        QStringLiteral("region"),
        QStringLiteral("A rectangle of the desktop in logical pixels (as xrandr or swaymsg "
                       "give the screens' positions), on one screen."),
        QStringLiteral("X,Y,W,H"));
    const QCommandLineOption output(
        QStringLiteral("output"),
        QStringLiteral("Write FILE (.png, .jpg or .jpeg; a file already there is replaced "
                       "whole, in one step; its folder must exist), or with - a PNG to "
                       "standard output (never to a terminal)."),
        QStringLiteral("FILE|-"));
    const QCommandLineOption clipboard(
        QStringLiteral("clipboard"),
        QStringLiteral("Put the PNG on the clipboard; on X11 a kestrova process serves it until "
                       "another program takes the clipboard, on Wayland wl-copy does."));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Wait S seconds (0 to 60) first; also with "
                                                  "--capture."),
                                   QStringLiteral("S"));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"), QStringLiteral("Say on standard error where the picture went."));
    parser.addOptions({helpOption, version, capture, settings, quit, screen, region, output,
                       clipboard, delay, verbose});

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(helpOption)) {
        parser.setApplicationDescription(QLatin1String(description));
        // The parser's own usage line knows neither the requests nor how they combine.
        const QString options = parser.helpText();
        std::printf("%s%s%s", usage, qPrintable(options.mid(options.indexOf(u'\n'))), epilogue);
        return {Request::run, 0, {}};
    }
    if (parser.isSet(version)) {
        std::printf("kestrova %s\n", KESTROVA_VERSION);
        return {Request::run, 0, {}};
    }
    for (const QCommandLineOption* once : {&screen, &region, &output, &delay}) {
        if (parser.values(*once).size() > 1)
            return usageError(QStringLiteral("--%1 is given more than once").arg(once->names()[0]));
    }
    const bool shot = parser.isSet(screen) || parser.isSet(region);
    const int requests = int(parser.isSet(capture)) + int(parser.isSet(settings)) +
                         int(parser.isSet(quit)) + int(shot);
    if (requests > 1 || (parser.isSet(screen) && parser.isSet(region)))
        return usageError(QStringLiteral("give only one of --capture, --settings, --quit, "
                                         "--screen or --region"));
    if (!shot && (parser.isSet(output) || parser.isSet(clipboard) || parser.isSet(verbose)))
        return usageError(QStringLiteral("--output, --clipboard and --verbose go with --screen "
                                         "or --region"));
    if (parser.isSet(output) && parser.isSet(clipboard))
        return usageError(QStringLiteral("give --output or --clipboard, not both"));
    if (parser.isSet(output) && parser.value(output).isEmpty())
        return usageError(QStringLiteral("--output needs a file name, or - for standard output"));
    if (parser.isSet(delay) && !shot && !parser.isSet(capture))
        return usageError(QStringLiteral("--delay goes with --capture, --screen or --region"));

    Options options;
    if (parser.isSet(delay)) {
        bool ok = false;
        const int seconds = parser.value(delay).toInt(&ok);
        if (!ok || seconds < 0 || seconds > 60)
            return usageError(QStringLiteral("--delay takes whole seconds from 0 to 60, not '%1'")
                                  .arg(parser.value(delay)));
        options.shot.delaySeconds = seconds;
    }
    if (shot) {
        options.request = Request::shot;
        if (parser.isSet(screen))
            options.shot.screen = parser.value(screen);
        if (parser.isSet(region))
            options.shot.region = parser.value(region);
        if (parser.isSet(output))
            options.shot.output = parser.value(output);
        options.shot.clipboard = parser.isSet(clipboard);
        options.shot.verbose = parser.isSet(verbose);
    } else if (parser.isSet(capture)) {
        options.request = Request::capture;
    } else if (parser.isSet(settings)) {
        options.request = Request::settings;
    } else if (parser.isSet(quit)) {
        options.request = Request::quit;
    }
    return options;
}

CommandLine::Options CommandLine::parse(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parse(std::move(arguments));
}

} // namespace kestrova
