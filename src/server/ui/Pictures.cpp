#include "server/ui/Pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace oskel::server::ui {

namespace {
template <class Draw> QIcon drawn(Draw draw)
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 64.0, size / 64.0);
        draw(p);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QPainterPath bubble(QRectF body, QPointF tail)
{
    QPainterPath path;
    path.addRoundedRect(body, 7, 7);
    QPainterPath t;
    t.moveTo(body.left() + body.width() * 0.25, body.bottom() - 1);
    t.lineTo(tail);
    t.lineTo(body.left() + body.width() * 0.48, body.bottom() - 1);
    t.closeSubpath();
    return path.united(t);
}
} // namespace

QIcon serverIcon(bool running)
{
    return drawn([running](QPainter& p) {
        // A rounded tile with two speech bubbles: the organisation talking.
        p.setPen(Qt::NoPen);
        QLinearGradient bg(0, 0, 0, 64);
        bg.setColorAt(0, QColor(0x2b, 0x6c, 0xb0));
        bg.setColorAt(1, QColor(0x1d, 0x4a, 0x7a));
        p.setBrush(bg);
        p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
        p.setBrush(QColor(0xbf, 0xdb, 0xf7));
        p.drawPath(bubble(QRectF(24, 10, 32, 22), QPointF(48, 40)));
        p.setBrush(Qt::white);
        p.drawPath(bubble(QRectF(8, 20, 36, 24), QPointF(12, 54)));
        p.setBrush(QColor(0x1d, 0x4a, 0x7a));
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(17 + i * 9, 32), 2.6, 2.6);
        p.setPen(QPen(Qt::white, 3));
        p.setBrush(running ? QColor(0x2e, 0xb8, 0x4b) : QColor(0x9a, 0x9a, 0x9a));
        p.drawEllipse(QPointF(50, 50), 9, 9);
    });
}

QIcon startIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2e, 0xa0, 0x43));
        p.drawEllipse(QRectF(4, 4, 56, 56));
        QPainterPath play;
        play.moveTo(25, 18);
        play.lineTo(47, 32);
        play.lineTo(25, 46);
        play.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(play);
    });
}

QIcon stopIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xc9, 0x3c, 0x37));
        p.drawEllipse(QRectF(4, 4, 56, 56));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(21, 21, 22, 22), 3, 3);
    });
}

} // namespace oskel::server::ui
