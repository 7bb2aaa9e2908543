#include "MessageBoxes.h"

#include "QueuedInput.h"

#include <QMessageBox>

void QtMessageBoxes::show(QWidget* parent, Kind kind, const QString& title, const QString& text)
{
    QMessageBox::Icon icon = QMessageBox::Information;
    if (kind == Kind::Error)
        icon = QMessageBox::Critical;
    else if (kind == Kind::Warning)
        icon = QMessageBox::Warning;
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    // A key pressed while the window was blocked must not close the box unread.
    discardQueuedInput();
    box.exec();
}
