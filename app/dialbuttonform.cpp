#include "dialbuttonform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFrame>
#include <QIcon>
#include <QPushButton>

void DialButtonForm::setupUi(QDialog* dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("logoTorvane"));
    dialog->resize(359, 168);
    dialog->setModal(true);

    pushButton = new QPushButton(dialog);
    pushButton->setObjectName(QStringLiteral("pushButton"));
    pushButton->setEnabled(true);
    pushButton->setGeometry(QRect(0, 0, 61, 61));
    pushButton->setCursor(QCursor(Qt::PointingHandCursor));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icone-discador.png"), QSize(), QIcon::Normal, QIcon::Off);
    pushButton->setIcon(icon);
    pushButton->setIconSize(QSize(47, 47));
    pushButton->setFlat(true);

    // Lies over the button: clicks reach the dialog, which handles dragging.
    frame = new QFrame(dialog);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setGeometry(QRect(-10, 0, 120, 80));
    frame->setCursor(QCursor(Qt::PointingHandCursor));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);

    retranslateUi(dialog);
    QMetaObject::connectSlotsByName(dialog);
}

void DialButtonForm::retranslateUi(QDialog* dialog)
{
    dialog->setWindowTitle(QCoreApplication::translate("logoTorvane", "APP"));
    pushButton->setText(QString());
}
