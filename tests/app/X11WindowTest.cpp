// The window under a real X server (run by xvfb-run): box titles as the window
// manager reads them, and real mouse input that arrives while a terminal call
// blocks the window. Talks only to a termsim on loopback, through a proxy
// that holds the terminal's first answer back like a slow terminal would.
#include "MessageBoxes.h"
#include "SettingsStore.h"
#include "TermLinkLoader.h"
#include "TerminalConstants.h"
#include "TermsimProcess.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr const char* kTerminalAddress = "127.0.9.1";
constexpr const char* kProxyAddress = "127.0.9.2";

int loopbackSocket(const char* address, bool listen)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(kTerminalPort));
    ::inet_pton(AF_INET, address, &where.sin_addr);
    const auto* sa = reinterpret_cast<const sockaddr*>(&where);
    if (listen) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, sa, sizeof where) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            return -1;
        }
    } else if (::connect(fd, sa, sizeof where) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Forwards each connection to the terminal, holding the terminal's first
// bytes back for `delay`: the control's Connect blocks for that long.
class SlowProxy {
public:
    explicit SlowProxy(std::chrono::milliseconds delay)
        : m_listener(loopbackSocket(kProxyAddress, true))
        , m_thread([this, delay] { run(delay); })
    {
    }
    ~SlowProxy()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    bool listening() const { return m_listener >= 0; }

private:
    void run(std::chrono::milliseconds delay)
    {
        while (!m_stop && m_listener >= 0) {
            pollfd accepting { m_listener, POLLIN, 0 };
            if (::poll(&accepting, 1, 50) <= 0)
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int terminal = loopbackSocket(kTerminalAddress, false);
            if (client >= 0 && terminal >= 0)
                pump(client, terminal, delay);
            ::close(client);
            ::close(terminal);
        }
    }
    void pump(int client, int terminal, std::chrono::milliseconds delay)
    {
        bool held = false;
        char buffer[65536];
        while (!m_stop) {
            pollfd fds[2] = { { client, POLLIN, 0 }, { terminal, POLLIN, 0 } };
            if (::poll(fds, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0)
                    return;
                if (i == 1 && !held) {
                    held = true;
                    std::this_thread::sleep_for(delay);
                }
                if (::send(fds[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
                    return;
            }
        }
    }

    int m_listener;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

// _NET_WM_NAME of a shown window, as xprop prints it.
QString windowManagerTitle(QWidget* window)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
        { QStringLiteral("-id"), QString::number(window->winId()), QStringLiteral("_NET_WM_NAME") });
    if (!xprop.waitForFinished(5000))
        return QStringLiteral("(xprop did not answer)");
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const qsizetype first = out.indexOf(QLatin1Char('"'));
    const qsizetype last = out.lastIndexOf(QLatin1Char('"'));
    return first >= 0 && last > first ? out.mid(first + 1, last - first - 1) : out;
}

// Answers every modal box as it appears, noting the title the window manager
// sees and the box's text.
class BoxWatcher {
public:
    struct Seen {
        QString title;
        QString text;
    };
    BoxWatcher()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            seen.push_back({ windowManagerTitle(box), box->text() });
            box->accept();
        });
        m_timer.start(30);
    }
    std::vector<Seen> seen;

private:
    QTimer m_timer;
};

class X11WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "run under xvfb-run";
        window = std::make_unique<TfrmMain>(libraryTermLinkFactory(std::filesystem::path(TERMLINK_DIR)), store, boxes);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QTest::qWait(100); // the queued FormShow loads the control
        ASSERT_NE(window->termLink(), nullptr);
    }
    template <typename T> T* child(const char* name) const { return window->findChild<T*>(QString::fromLatin1(name)); }
    // Real pointer clicks through the X server, `count` of them `gapMs` apart.
    void xClick(QWidget* target, int count, int gapMs)
    {
        const QPoint at = target->mapToGlobal(target->rect().center());
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"),
            QStringList { QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                QStringLiteral("sleep"), QStringLiteral("0.1"), QStringLiteral("click"), QStringLiteral("--repeat"),
                QString::number(count), QStringLiteral("--delay"), QString::number(gapMs), QStringLiteral("1") });
        ASSERT_TRUE(xdotool.waitForStarted(5000));
        // Keep the window's event loop running while xdotool clicks.
        for (int i = 0; i < 200 && xdotool.state() != QProcess::NotRunning; ++i)
            QTest::qWait(20);
        ASSERT_EQ(xdotool.exitCode(), 0) << xdotool.readAllStandardError().toStdString();
    }

    std::filesystem::path storeFile
        = std::filesystem::temp_directory_path() / ("latchwise-x11-" + std::to_string(::getpid()) + ".db");
    SettingsStore store { storeFile };
    QtMessageBoxes boxes;
    BoxWatcher watcher;
    std::unique_ptr<TfrmMain> window;

    void TearDown() override
    {
        window.reset();
        std::filesystem::remove(storeFile);
    }
};

TEST_F(X11WindowTest, BoxTitlesAreTheirOwnAndTheWindowIsTheProgram)
{
    EXPECT_EQ(windowManagerTitle(window.get()), QStringLiteral("Latchwise"));

    TermsimProcess sim(kTerminalAddress);
    ASSERT_TRUE(sim.started()) << sim.output();
    auto* ip = child<QLineEdit>("edtIP");
    auto* key = child<QLineEdit>("edtKey");
    auto* button = child<QPushButton>("btnUpdate");

    ip->clear();
    button->click(); // blank address: "Error"
    child<QCheckBox>("tz3")->click(); // zone 3 before zone 2: "Warning"
    ip->setText(QString::fromLatin1(kTerminalAddress));
    key->setText(QStringLiteral("abc"));
    button->click(); // a key that is no number: the general error box
    key->setText(QStringLiteral("0"));
    button->click(); // Connect
    button->click(); // Update: "Information"
    QTest::qWait(200);

    std::vector<QString> titles;
    for (const auto& box : watcher.seen)
        titles.push_back(box.title + QStringLiteral(": ") + box.text);
    EXPECT_EQ(titles,
        (std::vector<QString> { QStringLiteral("Error: IP cannot be blank! "),
            QStringLiteral("Warning: Please enable the Time Zone 2 before enable the Time Zone 3."),
            QStringLiteral("Latchwise: 'abc' is not a valid integer value."),
            QStringLiteral("Information: Update Tervalo Terminal Successful.") }));
}

TEST_F(X11WindowTest, SecondClickDuringASlowConnectIsNotReplayedAsAnUpdate)
{
    TermsimProcess sim(kTerminalAddress);
    ASSERT_TRUE(sim.started()) << sim.output();
    SlowProxy proxy(700ms);
    ASSERT_TRUE(proxy.listening());
    child<QLineEdit>("edtIP")->setText(QString::fromLatin1(kProxyAddress));
    auto* button = child<QPushButton>("btnUpdate");

    xClick(button, 2, 150); // the second click lands while Connect waits
    QTest::qWait(300);

    EXPECT_EQ(window->buttonStage(), 1);
    EXPECT_EQ(button->text(), QStringLiteral("Update"));
    EXPECT_FALSE(child<QPlainTextEdit>("Memo1")->toPlainText().contains(QStringLiteral("Updating...")));
    for (const std::string& op : sim.operations())
        EXPECT_EQ(op.rfind("Write", 0), std::string::npos) << op;
    EXPECT_TRUE(watcher.seen.empty());

    // Input after the call is handled as usual: one more click updates.
    xClick(button, 1, 0);
    QTest::qWait(300);
    EXPECT_EQ(window->buttonStage(), 2);
}

} // namespace
