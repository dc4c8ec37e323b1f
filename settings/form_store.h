// The settings store behind TFormStorage: one open INI file read once and replaced whole,
// and the scope that closes it. Private to settings/.
#pragma once

#include "settings/form_storage.h"
#include "settings/ini_text.h"

#include <QFile>
#include <QFileInfo>

inline QString Quoted(const QString& s)
{
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

// One open INI store: the file's text, read once when the store opens and parsed by the
// same code that edits it, so what is restored is exactly what was saved. Writes collect
// in the text and replace the file as a whole.
class TFormStorage::Store
{
public:
    enum Status { NoError, AccessError, FormatError };

    explicit Store(const QString& path)
        : path_(path)
    {
        QFile file(path_);
        exists_ = file.exists();
        if (!exists_)
            return;
        if (!file.open(QIODevice::ReadOnly) || QFileInfo(path_).isDir()) {
            status_ = AccessError;
            return;
        }
        text_ = TIniText(file.readAll());
        if (!text_.parsed())
            status_ = FormatError;
    }
    Status status() const { return status_; }
    bool exists() const { return exists_; }

    TIniValue read(const QString& section, const QString& name) const
    {
        return text_.value(section, name);
    }

    void write(const QString& section, const QString& name, const QString& value)
    {
        prepareWrite();
        text_.setValue(section, name, value);
    }

    void erase(const QString& section)
    {
        prepareWrite();
        text_.removeSection(section);
    }

    // Writes the file even when nothing changed: creates an empty store if there is none.
    void commit(bool always = false)
    {
        if (!dirty_ && !always)
            return;
        const QString error = ReplaceFileContent(path_, text_.content());
        if (!error.isEmpty())
            throw EStoreError(
                    QStringLiteral("Failed to set data for %1 (%2)").arg(Quoted(path_), error));
        dirty_ = false;
        exists_ = true;
    }

private:
    void prepareWrite()
    {
        if (status_ == AccessError)
            throw EStoreError(QStringLiteral("Failed to set data for %1").arg(Quoted(path_)));
        if (status_ == FormatError) {
            // Keep the unreadable file for inspection and start a fresh store.
            const QString aside = path_ + QStringLiteral(".damaged");
            QFile::remove(aside);
            if (!QFile::rename(path_, aside))
                throw EStoreError(QStringLiteral("Failed to set data for %1").arg(Quoted(path_)));
            text_ = TIniText();
            status_ = NoError;
        }
        dirty_ = true;
    }

    QString path_;
    Status status_ = NoError;
    bool exists_ = false;
    TIniText text_;
    bool dirty_ = false;
};

// Closes the store when the outermost user of it is done.
template<class StorePtr>
struct StoreScope
{
    StorePtr& store;
    bool owns;
    explicit StoreScope(StorePtr& s)
        : store(s)
        , owns(!s)
    {}
    ~StoreScope()
    {
        if (owns)
            store.reset();
    }
};
