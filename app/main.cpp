#include "MessageBoxes.h"
#include "SettingsStore.h"
#include "TfrmMain.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Latchwise"));
    QApplication::setApplicationDisplayName(QStringLiteral("Latchwise"));

    SettingsStore store(settingsDatabasePath());
    QtMessageBoxes boxes;
    TfrmMain frmMain(libraryTermLinkFactory(QCoreApplication::applicationDirPath().toStdString()), store, boxes);
    frmMain.show();
    return QApplication::exec();
}
