#include "KWinCaptureBackend.h"

#include "CaptureError.h"
#include "ImageBuffer.h"
#include "Prefault.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QFutureWatcher>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrova {

namespace {

// KWin's answer when kestrova is not allowed its service, and the bus's when there is
// no such service: either way the portal takes over.
bool isRefusal(const QDBusError& error) {
    const QString name = error.name();
    return name.startsWith(QLatin1String("org.kde.KWin.ScreenShot2.Error.NoAuthorized")) ||
           error.type() == QDBusError::ServiceUnknown ||
           error.type() == QDBusError::UnknownObject ||
           error.type() == QDBusError::UnknownInterface ||
           error.type() == QDBusError::UnknownMethod || error.type() == QDBusError::AccessDenied;
}

QVariantMap resultsOf(const QDBusMessage& reply) {
    return reply.arguments().isEmpty() ? QVariantMap()
                                       : qdbus_cast<QVariantMap>(reply.arguments().constFirst());
}

struct Shot {
    QDBusPendingCall call;
    int pipe = -1;
    qsizetype expected = 0;
};

// A pipe holds 64 KiB unless asked for more: a screen's worth of pixels then takes over
// a hundred hand-overs between KWin's writer and kestrova's reader. A megabyte is the
// most an ordinary user may ask for; asking is harmless where the kernel says no.
constexpr int pipeBytes = 1 << 20;
// Room beyond the screen's size, so that the end of the pipe is read without another
// screen's worth of memory.
constexpr qsizetype spareBytes = 1 << 16;

// KWin's answer to one shot, and the bytes it wrote into the pipe. The bytes may come
// before or after the answer, and the pipe never ends while kestrova's copy of its
// writing end is still held with the call: it is read until the answer's size.
struct Received {
    QDBusMessage reply;
    ImageBuffer::Bytes bytes; // in memory that can take huge pages: it may become the still
    qsizetype capacity = 0;
    qsizetype size = 0;
};

// Memory for a screen's bytes, with its pages there, made while KWin is still drawing
// the picture. Fresh pages supplied one by one as the pipe fills them took 15 to 55 ms
// after a pause, between KWin's answer and a dimmed screen.
Received readied(const Shot& shot) {
    Received received;
    received.bytes = ImageBuffer::bytes(std::size_t(shot.expected + spareBytes));
    if (received.bytes) {
        received.capacity = shot.expected + spareBytes;
        prefault(received.bytes.get(), std::size_t(received.capacity));
    }
    return received;
}

Received receive(const Shot& shot, Received received, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    qsizetype wanted = -1;
    bool open = true;
    while (std::chrono::steady_clock::now() < deadline) {
        if (wanted < 0 && shot.call.isFinished()) {
            received.reply = shot.call.reply();
            if (received.reply.type() != QDBusMessage::ReplyMessage ||
                received.reply.arguments().isEmpty())
                return received;
            const QVariantMap results = resultsOf(received.reply);
            wanted = qsizetype(results.value(QStringLiteral("stride")).toLongLong()) *
                     results.value(QStringLiteral("height")).toLongLong();
        }
        if (wanted >= 0 && (received.size >= wanted || !open))
            return received;
        pollfd ready{shot.pipe, POLLIN, 0};
        if (!open || ::poll(&ready, 1, 5) <= 0)
            continue;
        // Straight into the picture's bytes, which move only if KWin sends more than
        // the screen's size.
        if (received.size == received.capacity) {
            const qsizetype grown =
                received.capacity == 0 ? shot.expected + spareBytes : received.capacity * 2;
            ImageBuffer::Bytes bigger = ImageBuffer::bytes(std::size_t(grown));
            if (!bigger) {
                received.reply = QDBusMessage::createError(
                    QDBusError::NoMemory, QStringLiteral("no memory for the picture"));
                return received;
            }
            if (received.size > 0)
                std::memcpy(bigger.get(), received.bytes.get(), std::size_t(received.size));
            received.bytes = std::move(bigger);
            received.capacity = grown;
        }
        const ssize_t n = ::read(shot.pipe, received.bytes.get() + received.size,
                                 std::size_t(received.capacity - received.size));
        if (n > 0)
            received.size += n;
        else if (n == 0 || errno != EINTR)
            open = false; // everything written is in
    }
    received.reply = QDBusMessage::createError(QDBusError::NoReply,
                                               QStringLiteral("KWin did not answer in time"));
    return received;
}

// The picture the answer describes, from the pipe's bytes; null when they do not fit.
QImage pictureOf(const QVariantMap& results, Received& received) {
    if (results.value(QStringLiteral("type")).toString() != QLatin1String("raw"))
        return {};
    const int width = results.value(QStringLiteral("width")).toInt();
    const int height = results.value(QStringLiteral("height")).toInt();
    const int stride = results.value(QStringLiteral("stride")).toInt();
    const int format = results.value(QStringLiteral("format")).toInt();
    if (width <= 0 || height <= 0 || format <= int(QImage::Format_Invalid) ||
        format >= int(QImage::NImageFormats) || stride <= 0 ||
        qint64(stride) * height > received.size)
        return {};
    const QImage view(received.bytes.get(), width, height, stride, QImage::Format(format));
    if (stride < view.bytesPerLine())
        return {};
    // Opaque, in the format the overlay paints fastest. KWin sends packed ARGB32, which
    // is that once every pixel's alpha says opaque: made so where the bytes lie, which
    // become the still, instead of copied into another screen's worth of fresh memory.
    if ((format == QImage::Format_ARGB32 || format == QImage::Format_RGB32) &&
        stride == view.bytesPerLine()) {
        QImage still = ImageBuffer::adopt(std::move(received.bytes), QSize(width, height), stride,
                                          QImage::Format_RGB32);
        ImageBuffer::makeOpaque(still);
        return still;
    }
    return view.convertToFormat(QImage::Format_RGB32);
}

} // namespace

