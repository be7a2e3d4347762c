#include "EditorView.h"

#include "ModelGeometry.h"
#include "Settings.h"
#include "TextAnnotation.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScreen>

namespace kestrova {

EditorView::EditorView(QImage image, QScreen* screen, QRectF selection, QWidget* parent)
    : EditorView(std::move(image), ScreenInfo::of(screen), selection,
                 Settings::shared().defaultColor(), Settings::shared().defaultThickness(), parent) {
}

EditorView::EditorView(QImage image, ScreenInfo screen, QRectF selection, QColor defaultColor,
                       double defaultThickness, QWidget* parent)
    : QWidget(parent), m_canvas(screen.geometry.size(), selection, defaultColor, defaultThickness),
      m_renderer(std::move(image), screen) {
    resize(screen.geometry.size());
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QPointF EditorView::modelPoint(const QMouseEvent* event) const {
    return geometry::toModel(event->position(), height());
}

QRect EditorView::updateModelRect(const QRectF& modelRect) {
    const QRect dirty = geometry::toWidget(modelRect, height())
                            .toAlignedRect()
                            .adjusted(-2, -2, 2, 2)
                            .intersected(rect());
    update(dirty);
    return dirty;
}

QRect EditorView::updateAll() {
    update();
    return rect();
}

void EditorView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        pressAt(modelPoint(event));
}

void EditorView::mouseMoveEvent(QMouseEvent* event) {
    dragTo(modelPoint(event));
}

void EditorView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        releaseAt();
}

QRect EditorView::pressAt(QPointF p) {
    switch (m_canvas.press(p)) {
    case EditorCanvas::Press::committedText:
        closeTextField();
        return updateAll();
    case EditorCanvas::Press::openedText:
        openTextField();
        return {};
    case EditorCanvas::Press::drawing:
        return updateModelRect(m_canvas.drawingChange());
    default:
        return {};
    }
}

QRect EditorView::dragTo(QPointF p) {
    const bool drawing = m_canvas.drawing() != nullptr;
    if (m_canvas.drag(p)) {
        emit onSelectionChanged();
        return updateAll();
    }
    // Only what the shape says changed: a stroke's newest segment, a shape's old and
    // new extent.
    return drawing ? updateModelRect(m_canvas.drawingChange()) : QRect();
}

QRect EditorView::releaseAt() {
    const auto drawing = m_canvas.drawing();
    m_canvas.release();
    return drawing ? updateModelRect(drawing->bounds()) : QRect();
}

void EditorView::openTextField() {
    const auto& open = *m_canvas.openText();
    m_textField = new QLineEdit(this);
    m_textField->setFrame(false);
    m_textField->setPlaceholderText(QStringLiteral("Text…"));
    m_textField->setFont(TextAnnotation::font(open.size));
    QPalette palette = m_textField->palette();
    palette.setColor(QPalette::Text, open.color);
    palette.setColor(QPalette::Base, Qt::transparent);
    m_textField->setPalette(palette);
    m_textField->setAttribute(Qt::WA_TranslucentBackground);
    m_textField->setStyleSheet(QStringLiteral("background: transparent; border: none;"));
    m_textField->setTextMargins(0, 0, 0, 0);
    // The field's frame in model space: origin at the press, 320 wide, 1.5 lines high.
    const QRectF frame(open.fieldOrigin, QSizeF(320, open.size * 1.5));
    m_textField->setGeometry(geometry::toWidget(frame, height()).toRect());
    m_textField->installEventFilter(this);
    connect(m_textField, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_canvas.setPendingText(text); });
    connect(m_textField, &QLineEdit::returnPressed, this, [this] {
        m_canvas.commitText();
        closeTextField();
        update();
    });
    m_textField->show();
    m_textField->setFocus();
}

void EditorView::closeTextField() {
    if (!m_textField)
        return;
    QLineEdit* field = m_textField;
    m_textField = nullptr;
    field->removeEventFilter(this);
    field->hide();
    field->deleteLater();
    setFocus();
}

bool EditorView::handleUndoKey(const QKeyEvent* event) {
    if ((event->modifiers() & Qt::ControlModifier) && event->key() == Qt::Key_Z) {
        undo();
        return true;
    }
    return false;
}

bool EditorView::eventFilter(QObject* watched, QEvent* event) {
    // Ctrl+Z undoes annotations even while text is being typed, as it does elsewhere.
    // One keystroke arrives twice: first as a shortcut override, which is only claimed
    // here (so that no shortcut takes it), then as the key press, which undoes.
    if (watched == m_textField && event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & Qt::ControlModifier) && key->key() == Qt::Key_Z) {
            key->accept();
            return true;
        }
    }
    if (watched == m_textField && event->type() == QEvent::KeyPress &&
        handleUndoKey(static_cast<QKeyEvent*>(event)))
        return true;
    return QWidget::eventFilter(watched, event);
}

void EditorView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        if (m_canvas.openText()) {
            m_canvas.discardText();
            closeTextField();
        } else {
            emit onDismiss();
        }
        return;
    }
    if (handleUndoKey(event))
        return;
    QWidget::keyPressEvent(event);
}

void EditorView::undo() {
    if (m_canvas.undo())
        update();
}

std::optional<QImage> EditorView::flatten() {
    return flattenJob()();
}

std::function<std::optional<QImage>()> EditorView::flattenJob() {
    if (m_canvas.openText()) {
        if (m_textField)
            m_canvas.setPendingText(m_textField->text());
        m_canvas.commitText();
        closeTextField();
        update();
    }
    if (m_canvas.drawing())
        m_canvas.release();
    // A stroke still being drawn ends here: from now on no one may change what the job
    // reads. It gets copies (the capture is shared, not duplicated), since the editor
    // may change or go away while it runs; finished annotations are immutable.
    return [capture = m_renderer.capture(), screen = m_renderer.screen(),
            selection = m_canvas.selectionRect(), annotations = m_canvas.annotations()] {
        return CanvasRenderer::flatten(capture, screen, selection, annotations);
    };
}

void EditorView::render(QPainter& painter, const QRectF& dirty) const {
    m_renderer.paint(painter, m_canvas, dirty);
}

void EditorView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    render(painter, event->rect());
}

} // namespace kestrova
