#include "logotorvane.h"

#include "dialbuttonform.h"
#include "floatingwindowflags.h"
#include "logging.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>
#include <QtDebug>

namespace {
// The client has one dial button; its drag state is shared.
bool dragging = false;
QPoint dragOffset;
} // namespace

logoTorvane::logoTorvane(QWidget* parent)
    : QDialog(parent)
    , form(new DialButtonForm)
{
    setAutoFillBackground(true);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setStyleSheet(QStringLiteral("background:transparent;"));
    setWindowFlags(kFloatingFlags);
    form->setupUi(this);
    form->pushButton->setStyleSheet(QStringLiteral("background-color: rgba(255, 255, 255, 0);"));
}

logoTorvane::~logoTorvane()
{
    delete form;
}

void logoTorvane::place(const QPoint& position)
{
    move(position);
    m_userSpot.reset();
}

void logoTorvane::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        // A native Wayland window cannot set its own position: the
        // compositor moves it, following the pointer.
        if (QGuiApplication::platformName() == QLatin1String("wayland") && windowHandle()
            && windowHandle()->startSystemMove())
            return;
        dragging = true;
        dragOffset = QCursor::pos() - pos();
    } else {
        qCDebug(lcClient, "Eita 5");
        if (contextMenu && event->button() == Qt::RightButton)
            contextMenu->popup(event->globalPos());
    }
}

void logoTorvane::mouseMoveEvent(QMouseEvent*)
{
    if (!dragging)
        return;
    const QPoint target = QCursor::pos() - dragOffset;
    if (target != pos())
        m_userSpot = target;
    setProperty("pos", target);
}

void logoTorvane::mouseReleaseEvent(QMouseEvent*)
{
    dragging = false;
}

void logoTorvane::mouseDoubleClickEvent(QMouseEvent*)
{
    hide();
    if (mainWindow)
        mainWindow->show();
}

void logoTorvane::on_label_linkActivated(QMouseEvent*)
{
    qCDebug(lcClient, "Eita 2");
}
