#pragma once

#include <QDialog>

#include <optional>

class QMainWindow;
class QMenu;
class QMouseEvent;
struct DialButtonForm;

// The floating dial button shown while the main window is put away: it can
// be dragged with the left button, and a double click brings the window back.
class logoTorvane : public QDialog
{
    Q_OBJECT

public:
    explicit logoTorvane(QWidget* parent = nullptr);
    ~logoTorvane() override;

    void setMainWindow(QMainWindow* window) { mainWindow = window; }
    DialButtonForm* dialButtonForm() const { return form; }
    // A menu for the right button (the tray's, while the desktop has no
    // tray); null for none.
    void setContextMenu(QMenu* menu) { contextMenu = menu; }
    // Where the user last dragged the button to; null once the program
    // placed it. A compositor may move the window later (off a monitor that
    // went away, say): this stays the user's own spot.
    std::optional<QPoint> userSpot() const { return m_userSpot; }
    void place(const QPoint& position);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void on_label_linkActivated(QMouseEvent* event);

private:
    DialButtonForm* form;
    QMainWindow* mainWindow = nullptr;
    QMenu* contextMenu = nullptr;
    std::optional<QPoint> m_userSpot;
};
