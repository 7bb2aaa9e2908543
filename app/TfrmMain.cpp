#include "TfrmMain.h"

#include "Edits.h"
#include "QueuedInput.h"
#include "Schedule.h"
#include "SettingsStore.h"
#include "TCTermLink.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <exception>

namespace {

constexpr int kClientWidth = 700;
constexpr int kClientHeight = 554;
constexpr int kMemoHeight = 239;
constexpr int kGroupHeight = 259;
constexpr int kGroupTop = kClientHeight - kMemoHeight - kGroupHeight;

// Grid geometry inside the settings group.
constexpr std::array<int, 10> kColumnX { 88, 144, 208, 264, 328, 384, 448, 504, 568, 624 };
constexpr std::array<int, 5> kDashX { 128, 248, 368, 488, 608 };
constexpr int kFirstRowY = 80;
constexpr int kRowStep = 24;
constexpr int kFieldWidth = 40;
constexpr int kFieldHeight = 21;
constexpr int kTzBoxY = 56;

QFont boldFont(const QFont& base)
{
    QFont font = base;
    font.setBold(true);
    return font;
}

void paintBlueText(QWidget* widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Active, QPalette::Text, Qt::blue);
    palette.setColor(QPalette::Inactive, QPalette::Text, Qt::blue);
    widget->setPalette(palette);
}

} // namespace

