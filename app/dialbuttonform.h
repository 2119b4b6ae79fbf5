#pragma once

class QDialog;
class QFrame;
class QPushButton;

// The two child widgets of the floating dial button.
struct DialButtonForm
{
    QPushButton* pushButton = nullptr;
    QFrame* frame = nullptr;

    void setupUi(QDialog* dialog);
    void retranslateUi(QDialog* dialog);
};
