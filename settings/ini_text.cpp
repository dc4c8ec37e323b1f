#include "settings/ini_text.h"

#include "files/atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cstring>

namespace {

bool KeepsInKey(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
           || c == u'_' || c == u'-' || c == u'.';
}

int HexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// The text of a value as it stands after "=", outer blanks already gone.
QString ValueText(const QString& raw)
{
    if (!raw.startsWith(QLatin1Char('"')))
        return raw;
    QString out;
    qsizetype i = 1;
    // A leading "@" is written doubled (a single one announced a typed value to earlier
    // readers of the file).
    if (raw.mid(1, 2) == QLatin1String("@@")) {
        out += QLatin1Char('@');
        i = 3;
    }
    for (; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('"')) {
            // '""' inside a value joins two quoted pieces, as earlier versions wrote it.
            if (i + 1 < raw.size() && raw.at(i + 1) == QLatin1Char('"')) {
                ++i;
                continue;
            }
            break;
        }
        if (c != QLatin1Char('\\') || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const QChar e = raw.at(++i);
        if (e == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (e == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (e == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (e == QLatin1Char('x')) {
            int code = 0, digits = 0;
            for (; digits < 2 && i + 1 < raw.size() && HexDigit(raw.at(i + 1)) >= 0; ++digits)
                code = code * 16 + HexDigit(raw.at(++i));
            out += digits > 0 ? QChar(code) : e;
        } else
            out += e;
    }
    return out;
}

} // namespace

QString TIniText::EscapedKey(const QString& key)
{
    QString out;
    for (QChar ch : key) {
        const char16_t c = ch.unicode();
        if (c == u'/')
            out += QLatin1Char('\\');
        else if (KeepsInKey(c))
            out += ch;
        else if (c <= 0xFF)
            out += QStringLiteral("%%1").arg(int(c), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += QStringLiteral("%U%1").arg(int(c), 4, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString TIniText::UnescapedKey(const QString& key)
{
    QString out;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const QChar ch = key.at(i);
        if (ch == QLatin1Char('\\')) {
            out += QLatin1Char('/');
            continue;
        }
        if (ch == QLatin1Char('%')) {
            // "%XX" for a code up to 0xFF, "%UXXXX" above.
            const bool wide = i + 1 < key.size() && key.at(i + 1) == QLatin1Char('U');
            const qsizetype from = i + (wide ? 2 : 1);
            const qsizetype digits = wide ? 4 : 2;
            bool ok = false;
            const int code = from + digits <= key.size() ? key.mid(from, digits).toInt(&ok, 16) : 0;
            if (ok) {
                out += QChar(code);
                i = from + digits - 1;
                continue;
            }
        }
        out += ch;
    }
    return out;
}

QString TIniText::QuotedValue(const QString& value)
{
    // Always quoted: commas, a leading "@" or outer blanks then read back as plain text.
    QString out = QStringLiteral("\"");
    // A leading "@" would announce a typed value; doubled it stands for itself.
    if (value.startsWith(QLatin1Char('@')))
        out += QLatin1Char('@');
    for (QChar ch : value) {
        const char16_t c = ch.unicode();
        if (c == u'"' || c == u'\\') {
            out += QLatin1Char('\\');
            out += ch;
        } else if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (c < 0x20 || c == 0x7F) {
            out += QStringLiteral("\\x%1").arg(int(c), 0, 16);
            // A hex escape runs on while hex digits follow; a quoted break ends it.
            out += QLatin1String("\"\"");
        } else {
            out += ch;
        }
    }
    out += QLatin1Char('"');
    return out;
}

TIniText::Line TIniText::Classify(const QByteArray& bytes, bool& ok)
{
    Line line{bytes, Line::Other, {}};
    const QByteArray t = bytes.trimmed();
    if (t.startsWith('[')) {
        const qsizetype close = t.lastIndexOf(']');
        if (close < 0) {
            ok = false;
            return line;
        }
        line.kind = Line::Header;
        line.name = UnescapedKey(QString::fromUtf8(t.mid(1, close - 1)));
    } else if (!t.startsWith(';') && !t.startsWith('#')) {
        const qsizetype eq = t.indexOf('=');
        if (eq > 0) {
            line.kind = Line::Key;
            line.name = UnescapedKey(QString::fromUtf8(t.left(eq).trimmed()));
        }
    }
    return line;
}

TIniText::TIniText(const QByteArray& content)
{
    qsizetype from = 0;
    while (from < content.size()) {
        qsizetype end = content.indexOf('\n', from);
        end = end < 0 ? content.size() : end + 1;
        lines_ << Classify(content.mid(from, end - from), parsed_);
        from = end;
    }
}

qsizetype TIniText::firstHeader(const QString& section) const
{
    for (qsizetype i = 0; i < lines_.size(); ++i)
        if (lines_.at(i).kind == Line::Header
            && lines_.at(i).name.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

qsizetype TIniText::sectionEnd(qsizetype header) const
{
    qsizetype i = header + 1;
    while (i < lines_.size() && lines_.at(i).kind != Line::Header)
        ++i;
    return i;
}

qsizetype TIniText::find(const QString& section, const QString& name) const
{
    bool inside = false;
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_.at(i);
        if (line.kind == Line::Header)
            inside = line.name.compare(section, Qt::CaseInsensitive) == 0;
        else if (inside && line.kind == Line::Key
                 && line.name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

TIniValue TIniText::value(const QString& section, const QString& name) const
{
    TIniValue v;
    const qsizetype i = find(section, name);
    if (i < 0)
        return v;
    v.found = true;
    const QByteArray& bytes = lines_.at(i).bytes;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString raw = utf8(bytes.mid(bytes.indexOf('=') + 1).trimmed());
    v.isText = !utf8.hasError();
    if (v.isText)
        v.text = ValueText(raw);
    return v;
}

QByteArray TIniText::KeyLine(const QString& key, const QString& value)
{
    return (EscapedKey(key) + QLatin1Char('=') + QuotedValue(value)).toUtf8();
}

void TIniText::setValue(const QString& section, const QString& name, const QString& value)
{
    const qsizetype found = find(section, name);
    if (found >= 0) {
        Line& line = lines_[found];
        const QByteArray end = line.bytes.endsWith("\r\n") ? "\r\n" : "\n";
        line.bytes = KeyLine(line.name, value) + end;
        return;
    }
    if (!lines_.isEmpty() && !lines_.last().bytes.endsWith('\n'))
        lines_.last().bytes += '\n';
    const qsizetype header = firstHeader(section);
    if (header < 0) {
        if (!lines_.isEmpty() && !lines_.last().bytes.trimmed().isEmpty())
            lines_ << Line{"\n", Line::Other, {}};
        lines_ << Line{'[' + EscapedKey(section).toUtf8() + "]\n", Line::Header, section};
        lines_ << Line{KeyLine(name, value) + '\n', Line::Key, name};
        return;
    }
    qsizetype lastKey = header;
    for (qsizetype i = header + 1; i < sectionEnd(header); ++i)
        if (lines_.at(i).kind == Line::Key)
            lastKey = i;
    lines_.insert(lastKey + 1, Line{KeyLine(name, value) + '\n', Line::Key, name});
}

void TIniText::removeSection(const QString& section)
{
    for (qsizetype header = firstHeader(section); header >= 0; header = firstHeader(section))
        lines_.erase(lines_.begin() + header, lines_.begin() + sectionEnd(header));
}

QByteArray TIniText::content() const
{
    QByteArray out;
    for (const Line& line : lines_)
        out += line.bytes;
    return out;
}

namespace {

QString ErrnoText(const char* what, const QString& path, int error)
{
    return QStringLiteral("%1 %2: %3")
            .arg(QLatin1String(what), path, QString::fromLocal8Bit(std::strerror(error)));
}

const char* FailedStep(tolvek::TWriteStep step)
{
    switch (step) {
    case tolvek::TWriteStep::Create: return "cannot create a file beside";
    case tolvek::TWriteStep::Mode: return "cannot set the mode of";
    case tolvek::TWriteStep::Write: return "cannot write";
    case tolvek::TWriteStep::Sync: return "cannot sync";
    case tolvek::TWriteStep::Close: return "cannot close";
    case tolvek::TWriteStep::Replace: return "cannot replace";
    }
    return "cannot write";
}

} // namespace

QString ReplaceFileContent(const QString& path, const QByteArray& content)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot create the folder %1").arg(dir);
    // Edited by hand too: the file keeps its mode, and a change within the same
    // millisecond still shows in its time stamp.
    const auto failure =
            tolvek::ReplaceFile(QFile::encodeName(path).toStdString(),
                                std::string_view(content.constData(), size_t(content.size())),
                                {.keepMode = true, .distinctTimeStamp = true});
    return failure ? ErrnoText(FailedStep(failure->step), path, failure->error) : QString();
}

QString ReadStoredText(const QString& path, const QString& section, const QString& name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto value = TIniText(file.readAll()).value(section, name);
    return value.isText ? value.text : QString();
}