TfrmMain::TfrmMain(TermLinkFactory termLinkFactory, SettingsStore& store, IMessageBoxes& boxes, QWidget* parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_termLinkFactory(std::move(termLinkFactory))
    , m_store(store)
    , m_boxes(boxes)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Latchwise"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    setFixedSize(kClientWidth, kClientHeight);

    buildTopStrip();
    buildSettingsGroup();
    buildGrid();

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(0, kClientHeight - kMemoHeight, kClientWidth, kMemoHeight);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    paintBlueText(Memo1);

    setTabOrder();
    setAccessibleNames();
    connectHandlers();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::buildTopStrip()
{
    const QFont bold = boldFont(font());

    lblIP = new QLabel(QStringLiteral("IP :"), this);
    lblIP->setObjectName(QStringLiteral("lblIP"));
    lblIP->setFont(bold);
    lblIP->setGeometry(12, 18, 24, 17);

    edtIP = new IpAddressEdit(this);
    edtIP->setObjectName(QStringLiteral("edtIP"));
    edtIP->setText(QStringLiteral("192.168.1.201"));
    edtIP->setGeometry(40, 16, 113, 21);
    lblIP->setBuddy(edtIP);

    lblKey = new QLabel(QStringLiteral("Key"), this);
    lblKey->setObjectName(QStringLiteral("lblKey"));
    lblKey->setFont(bold);
    lblKey->setGeometry(168, 18, 28, 17);

    edtKey = new QLineEdit(QStringLiteral("0"), this);
    edtKey->setObjectName(QStringLiteral("edtKey"));
    edtKey->setGeometry(200, 16, 81, 21);
    lblKey->setBuddy(edtKey);

    rbtnEnable = new QRadioButton(QStringLiteral("Enable Force Open/Close"), this);
    rbtnEnable->setObjectName(QStringLiteral("rbtnEnable"));
    rbtnEnable->setFont(bold);
    rbtnEnable->setGeometry(304, 6, 220, 20);
    rbtnEnable->setChecked(true);

    rbtnDisable = new QRadioButton(QStringLiteral("Disable Force Open/Close"), this);
    rbtnDisable->setObjectName(QStringLiteral("rbtnDisable"));
    rbtnDisable->setFont(bold);
    rbtnDisable->setGeometry(304, 30, 220, 20);

    btnUpdate = new QPushButton(QStringLiteral("Connect"), this);
    btnUpdate->setObjectName(QStringLiteral("btnUpdate"));
    btnUpdate->setFont(bold);
    btnUpdate->setGeometry(552, 5, 137, 45);
}

void TfrmMain::buildSettingsGroup()
{
    const QFont bold = boldFont(font());

    gbTZ = new QGroupBox(QStringLiteral(" Setting "), this);
    gbTZ->setObjectName(QStringLiteral("gbTZ"));
    gbTZ->setGeometry(0, kGroupTop, kClientWidth, kGroupHeight);

    rbtnOpen = new QRadioButton(QStringLiteral("Force Open"), gbTZ);
    rbtnOpen->setObjectName(QStringLiteral("rbtnOpen"));
    rbtnOpen->setFont(bold);
    rbtnOpen->setGeometry(88, 24, 110, 20);
    rbtnOpen->setChecked(true);

    rbtnClose = new QRadioButton(QStringLiteral("Force Close"), gbTZ);
    rbtnClose->setObjectName(QStringLiteral("rbtnClose"));
    rbtnClose->setFont(bold);
    rbtnClose->setGeometry(208, 24, 110, 20);

    for (int zone = 2; zone <= schedule::kZones; ++zone) {
        auto* box = new QCheckBox(QStringLiteral("Time Zone %1").arg(zone), gbTZ);
        box->setObjectName(QStringLiteral("tz%1").arg(zone));
        box->setFont(bold);
        box->setGeometry(kColumnX.at(static_cast<std::size_t>(schedule::startColumn(zone) - 1)), kTzBoxY, 110, 20);
        m_tzBoxes.at(static_cast<std::size_t>(zone - 2)) = box;
    }

    // Never shown: their handlers run only when another handler calls them.
    const auto hiddenButton = [this](const char* name, const char* caption, int x) {
        auto* button = new QPushButton(QString::fromLatin1(caption), gbTZ);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(x, 232, 100, 22);
        button->setVisible(false);
        return button;
    };
    btnGetTZInfo = hiddenButton("btnGetTZInfo", "Get TimeZone Info", 360);
    btnSetTZInfo = hiddenButton("btnSetTZInfo", "Set TimeZone Info", 464);
    btnGetGroup = hiddenButton("btnGetGroup", "Get Group TZ", 360);
    btnSetGroup = hiddenButton("btnSetGroup", "Set Group TZ", 464);
}

void TfrmMain::buildGrid()
{
    const QFont bold = boldFont(font());
    for (int day = 0; day < schedule::kDays; ++day) {
        const int y = kFirstRowY + day * kRowStep;
        auto* dayLabel
            = new QLabel(QString::fromLatin1(schedule::kDayNames.at(static_cast<std::size_t>(day)).data()), gbTZ);
        dayLabel->setObjectName(QStringLiteral("lbl%1").arg(
            QString::fromLatin1(schedule::kDayNames.at(static_cast<std::size_t>(day)).data())));
        dayLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        dayLabel->setGeometry(4, y, 76, kFieldHeight);

        for (int zone = 1; zone <= schedule::kZones; ++zone) {
            auto* dash = new QLabel(QStringLiteral("---"), gbTZ);
            dash->setFont(bold);
            dash->setAlignment(Qt::AlignCenter);
            dash->setGeometry(kDashX.at(static_cast<std::size_t>(zone - 1)), y, 16, kFieldHeight);
        }

        for (int column = 1; column <= schedule::kColumns; ++column) {
            auto* field = new TimeEdit(gbTZ);
            field->setObjectName(QString::fromStdString(schedule::fieldName(day, column)));
            field->setText(QString::fromStdU16String(schedule::defaultFieldText(day, column)));
            field->setGeometry(kColumnX.at(static_cast<std::size_t>(column - 1)), y, kFieldWidth, kFieldHeight);
            field->setEnabled(column <= 2);
            paintBlueText(field);
            m_grid.at(static_cast<std::size_t>(day)).at(static_cast<std::size_t>(column - 1)) = field;
        }
    }
}

void TfrmMain::setTabOrder()
{
    std::vector<QWidget*> order { edtIP, edtKey, rbtnEnable, rbtnDisable, btnUpdate, rbtnOpen, rbtnClose };
    for (int zone = 1; zone <= schedule::kZones; ++zone) {
        if (zone > 1)
            order.push_back(tzBox(zone));
        for (TimeEdit* field : zoneFields(zone))
            order.push_back(field);
    }
    order.push_back(Memo1);
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void TfrmMain::setAccessibleNames()
{
    edtIP->setAccessibleName(QStringLiteral("IP"));
    edtKey->setAccessibleName(QStringLiteral("Key"));
    Memo1->setAccessibleName(QStringLiteral("Log"));
    for (int day = 0; day < schedule::kDays; ++day) {
        for (int column = 1; column <= schedule::kColumns; ++column)
            timeField(day, column)
                ->setAccessibleName(QString::fromStdString(schedule::accessibleFieldName(day, column)));
    }
}

void TfrmMain::connectHandlers()
{
    const auto handle
        = [this](auto method) { return [this, method]() { guarded([this, method] { (this->*method)(); }); }; };

    connect(btnUpdate, &QPushButton::clicked, this, handle(&TfrmMain::btnUpdateClick));
    connect(rbtnEnable, &QRadioButton::toggled, this, handle(&TfrmMain::rbtnEnableClick));
    connect(rbtnDisable, &QRadioButton::toggled, this, handle(&TfrmMain::rbtnDisableClick));
    connect(btnGetTZInfo, &QPushButton::clicked, this, handle(&TfrmMain::btnGetTZInfoClick));
    connect(btnSetTZInfo, &QPushButton::clicked, this, handle(&TfrmMain::btnSetTZInfoClick));
    connect(btnSetGroup, &QPushButton::clicked, this, handle(&TfrmMain::btnSetGroupClick));

    connect(tzBox(2), &QCheckBox::toggled, this, handle(&TfrmMain::tz2Click));
    connect(tzBox(3), &QCheckBox::toggled, this, handle(&TfrmMain::tz3Click));
    connect(tzBox(4), &QCheckBox::toggled, this, handle(&TfrmMain::tz4Click));
    connect(tzBox(5), &QCheckBox::toggled, this, handle(&TfrmMain::tz5Click));

    // mon1 normalises on every change of its text, the other fields on leaving.
    TimeEdit* mon1 = timeField(1, 1);
    connect(mon1, &QLineEdit::textChanged, this, handle(&TfrmMain::mon1Change));
    for (int day = 0; day < schedule::kDays; ++day) {
        for (int column = 1; column <= schedule::kColumns; ++column) {
            TimeEdit* field = timeField(day, column);
            if (field != mon1)
                connect(
                    field, &TimeEdit::left, this, [this, field] { guarded([this, field] { timeFieldExit(field); }); });
        }
    }
}

TimeEdit* TfrmMain::timeField(int day, int column) const
{
    return m_grid.at(static_cast<std::size_t>(day)).at(static_cast<std::size_t>(column - 1));
}

QCheckBox* TfrmMain::tzBox(int zone) const
{
    return m_tzBoxes.at(static_cast<std::size_t>(zone - 2));
}

std::array<TimeEdit*, 14> TfrmMain::zoneFields(int zone) const
{
    std::array<TimeEdit*, 14> fields {};
    for (int day = 0; day < schedule::kDays; ++day) {
        fields.at(static_cast<std::size_t>(2 * day)) = timeField(day, schedule::startColumn(zone));
        fields.at(static_cast<std::size_t>(2 * day + 1)) = timeField(day, schedule::endColumn(zone));
    }
    return fields;
}

void TfrmMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_formShown || event->spontaneous())
        return;
    m_formShown = true;
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    // Runs once the window is on screen, so its boxes stand over a visible window.
    QTimer::singleShot(0, this, [this] { guarded([this] { FormShow(); }); });
}

