#include "CEdit.h"

#include <QLineEdit>

void CEdit::setText(const std::string& text)
{
    if (m_edit)
        m_edit->setText(QString::fromStdString(text));
}

std::string CEdit::text() const
{
    return m_edit ? m_edit->text().toStdString() : std::string();
}
