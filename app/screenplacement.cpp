#include "screenplacement.h"

namespace screenplacement {

QPoint mainWindowPosition(const QRect& available, const QSize& window)
{
    return QPoint(available.x() + available.width() - window.width() - kRightMargin,
                  available.y() + available.height() - window.height());
}

QPoint dialButtonDefaultPosition(const QRect& available)
{
    return QPoint(available.x() + available.width() - 67, available.y() + available.height() - 107);
}

bool dialButtonIsOnAScreen(const QPoint& position, const QVector<QRect>& available)
{
    const QRect image(position, kDialButtonImage);
    for (const QRect& area : available) {
        if (area.contains(image))
            return true;
    }
    return false;
}

} // namespace screenplacement
