#include "Edits.h"

#include <QFocusEvent>

TimeEdit::TimeEdit(QWidget* parent)
    : QLineEdit(parent)
{
    setValidator(new UserLengthLimit(this, 4));
}

void TimeEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    // Switching windows or opening a popup does not leave the field.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        emit left();
}

UserLengthLimit::UserLengthLimit(QLineEdit* edit, int limit)
    : QValidator(edit)
    , m_edit(edit)
    , m_limit(limit)
    , m_before(edit->text())
{
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_before = text; });
}

QValidator::State UserLengthLimit::validate(QString& input, int&) const
{
    // setText clears the undo history before it validates; a user's edit is
    // recorded there first. So an edit without undo is the program's.
    if (!m_edit->isUndoAvailable())
        return Acceptable;
    if (input.size() > m_limit && input.size() > m_before.size())
        return Invalid;
    return Acceptable;
}

IpAddressEdit::IpAddressEdit(QWidget* parent)
    : QLineEdit(parent)
{
    setValidator(new OctetsValidator(this));
}

QValidator::State OctetsValidator::validate(QString& input, int&) const
{
    const QStringList octets = input.split(QLatin1Char('.'));
    if (octets.size() > 4)
        return Invalid;
    for (const QString& octet : octets) {
        if (octet.size() > 3)
            return Invalid;
        for (QChar c : octet) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        }
        if (!octet.isEmpty() && octet.toInt() > 255)
            return Invalid;
    }
    return Acceptable;
}
