#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVector>

// Where the main window and the dial button stand on the screens there are:
// the window at the bottom right of the available area of its screen, 20
// pixels from the right; the dial button, by default, near that corner.
namespace screenplacement {

constexpr int kRightMargin = 20;
// The dial button's image, at the top left of its mostly transparent window.
constexpr QSize kDialButtonImage(61, 61);

QPoint mainWindowPosition(const QRect& available, const QSize& window);
QPoint dialButtonDefaultPosition(const QRect& available);
// Whether the dial button's image, with its window at `position`, lies
// wholly within the available area of one of the screens.
bool dialButtonIsOnAScreen(const QPoint& position, const QVector<QRect>& available);

} // namespace screenplacement
