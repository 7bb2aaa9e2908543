#include "QueuedInput.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace {

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

class InputSink final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override { return isUserInput(event->type()); }
};

bool g_discarding = false;

} // namespace

void discardQueuedInput()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || g_discarding)
        return;
    g_discarding = true;
    InputSink sink;
    app->installEventFilter(&sink);
    // Delivers what the window system has queued, the input into the sink.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    app->removeEventFilter(&sink);
    g_discarding = false;
}
