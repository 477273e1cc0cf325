#include "CFileDialog.h"

#include "Resource.h"

#include <QDir>
#include <QFileDialog>

CFileDialog::CFileDialog(bool openFileDialog, const std::string& defaultExtension, const std::string& fileName,
                         unsigned flags, const std::string& filter, QWidget* parent)
    : m_open(openFileDialog)
    , m_defaultExtension(defaultExtension)
    , m_fileName(fileName)
    , m_flags(flags)
    , m_filter(filter)
    , m_parent(parent)
{
}

QStringList CFileDialog::nameFilters(const std::string& filter)
{
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& display = parts[i];
        if (display.isEmpty())
            break; // "||" ends the list
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString pattern = p.trimmed();
            // Here "*.*" means every file, also one without an extension.
            patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
        }
        // Qt reads the patterns from the last parenthesised group; the dialog is told
        // to hide that group, so the display text shows as it is written.
        filters << display + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters;
}

int CFileDialog::DoModal()
{
    QFileDialog dialog(m_parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(m_open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // No flag asks for the file to exist: a typed name is taken as it is.
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!m_open && !(m_flags & OFN_OVERWRITEPROMPT))
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!m_defaultExtension.empty())
        dialog.setDefaultSuffix(QString::fromStdString(m_defaultExtension));
    dialog.setDirectory(QDir::current());
    dialog.setNameFilters(nameFilters(m_filter));
    if (!m_fileName.empty())
        dialog.selectFile(QString::fromStdString(m_fileName));

    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return IDCANCEL;
    m_pathName = QDir::toNativeSeparators(dialog.selectedFiles().constFirst()).toStdString();
    return IDOK;
}
