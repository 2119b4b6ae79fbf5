#pragma once

#include <Qt>

// The main window and the dial button float above everything, without a frame.
inline constexpr Qt::WindowFlags kFloatingFlags
    = Qt::SubWindow | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint;
