#include "logotorvane.h"

#include "dialbuttonform.h"
#include "floatingwindowflags.h"
#include "logging.h"

#include <QCursor>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPushButton>
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

void logoTorvane::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragOffset = QCursor::pos() - pos();
    } else {
        qCDebug(lcClient, "Eita 5");
    }
}

void logoTorvane::mouseMoveEvent(QMouseEvent*)
{
    if (dragging)
        setProperty("pos", QCursor::pos() - dragOffset);
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
