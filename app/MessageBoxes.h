#pragma once

#include <QString>

class QWidget;

// Every message box of the program goes through this seam, so tests can see
// and answer them. Each box is modal with a single OK button; show() returns
// when the user has closed it.
class IMessageBoxes {
public:
    enum class Kind { Error, Information, Warning };

    virtual ~IMessageBoxes() = default;
    virtual void show(QWidget* parent, Kind kind, const QString& title, const QString& text) = 0;
};

// Real modal QMessageBoxes.
class QtMessageBoxes : public IMessageBoxes {
public:
    void show(QWidget* parent, Kind kind, const QString& title, const QString& text) override;
};
