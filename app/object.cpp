#include "object.h"

#include <QMainWindow>

Object::Object(QObject* parent)
    : QObject(parent)
{
}

void Object::closeWindow()
{
    if (mainWindow)
        mainWindow->hide();
    if (dialButton)
        dialButton->show();
}
