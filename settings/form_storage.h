#pragma once
// Keeps named properties of a window's controls in a per-user INI store: restores them
// when the window is first shown, saves them when it closes and, if not saved since the
// last restore, when it is destroyed.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <stdexcept>

class QWidget;

// A store that cannot be read or written; the text is what the operator sees.
class EStoreError : public std::runtime_error
{
public:
    explicit EStoreError(const QString& message);
    QString text() const;
};

class TFormStorage : public QObject
{
    Q_OBJECT
public:
    // Attaches to the owner's show and close-request events at once.
    explicit TFormStorage(QWidget* owner);
    ~TFormStorage() override;

    bool Active() const { return active_; }
    void setActive(bool on) { active_ = on; }
    // With UseRegistry: the store's name (default: the program file's name); without:
    // the INI file (default: program name + ".ini"), relative names in the user's
    // configuration folder.
    QString IniFileName() const { return iniFileName_; }
    void setIniFileName(const QString& name) { iniFileName_ = name; }
    // Section of all values; empty means the owner's class name.
    QString IniSection() const { return iniSection_; }
    void setIniSection(const QString& section) { iniSection_ = section; }
    bool UseRegistry() const { return useRegistry_; }
    void setUseRegistry(bool on) { useRegistry_ = on; }
    int Version() const { return version_; }
    void setVersion(int version) { version_ = version; }
    // Entries "Component.Property"; the list as it stands after resolving and normalising.
    QStringList StoredProps() const;
    void setStoredProps(const QStringList& entries);

    // Called by the owner once all its controls exist: binds the entries to them and drops
    // entries naming no control.
    void Loaded();
    // Called by the owner at the start of its destruction, while its controls still exist.
    void FormDestroy();

    void RestorePlacement();
    void SavePlacement();

    bool restored() const { return restored_; }
    bool saved() const { return saved_; }
    // Full path of the INI file behind the store.
    QString storeFileName() const;
    // Where failures of the automatic restore and save are reported (the application's
    // general error box); without it they go to the Qt log.
    void setErrorReport(std::function<void(const QString&)> report)
    {
        errorReport_ = std::move(report);
    }

    std::function<void()> OnSavePlacement;
    std::function<void()> OnRestorePlacement;

    // Store access; each opens the store when it is not open and closes it afterwards.
    QString ReadString(const QString& section, const QString& name, const QString& def);
    void WriteString(const QString& section, const QString& name, const QString& value);
    int ReadInteger(const QString& section, const QString& name, int def);
    void WriteInteger(const QString& section, const QString& name, int value);
    void EraseSection(const QString& section);

    // The program's own name, without folder and extension.
    static QString ProgramName();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry
    {
        QString component;
        QString property;
        QPointer<QObject> target;
    };
    class Store;

    QString section() const;
    void NormaliseStoredProps();
    void Report(const QString& text) const;
    void RestoreGuarded();
    void SaveGuarded();
    Store& OpenStore();
    void CommitStore();

    QWidget* owner_;
    bool active_ = true;
    QString iniFileName_;
    QString iniSection_;
    bool useRegistry_ = false;
    int version_ = 0;
    QStringList pendingEntries_;
    QVector<Entry> entries_;
    bool resolved_ = false;
    bool restored_ = false;
    bool saved_ = false;
    bool shown_ = false;
    std::unique_ptr<Store> store_;
    std::function<void(const QString&)> errorReport_;
};