KWinCaptureBackend::KWinCaptureBackend(std::shared_ptr<CaptureBackend> fallback,
                                       QDBusConnection bus)
    : m_fallback(std::move(fallback)), m_bus(std::move(bus)),
      m_pending(std::make_unique<QObject>()) {}

KWinCaptureBackend::~KWinCaptureBackend() = default;

Expected<QImage> KWinCaptureBackend::grab(const QRect&) {
    return Error{QStringLiteral("KWin's screenshots are taken of whole screens.")};
}

QFuture<CaptureBackend::Stills>
KWinCaptureBackend::grabStills(const std::vector<ScreenInfo>& screens) {
    if (m_refused)
        return m_fallback->grabStills(screens);

    // One call per screen, all sent at once; each screen's pixels come through a pipe.
    std::vector<Shot> shots;
    for (const ScreenInfo& screen : screens) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            break;
        ::fcntl(ends[0], F_SETPIPE_SZ, pipeBytes);
        QDBusMessage call = QDBusMessage::createMethodCall(
            QLatin1String(service), QLatin1String(path), QLatin1String(interface),
            QStringLiteral("CaptureScreen"));
        call << screen.name
             << QVariantMap{{QStringLiteral("native-resolution"), true},
                            {QStringLiteral("include-cursor"), false}}
             << QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]));
        ::close(ends[1]); // the message holds its own copy until it is sent
        const QSize pixels = screen.pixelSize();
        shots.push_back({m_bus.asyncCall(call, 10000), ends[0],
                         qsizetype(pixels.width()) * pixels.height() * 4});
    }
    if (shots.size() != screens.size()) {
        for (const Shot& shot : shots)
            ::close(shot.pipe);
        return QtFuture::makeReadyFuture(
            Stills(Error{QStringLiteral("kestrova could not open a pipe for KWin's pictures.")}));
    }

    // Read and unpacked off the GUI thread; a refusal is known once the first answer is.
    struct Outcome {
        Stills stills;
        bool refused = false;
    };
    QFuture<Outcome> outcome = QtConcurrent::run([shots]() {
        Outcome outcome;
        std::vector<QImage> stills;
        std::optional<Error> failure;
        std::vector<Received> ready;
        for (const Shot& shot : shots)
            ready.push_back(readied(shot));
        for (std::size_t i = 0; i < shots.size(); ++i) {
            const Shot& shot = shots[i];
            Received received = receive(shot, std::move(ready[i]), std::chrono::seconds(10));
            ::close(shot.pipe);
            if (received.reply.type() != QDBusMessage::ReplyMessage) {
                if (isRefusal(QDBusError(received.reply))) {
                    outcome.refused = true;
                    return outcome;
                }
                failure = QDBusError(received.reply).type() == QDBusError::NoMemory
                              ? Error{QStringLiteral("There is not enough memory for the "
                                                     "screen's picture.")}
                              : Error{QStringLiteral("KWin could not take the screenshot: %1")
                                          .arg(received.reply.errorMessage())};
                stills.emplace_back();
                continue;
            }
            stills.push_back(pictureOf(resultsOf(received.reply), received));
        }
        if (failure && std::all_of(stills.begin(), stills.end(),
                                   [](const QImage& still) { return still.isNull(); }))
            outcome.stills = *failure;
        else
            outcome.stills = std::move(stills);
        return outcome;
    });

    auto promise = std::make_shared<QPromise<Stills>>();
    promise->start();
    // Watchers die with the backend; their promise then cancels the future.
    auto* watcher = new QFutureWatcher<Outcome>(m_pending.get());
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [this, watcher, promise, screens] {
                         watcher->deleteLater();
                         const Outcome outcome = watcher->result();
                         if (!outcome.refused) {
                             promise->addResult(outcome.stills);
                             promise->finish();
                             return;
                         }
                         m_refused = true;
                         auto* fallback = new QFutureWatcher<Stills>(m_pending.get());
                         QObject::connect(fallback, &QFutureWatcherBase::finished, fallback,
                                          [fallback, promise] {
                                              fallback->deleteLater();
                                              if (fallback->future().resultCount() > 0)
                                                  promise->addResult(fallback->result());
                                              promise->finish();
                                          });
                         fallback->setFuture(m_fallback->grabStills(screens));
                     });
    watcher->setFuture(outcome);
    return promise->future();
}

QString KWinCaptureBackend::failureHint() const {
    if (m_refused)
        return m_fallback->failureHint();
    return QStringLiteral("\n\nkestrova reads the screen through KWin's screenshot service. "
                          "Try again in a moment; if it goes on, log out and in again.");
}

} // namespace kestrova
