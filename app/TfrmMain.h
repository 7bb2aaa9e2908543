#pragma once

#include "MessageBoxes.h"
#include "TermLinkLoader.h"

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class SettingsStore;
class TCTermLink;
class TimeEdit;
struct ConnectReadout;
struct ScheduleSnapshot;

// The program's one window. Its controls carry stable object names (tests and
// screen readers find them by name); each handler is thin: it reads the
// controls, calls the widget-free logic (schedule/, terminal/, settings/),
// and writes the controls back. Every handler runs inside guarded(), so no
// error reaches Qt's event loop.
class TfrmMain : public QWidget {
    Q_OBJECT
public:
    TfrmMain(TermLinkFactory termLinkFactory, SettingsStore& store, IMessageBoxes& boxes, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Handlers and services, public so tests can drive them like the user does.
    void FormShow();
    void AddInfo(const QString& text);
    bool Validation();
    void rbtnEnableClick();
    void rbtnDisableClick();
    void btnUpdateClick();
    void GetDeviceInfo(const std::vector<std::string>& identityLines);
    void btnSetTZInfoClick();
    void btnGetTZInfoClick();
    void btnSetGroupClick();
    void ReadPreviousTZ();
    void SetTZ2() { SetTZ(2); }
    void SetTZ3() { SetTZ(3); }
    void SetTZ4() { SetTZ(4); }
    void SetTZ5() { SetTZ(5); }
    void GetTZ2() { GetTZ(2); }
    void GetTZ3() { GetTZ(3); }
    void GetTZ4() { GetTZ(4); }
    void GetTZ5() { GetTZ(5); }
    void tz2Click() { tzClick(2); }
    void tz3Click() { tzClick(3); }
    void tz4Click() { tzClick(4); }
    void tz5Click() { tzClick(5); }
    void mon1Change();

    int buttonStage() const { return m_buttonStage; }
    const QString& lockFunValue() const { return LockFunValue; }
    const QString& tzText(int zone) const { return m_tzTexts.at(static_cast<std::size_t>(zone - 2)); }
    bool terminationRequested() const { return m_terminationRequested; }
    bool formShown() const { return m_formShown; }
    TCTermLink* termLink() const { return m_termLink.get(); }
    TimeEdit* timeField(int day, int column) const;

    // Runs `handler`; any error is shown in the general error box, and a busy
    // cursor left behind is taken away.
    void guarded(const std::function<void()>& handler);

    // The general error box's text: the message, with a full stop appended
    // when its last character sorts after ".".
    static QString errorBoxText(const QString& message);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildTopStrip();
    void buildSettingsGroup();
    void buildGrid();
    void setTabOrder();
    void setAccessibleNames();
    void connectHandlers();

    TCTermLink& link();
    void setButtonStage(int stage);
    void connectStage();
    void updateStage();
    void restartStage();
    bool checkScheduleFields();
    void showReadout(const ConnectReadout& readout, bool complete);

    void tzClick(int zone);
    void timeFieldExit(TimeEdit* field);
    QCheckBox* tzBox(int zone) const;
    std::array<TimeEdit*, 14> zoneFields(int zone) const;
    void fillZone(int zone, const QString& text);
    void SetTZ(int zone);
    void GetTZ(int zone);
    // Everything an Update needs, read from the controls at once.
    ScheduleSnapshot currentSnapshot() const;
    // TZ2Text ... TZ5Text of the zones the snapshot writes.
    void keepZoneTexts(const ScheduleSnapshot& snapshot);

    TermLinkFactory m_termLinkFactory;
    SettingsStore& m_store;
    IMessageBoxes& m_boxes;
    std::unique_ptr<TCTermLink> m_termLink;

    int m_buttonStage = 0;
    QString LockFunValue;
    std::array<QString, 4> m_tzTexts; // TZ2Text ... TZ5Text
    int m_handlerDepth = 0; // guarded() calls in progress, nested ones included
    bool m_formShown = false;
    bool m_terminationRequested = false;

    // Controls, under the object names that tests and screen readers use.
    QLabel* lblIP = nullptr;
    QLineEdit* edtIP = nullptr;
    QLabel* lblKey = nullptr;
    QLineEdit* edtKey = nullptr;
    QRadioButton* rbtnEnable = nullptr;
    QRadioButton* rbtnDisable = nullptr;
    QPushButton* btnUpdate = nullptr;
    QGroupBox* gbTZ = nullptr;
    QRadioButton* rbtnOpen = nullptr;
    QRadioButton* rbtnClose = nullptr;
    std::array<QCheckBox*, 4> m_tzBoxes {}; // tz2 ... tz5
    std::array<std::array<TimeEdit*, 10>, 7> m_grid {}; // [day][column - 1]
    QPushButton* btnGetTZInfo = nullptr;
    QPushButton* btnSetTZInfo = nullptr;
    QPushButton* btnGetGroup = nullptr;
    QPushButton* btnSetGroup = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
};
