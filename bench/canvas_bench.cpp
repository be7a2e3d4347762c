// Measures the editor canvas on a realistic HiDPI capture:
//   (a) the repaint after one drag step while drawing, and
//   (b) flatten() of a full-screen selection,
// with 200 annotations including a 5,000-point pencil stroke.
//
// Usage: kestrova_bench_canvas SCREEN.png [scale]
// SCREEN.png should be a real desktop screenshot (5120 × 2880 at scale 2 is the case
// we care about); flat colours flatter every encoder and painter.

#include "ArrowAnnotation.h"
#include "EditorView.h"
#include "Palette.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace kestrova;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void drawStroke(EditorView& view, const std::vector<QPointF>& points) {
    view.pressAt(points.front());
    for (std::size_t i = 1; i < points.size(); ++i)
        view.dragTo(points[i]);
    view.releaseAt();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCREEN.png [scale]\n", argv[0]);
        return 2;
    }
    const QImage capture =
        QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
    if (capture.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const double scale = argc > 2 ? std::atof(argv[2]) : 2.0;
    const QSize points(int(capture.width() / scale), int(capture.height() / scale));
    const ScreenInfo screen{QStringLiteral("bench"), QRect(QPoint(0, 0), points), scale};
    const QRectF all(0, 0, points.width(), points.height());

    QElapsedTimer setup;
    setup.start();
    EditorView view(capture, screen, all, Palette::colors()[0], 4);
    view.resize(points);
    std::printf("editor set-up: %lld ms\n", static_cast<long long>(setup.elapsed()));

    std::mt19937 random(7);
    std::uniform_real_distribution<double> x(40, points.width() - 40), y(40, points.height() - 40);
    const std::array<Tool, 5> shapes{Tool::rectangle, Tool::ellipse, Tool::arrow, Tool::line,
                                     Tool::marker};
    // One long stroke across the whole screen, then 199 ordinary marks.
    view.setActiveTool(Tool::pencil);
    std::vector<QPointF> longStroke;
    for (int i = 0; i < 5000; ++i) {
        const double t = i / 5000.0;
        longStroke.emplace_back(40 + t * (points.width() - 80),
                                points.height() / 2 + std::sin(t * 60) * points.height() / 3);
    }
    drawStroke(view, longStroke);
    for (int i = 0; i < 199; ++i) {
        const Tool tool = shapes[static_cast<std::size_t>(i) % shapes.size()];
        view.setActiveTool(tool);
        const QPointF a(x(random), y(random));
        std::vector<QPointF> path{a};
        for (int k = 1; k <= (tool == Tool::marker ? 30 : 1); ++k)
            path.emplace_back(a.x() + k * 6, a.y() + std::sin(k) * 20 + 30);
        drawStroke(view, path);
    }
    std::printf("annotations: %zu\n", view.canvas().annotations().size());

    // The screen's backing store, at device pixels.
    QImage backing(capture.size(), QImage::Format_RGB32);
    backing.setDevicePixelRatio(scale);
    {
        QPainter full(&backing);
        view.render(full, QRectF(view.rect()));
    }

    // One drag step as the widget does it: move, then repaint what the move dirtied.
    const auto measureDrag = [&](Tool tool, QPointF from, QPointF step, int count) {
        view.setActiveTool(tool);
        std::vector<double> times;
        view.pressAt(from);
        for (int i = 0; i < count; ++i) {
            from += step;
            QElapsedTimer timer;
            timer.start();
            const QRect dirty = view.dragTo(from);
            QPainter painter(&backing);
            painter.setClipRect(dirty);
            view.render(painter, QRectF(dirty));
            painter.end();
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        view.releaseAt();
        return times;
    };
    // (a) A new pencil stroke drawn right across the long one, and a rectangle being
    // dragged out, whose repaint area grows with every step.
    const std::vector<double> steps = measureDrag(
        Tool::pencil, QPointF(points.width() * 0.3, points.height() * 0.2), QPointF(2.5, 1.5), 400);
    const std::vector<double> shapeSteps = measureDrag(
        Tool::rectangle, QPointF(points.width() * 0.2, points.height() * 0.7), QPointF(3, -2), 200);

    // (b) The final image.
    std::vector<double> flattens;
    for (int i = 0; i < 9; ++i) {
        QElapsedTimer timer;
        timer.start();
        const auto image = view.flatten();
        flattens.push_back(timer.nsecsElapsed() / 1e6);
        if (!image || image->size() != capture.size()) {
            std::fprintf(stderr, "flatten produced the wrong image\n");
            return 1;
        }
    }

    std::printf("(a) drag step repaint, pencil: median %.2f ms, max %.2f ms\n", median(steps),
                *std::max_element(steps.begin(), steps.end()));
    std::printf("    drag step repaint, rectangle: median %.2f ms\n", median(shapeSteps));
    std::printf("(b) flatten %dx%d: median %.1f ms\n", capture.width(), capture.height(),
                median(flattens));
    return 0;
}
