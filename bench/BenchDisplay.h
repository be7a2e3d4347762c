#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSize>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

// Waits, handling events meanwhile (the desktop window repaints what overlays uncover).
// The loop sleeps until an event or the timer comes: a pause must leave the machine idle,
// as a user's minutes between two screenshots do, not keep a core busy polling.
inline void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// What the benchmarks run kestrova on: an X server of their own, sized like the
// screenshot, with that screenshot shown over all of it as a desktop would be.

// Starts Xvfb on a free display from `first` on and points DISPLAY (and Qt) at it.
inline void startXvfb(QProcess& xvfb, QSize size, int first) {
    int display = first;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
        ++display;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
                QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    for (int i = 0; i < 100 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
         ++i)
        ::usleep(50000);
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(display));
    qputenv("QT_QPA_PLATFORM", "xcb");
}

class Desktop final : public QWidget {
public:
    explicit Desktop(QImage image)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint),
          m_image(std::move(image)) {
        setGeometry(0, 0, m_image.width(), m_image.height());
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_image); }

private:
    QImage m_image;
};
