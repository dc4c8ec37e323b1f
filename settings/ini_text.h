#pragma once
// The text of an INI store: the one parser the store reads and writes with, and
// replacing a file as a whole.
//
// Format, line by line: "[name]" opens a section; "name=value" is a value; blank lines and
// lines starting with ";" or "#" are comments; any other line is passed over. A header
// without its "]" makes the whole file unparsable. Names of sections and values match in
// any letter case: sections of one name count as one section, and of several values of one
// name the first in the file is the one read and the one written; the others stay as they
// are and are ignored. A value is the text after "=" without outer blanks, commas and all;
// a value starting with '"' ends at the next unescaped '"' (or at the line end) and may
// hold \\, \", \n, \r, \t and \xHH. Lines are kept as bytes: every line a change does not
// touch is written back byte for byte, whatever its encoding.
#include <QByteArray>
#include <QList>
#include <QString>

// One value as read: missing, text, or bytes that are not UTF-8 text.
struct TIniValue
{
    bool found = false;
    bool isText = false;
    QString text;
};

class TIniText
{
public:
    TIniText() = default;
    explicit TIniText(const QByteArray& content);
    // False when the content does not parse (a section header without "]").
    bool parsed() const { return parsed_; }

    TIniValue value(const QString& section, const QString& name) const;
    // Sets section/name to a text value: the value read by value() is the one replaced,
    // keeping its name's spelling; a missing one is added at the end of the section's
    // first part, a missing section at the end of the file.
    void setValue(const QString& section, const QString& name, const QString& value);
    // Removes every part of the section with all its values.
    void removeSection(const QString& section);
    QByteArray content() const;

    // Key and value texts as written to the file and read back from it.
    static QString EscapedKey(const QString& key);
    static QString UnescapedKey(const QString& key);
    static QString QuotedValue(const QString& value);

private:
    struct Line
    {
        QByteArray bytes; // with its line end, as in the file
        enum Kind { Other, Header, Key } kind = Other;
        QString name; // section or value name, unescaped
    };
    // Index of the first value line of section/name, or -1.
    qsizetype find(const QString& section, const QString& name) const;
    qsizetype firstHeader(const QString& section) const;
    qsizetype sectionEnd(qsizetype header) const;
    static Line Classify(const QByteArray& bytes, bool& ok);
    static QByteArray KeyLine(const QString& key, const QString& value);

    QList<Line> lines_;
    bool parsed_ = true;
};

// One text value of a store file, read with the store's own parser (a comma in it is plain
// text, as the store writes it); empty when the file cannot be read or the value is missing
// or not text.
QString ReadStoredText(const QString& path, const QString& section, const QString& name);

// Writes the file through a temporary file in the same folder, synced and renamed over the
// old one, so a failure at any point leaves the previous file as it was. Returns an error
// text, empty on success.
QString ReplaceFileContent(const QString& path, const QByteArray& content);
