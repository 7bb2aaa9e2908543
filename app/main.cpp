#include "MessageBoxes.h"
#include "SettingsStore.h"
#include "TfrmMain.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The name only, not a display name: Qt would append a display name to
    // every box's title ("Error — Latchwise").
    QApplication::setApplicationName(QStringLiteral("Latchwise"));

    SettingsStore store(settingsDatabasePath());
    QtMessageBoxes boxes;
    TfrmMain frmMain(libraryTermLinkFactory(QCoreApplication::applicationDirPath().toStdString()), store, boxes);
    frmMain.show();
    return QApplication::exec();
}
