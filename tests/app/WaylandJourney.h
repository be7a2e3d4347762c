#pragma once

// What the end-to-end tests in headless Wayland sessions share, whatever the desktop:
// the pictures they put on screen, how they read the overlay back, where the editor's
// buttons are, and the kestrova instance they drive.

#include <QByteArray>
#include <QDBusMessage>
#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>

namespace kestrova::test {

// Desktops and their portals can be slow to start: a minute before giving up.
int runSlowly(const QString& program, const QStringList& arguments, QByteArray* out = nullptr);

// A desktop-like picture: blocks of colour with fine noise, no two neighbours alike.
QImage wallpaper(QSize size, quint32 seed);

// Reads the screen with `read` until two reads in a row agree and show a picture's
// noise at `probe` (two neighbours unlike): a wallpaper put up has then been drawn.
// Returns that screen, or a null image after 20 s.
QImage settledScreen(const std::function<QImage()>& read, QPoint probe = {5, 500});

// Waits until `read` shows the editor over `desktop`: `selection` undimmed inside the
// frame and handles on its edges; then a moment more for the editor to take input.
bool editorShows(const std::function<QImage()>& read, const QImage& desktop,
                 const QRect& selection);

// How many pixels of `shown` are not `reference` dimmed by the overlay's 35 % black,
// within `tolerance`, leaving out the bottom-right square of `cursorSize` (where tests
// park a pointer the compositor draws into its pictures).
qint64 pixelsNotDimmed(const QImage& shown, const QImage& reference, double tolerance = 1.5,
                       int cursorSize = 128);
// How many pixels differ, leaving out the same corner.
qint64 pixelsDiffering(const QImage& a, const QImage& b, int cursorSize = 128);

// The centre of the editor's toolbar button `index` for a selection given in an output's
// points (y down).
QPoint toolbarButton(const QRect& selection, int index);
constexpr int copyButton = 8;
constexpr int saveButton = 9;

// The first PNG file to appear in `folder` within 15 s, read as RGB32, and the file
// removed; a null image if none appeared.
QImage takeScreenshot(const QString& folder);
// The clipboard's PNG (read with wl-paste, waiting up to 5 s for one), as RGB32; a null
// image if there is none.
QImage pastedImage();

// Starts the kestrova named by $KESTROVA as the session's instance, saving into
// `shots`, and waits until it takes commands. Returns an empty string, or what went wrong.
QString startInstance(QProcess& instance, const QString& shots);
// Asks the instance to quit; returns what it wrote on standard error.
QByteArray quitInstance(QProcess& instance);

// A method call on the session bus; desktops' services may take their time.
QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {});

// The seat_input program named by $SEAT_INPUT: a mouse on the compositor's seat, and on
// KWin a keyboard too. Positions are points of a `layout`-sized desktop.
class SeatInput final {
public:
    ~SeatInput();
    // Empty, or what went wrong.
    QString start();
    bool moveTo(QPoint at, QSize layout);
    bool drag(QPoint from, QPoint to, QSize layout);
    bool click(QPoint at, QSize layout);
    // Presses the keys (evdev codes) in order and releases them in reverse.
    bool keys(const QList<int>& codes);

private:
    bool send(const QString& command);
    QProcess m_process;
};

} // namespace kestrova::test
