#include "ui/clogowidget.h"

#include <QDebug>
#include <QPainter>

#include "app/constants.h"
#include "ui/theme.h"
#include "ui/cardpainting.h"

CLogoWidget::CLogoWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CLogoWidget"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CLogoWidget::sizeHint() const
{
    return QSize(120, 42);
}

void CLogoWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(Qt::NoPen);
    const QList<QSize> sizes = logoIcon.availableSizes(QIcon::Normal, QIcon::Off);
    if (sizes.isEmpty()) {
        qDebug().noquote() << "[CLogoWidget::paintEvent] ERROR! Invalid ICO - nothing to be printed";
        drawStyledBackground(this, painter);
        return;
    }
    drawStyledBackground(this, painter);

    const int w1 = textWidth(font(), LOGO_WORD_FIRST);
    const int w2 = textWidth(font(), LOGO_WORD_SECOND);
    const int h1 = textHeight(font(), LOGO_WORD_FIRST);
    const int h2 = textHeight(font(), LOGO_WORD_SECOND);
    const int W = width();
    const int H = height();
    const QPixmap pixmap = logoIcon.pixmap(sizes.first(), QIcon::Normal, QIcon::Off)
                               .scaledToHeight(H - 6, Qt::SmoothTransformation);
    const int P = pixmap.width();
    const int T = P + qMax(w1, w2) + 12;
    painter.drawPixmap((W - T) / 2 + 3, (H - pixmap.height()) / 2, pixmap);

    painter.setPen(cosmeticPen(palette().color(QPalette::Text)));
    const int wordLeft = (W - T) / 2 + P + 6;
    painter.drawText(QRect(wordLeft, H / 2 - h1 + 3, w1 + 6, h1), Qt::AlignLeft, LOGO_WORD_FIRST);
    painter.drawText(QRect(wordLeft, H / 2 - 3, w2 + 6, h2), Qt::AlignLeft, LOGO_WORD_SECOND);
}
