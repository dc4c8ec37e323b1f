#pragma once
// Line-level editing of an INI file in the format QSettings reads, and replacing a file as
// a whole. Only the lines a change touches are rewritten; everything else in the file,
// whatever QSettings type it holds, is kept byte for byte.
#include <QByteArray>
#include <QString>
#include <QStringList>

class TIniText {
public:
    TIniText() = default;
    explicit TIniText(const QByteArray& content);

    // Sets section/name to a text value. Section and name match existing ones in any
    // letter case and keep their spelling there; new ones are added.
    void setValue(const QString& section, const QString& name, const QString& value);
    // Removes the section with all its values.
    void removeSection(const QString& section);
    QByteArray content() const;

    // Key and value texts as QSettings reads them back.
    static QString EscapedKey(const QString& key);
    static QString QuotedValue(const QString& value);
    static QString UnescapedKey(const QString& key);

private:
    // Index of the section's header line, or -1.
    qsizetype findSection(const QString& section) const;
    // One past the last line of the section whose header is at index header.
    qsizetype sectionEnd(qsizetype header) const;

    QStringList lines_;
};

// Writes the file through a temporary file in the same folder, synced and renamed over the
// old one, so a failure at any point leaves the previous file as it was. Returns an error
// text, empty on success.
QString ReplaceFileContent(const QString& path, const QByteArray& content);
