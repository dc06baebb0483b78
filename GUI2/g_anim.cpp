// The "please wait" dialog.
#include "GUI2/g_anim.h"

#include "TK/tk_log.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include <cmath>

std::array<QPixmap, dlg_animation::frame_count> animation_frames() {
    std::array<QPixmap, dlg_animation::frame_count> frames;
    constexpr int size = 32;
    constexpr double pi = 3.14159265358979323846;
    for (int f = 0; f < dlg_animation::frame_count; ++f) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        // Eight dots on a ring; the bright one and its fading tail move on one place per frame.
        for (int dot = 0; dot < dlg_animation::frame_count; ++dot) {
            const int behind = (f - dot + dlg_animation::frame_count) % dlg_animation::frame_count;
            const int shade = 40 + behind * 26;
            painter.setBrush(QColor(shade, shade + 20 > 255 ? 255 : shade + 20, 230));
            const double angle = dot * 2 * pi / dlg_animation::frame_count - pi / 2;
            const QPointF centre(size / 2.0 + 11 * std::cos(angle),
                                 size / 2.0 + 11 * std::sin(angle));
            const double radius = behind == 0 ? 4.0 : 3.0;
            painter.drawEllipse(centre, radius, radius);
        }
        frames[static_cast<std::size_t>(f)] = picture;
    }
    return frames;
}

dlg_animation::dlg_animation(const QString& text, int period_ms, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), period_ms_(period_ms) {
    setObjectName("101");
    setModal(true);
    // A popup without caption: the panel draws its edge.
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    outer->addWidget(panel);
    auto* row = new QHBoxLayout(panel);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(14);
    icon_ = new QLabel(panel);
    icon_->setObjectName("1301");
    icon_->setFixedSize(32, 32);
    row->addWidget(icon_);
    auto* label = new QLabel(text, panel);
    label->setObjectName("text");
    row->addWidget(label, 1);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

void dlg_animation::end_dialog() {
    ended_ = true;
    finish_later();
}

void dlg_animation::finish_later() {
    // Queued to the dialog's thread: delivered by the dialog's own event loop once it runs, and
    // dropped when the dialog is gone.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isVisible()) {
                finish();
            }
        },
        Qt::QueuedConnection);
}

void dlg_animation::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    frames_ = animation_frames();
    frame_ = 0;
    icon_->setPixmap(frames_[0]);
    timer_.start(period_ms_);
    if (QWidget* owner = parentWidget()) {
        QRect place = frameGeometry();
        place.moveCenter(owner->frameGeometry().center());
        move(place.topLeft());
    }
    raise();
    activateWindow();
    if (ended_) {
        finish_later();
    }
}

void dlg_animation::closeEvent(QCloseEvent* event) {
    if (!ended_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void dlg_animation::tick() {
    const int next = frame_ + 1 >= frame_count ? 0 : frame_ + 1;
    frame_ = next;
    icon_->setPixmap(frames_[static_cast<std::size_t>(next)]);
}

void dlg_animation::finish() {
    timer_.stop();
    frame_ = -1;
    tk_log_message(1, "dlg_animation::end");
    done(0);
}
