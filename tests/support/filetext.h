#pragma once

#include <QFile>
#include <QList>
#include <QStringList>

#include <utility>

// What the program wrote to a file, read back as its readers read it.

// The file's bytes; none where it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString fileText(const QString &path)
{
    return QString::fromUtf8(fileBytes(path));
}

// CSV as a spreadsheet reads it: quoted fields, doubled quotes, CR LF row ends.
inline QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << std::exchange(field, {});
        } else if (c == '\n') {
            row << std::exchange(field, {});
            rows << std::exchange(row, {});
        } else if (c != '\r') {
            field += c;
        }
    }
    return rows;
}
