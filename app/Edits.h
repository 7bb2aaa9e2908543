#pragma once

#include <QLineEdit>
#include <QValidator>

// A grid time field. It refuses typing or pasting past four characters, yet
// keeps longer text that the program puts in (setText does not consult the
// validator), and it reports leaving the field: the focus moving to another
// control of the window, not the window losing activation.
class TimeEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TimeEdit(QWidget* parent = nullptr);

signals:
    void left();

protected:
    void focusOutEvent(QFocusEvent* event) override;
};

// Limits only the user's edits that make the text longer than `limit`, like a
// native edit's user-input limit. Text the program sets always passes: a
// rejected setText would leave QLineEdit thinking its input invalid, and it
// then stops undoing the user's over-long edits.
class UserLengthLimit : public QValidator {
    Q_OBJECT
public:
    UserLengthLimit(QLineEdit* edit, int limit);
    State validate(QString& input, int& pos) const override;

private:
    QLineEdit* m_edit;
    int m_limit;
    // The text before the edit being validated: by then the edit's own text
    // already holds the new one.
    QString m_before;
};

// A dotted four-octet address field: digits and dots only, at most four
// octets of at most three digits and 255. It may be empty or incomplete
// while being edited; the control judges the final address.
class IpAddressEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit IpAddressEdit(QWidget* parent = nullptr);
};

class OctetsValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};
