// The wizard's pictures: two database drums joined by an arrow, on a blue ground.
#include "GUI2/g_images.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// A database drum with its top ellipse, inside `box`.
void draw_drum(QPainter& painter, const QRectF& box, const QColor& colour) {
    const qreal lid = box.height() / 5;
    QPainterPath body;
    body.moveTo(box.left(), box.top() + lid / 2);
    body.lineTo(box.left(), box.bottom() - lid / 2);
    body.arcTo(QRectF(box.left(), box.bottom() - lid, box.width(), lid), 180, 180);
    body.lineTo(box.right(), box.top() + lid / 2);
    body.arcTo(QRectF(box.left(), box.top(), box.width(), lid), 0, -180);
    painter.setPen(QPen(colour.darker(160), box.width() / 24));
    painter.setBrush(colour);
    painter.drawPath(body);
    painter.setBrush(colour.lighter(130));
    painter.drawEllipse(QRectF(box.left(), box.top(), box.width(), lid));
}

// A right-pointing arrow between the two drums.
void draw_arrow(QPainter& painter, const QRectF& box) {
    QPainterPath arrow;
    const qreal mid = box.center().y();
    const qreal shaft = box.height() / 6;
    const qreal head = box.width() * 0.45;
    arrow.moveTo(box.left(), mid - shaft);
    arrow.lineTo(box.right() - head, mid - shaft);
    arrow.lineTo(box.right() - head, box.top());
    arrow.lineTo(box.right(), mid);
    arrow.lineTo(box.right() - head, box.bottom());
    arrow.lineTo(box.right() - head, mid + shaft);
    arrow.lineTo(box.left(), mid + shaft);
    arrow.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 196, 60));
    painter.drawPath(arrow);
}

// The emblem: source drum, arrow, destination drum, scaled into `box`.
void draw_emblem(QPainter& painter, const QRectF& box) {
    const qreal w = box.width();
    const qreal h = box.height();
    draw_drum(painter, QRectF(box.left(), box.top() + h * 0.15, w * 0.34, h * 0.7),
              QColor(200, 70, 60));
    draw_arrow(painter, QRectF(box.left() + w * 0.36, box.top() + h * 0.38, w * 0.28, h * 0.24));
    draw_drum(painter, QRectF(box.left() + w * 0.66, box.top() + h * 0.15, w * 0.34, h * 0.7),
              QColor(40, 120, 190));
}

QPixmap emblem(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    draw_emblem(painter, QRectF(1, 1, size - 2, size - 2));
    return pixmap;
}

} // namespace

QPixmap wizard_watermark() {
    // As tall as the page area of the frame's usual size, so the band reaches the buttons.
    constexpr int height = 412;
    QPixmap pixmap(164, height);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient ground(0, 0, 0, height);
    ground.setColorAt(0, QColor(18, 52, 100));
    ground.setColorAt(1, QColor(60, 130, 200));
    painter.fillRect(pixmap.rect(), ground);
    draw_emblem(painter, QRectF(14, 40, 136, 110));
    painter.setPen(QColor(255, 255, 255, 60));
    for (int y = 190; y < height + 40; y += 18) {
        painter.drawLine(0, y, 164, y - 40);
    }
    return pixmap;
}

QPixmap wizard_logo() {
    return emblem(64);
}

QIcon wizard_icon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        icon.addPixmap(emblem(size));
    }
    return icon;
}
