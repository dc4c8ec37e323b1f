#include "settings/ini_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsHeader(const QString& line)
{
    return line.trimmed().startsWith(QLatin1Char('['));
}

QString HeaderName(const QString& line)
{
    QString t = line.trimmed();
    const qsizetype close = t.lastIndexOf(QLatin1Char(']'));
    return TIniText::UnescapedKey(t.mid(1, close > 0 ? close - 1 : t.size() - 1));
}

// Key of a "key=value" line, or an empty text for anything else.
QString LineKey(const QString& line)
{
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')))
        return {};
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return {};
    return TIniText::UnescapedKey(t.left(eq).trimmed());
}

bool KeepsInKey(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
           c == u'-' || c == u'.';
}

}  // namespace

TIniText::TIniText(const QByteArray& content)
{
    QString text = QString::fromUtf8(content);
    text.remove(QLatin1Char('\r'));
    lines_ = text.split(QLatin1Char('\n'));
    if (!lines_.isEmpty() && lines_.last().isEmpty())
        lines_.removeLast();
}

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

qsizetype TIniText::findSection(const QString& section) const
{
    for (qsizetype i = 0; i < lines_.size(); ++i)
        if (IsHeader(lines_.at(i)) && HeaderName(lines_.at(i)).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

qsizetype TIniText::sectionEnd(qsizetype header) const
{
    qsizetype i = header + 1;
    while (i < lines_.size() && !IsHeader(lines_.at(i)))
        ++i;
    return i;
}

void TIniText::setValue(const QString& section, const QString& name, const QString& value)
{
    const qsizetype header = findSection(section);
    if (header < 0) {
        if (!lines_.isEmpty() && !lines_.last().trimmed().isEmpty())
            lines_ << QString();
        lines_ << QLatin1Char('[') + EscapedKey(section) + QLatin1Char(']');
        lines_ << EscapedKey(name) + QLatin1Char('=') + QuotedValue(value);
        return;
    }
    const qsizetype end = sectionEnd(header);
    qsizetype lastKey = header;
    for (qsizetype i = header + 1; i < end; ++i) {
        const QString key = LineKey(lines_.at(i));
        if (key.isEmpty())
            continue;
        lastKey = i;
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            lines_[i] = EscapedKey(key) + QLatin1Char('=') + QuotedValue(value);
            return;
        }
    }
    lines_.insert(lastKey + 1, EscapedKey(name) + QLatin1Char('=') + QuotedValue(value));
}

void TIniText::removeSection(const QString& section)
{
    const qsizetype header = findSection(section);
    if (header < 0)
        return;
    lines_.erase(lines_.begin() + header, lines_.begin() + sectionEnd(header));
}

QByteArray TIniText::content() const
{
    QByteArray out;
    for (const QString& line : lines_) {
        out += line.toUtf8();
        out += '\n';
    }
    return out;
}

namespace {

QString ErrnoText(const char* what, const QString& path)
{
    return QStringLiteral("%1 %2: %3").arg(QLatin1String(what), path, QString::fromLocal8Bit(std::strerror(errno)));
}

}  // namespace

QString ReplaceFileContent(const QString& path, const QByteArray& content)
{
    const QFileInfo info(path);
    const QString dir = info.absolutePath();
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot create the folder %1").arg(dir);

    QByteArray tmpl = QFile::encodeName(path) + ".XXXXXX";
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return ErrnoText("cannot create a file beside", path);
    auto fail = [&](const char* what) {
        const QString text = ErrnoText(what, path);
        ::close(fd);
        ::unlink(tmpl.constData());
        return text;
    };

    struct stat old {};
    const bool hadOld = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    if (::fchmod(fd, hadOld ? (old.st_mode & 07777) : 0600) != 0)
        return fail("cannot set the mode of");

    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("cannot write");
        done += n;
    }
    if (::fsync(fd) != 0)
        return fail("cannot sync");
    if (hadOld) {
        // Readers that cache by time stamp and size must see the new content as new.
        struct stat now {};
        if (::fstat(fd, &now) == 0 && now.st_size == old.st_size && now.st_mtim.tv_sec == old.st_mtim.tv_sec &&
            now.st_mtim.tv_nsec / 1000000 == old.st_mtim.tv_nsec / 1000000) {
            timespec times[2] = {now.st_atim, old.st_mtim};
            times[1].tv_nsec += 2000000;
            if (times[1].tv_nsec >= 1000000000) {
                times[1].tv_nsec -= 1000000000;
                ++times[1].tv_sec;
            }
            ::futimens(fd, times);
        }
    }
    if (::close(fd) != 0) {
        const QString text = ErrnoText("cannot close", path);
        ::unlink(tmpl.constData());
        return text;
    }
    if (::rename(tmpl.constData(), QFile::encodeName(path).constData()) != 0) {
        const QString text = ErrnoText("cannot replace", path);
        ::unlink(tmpl.constData());
        return text;
    }
    const int dfd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}
