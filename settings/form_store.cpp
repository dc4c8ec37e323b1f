// The settings store's reading and writing: where its INI file lies, and values read,
// written and erased through one open store.
#include "settings/form_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

EStoreError::EStoreError(const QString& message)
    : std::runtime_error(message.toStdString())
{}

QString EStoreError::text() const
{
    return QString::fromUtf8(what());
}

QString TFormStorage::ProgramName()
{
    QString name;
    if (QCoreApplication::instance())
        name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return name.isEmpty() ? QStringLiteral("tolvek") : name;
}

QString TFormStorage::storeFileName() const
{
    // The folder QSettings uses for per-user INI files (changeable with QSettings::setPath).
    const QString userDir =
            QFileInfo(QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("x"))
                              .fileName())
                    .absolutePath();
    if (useRegistry_) {
        QString key = iniFileName_.isEmpty() ? ProgramName() : iniFileName_;
        key.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (key.startsWith(QLatin1String("Software/"), Qt::CaseInsensitive))
            key = key.mid(9);
        return QDir(userDir).filePath(key + QStringLiteral(".ini"));
    }
    const QString file =
            iniFileName_.isEmpty() ? ProgramName() + QStringLiteral(".ini") : iniFileName_;
    return QDir(userDir).filePath(file);
}

TFormStorage::Store& TFormStorage::OpenStore()
{
    if (!store_)
        store_ = std::make_unique<Store>(storeFileName());
    return *store_;
}

void TFormStorage::CommitStore()
{
    store_->commit();
}

QString TFormStorage::ReadString(const QString& section, const QString& name, const QString& def)
{
    StoreScope scope(store_);
    const TIniValue v = OpenStore().read(section, name);
    if (!v.found)
        return def;
    // Bytes that are not UTF-8 are no text: the counterpart of a value of another type.
    if (!v.isText)
        throw EStoreError(QStringLiteral("Invalid data type for %1").arg(Quoted(name)));
    return v.text;
}

void TFormStorage::WriteString(const QString& section, const QString& name, const QString& value)
{
    StoreScope scope(store_);
    OpenStore().write(section, name, value);
    if (scope.owns)
        CommitStore();
}

int TFormStorage::ReadInteger(const QString& section, const QString& name, int def)
{
    bool ok = false;
    const int n = ReadString(section, name, QString::number(def)).trimmed().toInt(&ok);
    return ok ? n : def;
}

void TFormStorage::WriteInteger(const QString& section, const QString& name, int value)
{
    WriteString(section, name, QString::number(value));
}

void TFormStorage::EraseSection(const QString& section)
{
    StoreScope scope(store_);
    OpenStore().erase(section);
    if (scope.owns)
        CommitStore();
}
