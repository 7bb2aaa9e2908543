#include "LatchwiseVersion.h"
#include "MessageBoxes.h"
#include "SettingsStore.h"
#include "TfrmMain.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    // The one argument the window reads, answered before any window or display exists.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("latchwise %s\n", kLatchwiseVersion);
        return 0;
    }
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