void TfrmMain::FormShow()
{
    try {
        m_termLink = std::make_unique<TCTermLink>(m_termLinkFactory());
    } catch (const std::exception& error) {
        m_boxes.show(this, IMessageBoxes::Kind::Error, QStringLiteral("Error"),
            QStringLiteral("SDK Error : -") + QString::fromUtf8(error.what())
                + QStringLiteral("\r\nApplication will be terminated."));
        m_terminationRequested = true;
        QCoreApplication::exit(1);
    }
    ReadPreviousTZ();
}

void TfrmMain::AddInfo(const QString& text)
{
    // An empty document cannot tell "no lines" from "one empty line", and
    // appendPlainText fills an empty document's first line instead of adding
    // one. An empty first line is marked on its block; clear() drops the mark.
    constexpr int kEmptyLineAdded = 1;
    QTextDocument* log = Memo1->document();
    const bool oneEmptyLine = log->isEmpty() && log->firstBlock().userState() == kEmptyLineAdded;
    Memo1->appendPlainText(oneEmptyLine ? QLatin1Char('\n') + text : text);
    if (log->isEmpty())
        log->firstBlock().setUserState(kEmptyLineAdded);
}

bool TfrmMain::Validation()
{
    if (!edtIP->text().isEmpty())
        return true;
    m_boxes.show(this, IMessageBoxes::Kind::Error, QStringLiteral("Error"), QStringLiteral("IP cannot be blank! "));
    return false;
}

void TfrmMain::rbtnEnableClick()
{
    gbTZ->setEnabled(rbtnEnable->isChecked());
}

void TfrmMain::rbtnDisableClick()
{
    gbTZ->setEnabled(rbtnEnable->isChecked());
}

QString TfrmMain::errorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void TfrmMain::guarded(const std::function<void()>& handler)
{
    // Input that queued up while the handler blocked is dropped once the
    // outermost handler is done, not replayed as a fresh click.
    struct Depth {
        int& depth;
        explicit Depth(int& d)
            : depth(d)
        {
            ++depth;
        }
        ~Depth()
        {
            if (--depth == 0)
                discardQueuedInput();
        }
    } depth { m_handlerDepth };

    QString message;
    QString detail; // the store's: which file and why, on a line of its own
    try {
        handler();
        return;
    } catch (const StoreError& error) {
        message = QString::fromUtf8(error.what());
        detail = QString::fromStdString(error.detail());
    } catch (const std::exception& error) {
        message = QString::fromUtf8(error.what());
    } catch (...) {
        message = QStringLiteral("Unknown error");
    }
    message = errorBoxText(message);
    if (!detail.isEmpty())
        message += QLatin1Char('\n') + detail;
    // An error in mid-Update must not leave the hourglass behind.
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    try {
        m_boxes.show(this, IMessageBoxes::Kind::Error, QApplication::applicationDisplayName(), message);
    } catch (...) {
        // Nothing may escape into the event loop, not even from the box itself.
    }
}
