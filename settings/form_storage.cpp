// The form binding of the settings store: entries bound to the owner's controls, their
// properties converted to and from text, restored at the first show and saved at close.
#include "settings/form_storage.h"

#include "settings/form_store.h"

#include <QCloseEvent>
#include <QLocale>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QRegularExpression>
#include <QWidget>
#include <QtDebug>

namespace {

// Blanks and control characters (everything up to the space) go from both ends; letters of
// any alphabet stay.
QString TrimControls(const QString& s)
{
    qsizetype begin = 0, end = s.size();
    while (begin < end && s.at(begin).unicode() <= u' ')
        ++begin;
    while (end > begin && s.at(end - 1).unicode() <= u' ')
        --end;
    return s.mid(begin, end - begin);
}

// Single-bit keys of a flag enumeration are its elements.
bool IsElement(int value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

} // namespace

namespace {

enum class Kind {
    Unsupported,
    Boolean,
    Integer,
    Character,
    Float,
    String,
    Enumeration,
    Set,
    StringList
};

Kind KindOf(const QMetaProperty& mp)
{
    if (mp.isEnumType())
        return mp.enumerator().isFlag() ? Kind::Set : Kind::Enumeration;
    switch (mp.metaType().id()) {
    case QMetaType::Bool: return Kind::Boolean;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort: return Kind::Integer;
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::QChar: return Kind::Character;
    case QMetaType::Float:
    case QMetaType::Double: return Kind::Float;
    case QMetaType::QString: return Kind::String;
    case QMetaType::QStringList: return Kind::StringList;
    default: return Kind::Unsupported;
    }
}

QString ToText(const QMetaProperty& mp, Kind kind, const QVariant& v)
{
    switch (kind) {
    case Kind::Boolean: return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case Kind::Integer: return QString::number(v.toLongLong());
    case Kind::Character:
        if (mp.metaType().id() == QMetaType::QChar)
            return QString(QChar(v.value<QChar>().unicode() & 0xFF));
        return QString(QChar(static_cast<unsigned char>(v.value<char>())));
    case Kind::Float:
        if (mp.metaType().id() == QMetaType::Float)
            return QLocale::c().toString(v.toDouble(), 'g', 7);
        return QLocale::c().toString(v.toDouble(), 'g', 15);
    case Kind::String: return v.toString();
    case Kind::Enumeration: return QString::fromLatin1(mp.enumerator().valueToKey(v.toInt()));
    case Kind::Set: {
        const QMetaEnum me = mp.enumerator();
        const int value = v.toInt();
        QStringList names;
        for (int i = 0; i < me.keyCount(); ++i)
            if (IsElement(me.value(i)) && (value & me.value(i)) == me.value(i))
                names << QString::fromLatin1(me.key(i));
        return QLatin1Char('[') + names.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    case Kind::StringList:
    case Kind::Unsupported: break;
    }
    return {};
}

// Sets the property from its text form; text that does not fit the kind leaves it as is.
void FromText(QObject* obj, const QMetaProperty& mp, Kind kind, const QString& text)
{
    switch (kind) {
    case Kind::Boolean:
        if (text.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
            mp.write(obj, true);
        else if (text.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
            mp.write(obj, false);
        return;
    case Kind::Integer: {
        bool ok = false;
        const qlonglong n = text.toLongLong(&ok);
        if (ok)
            mp.write(obj, QVariant(n));
        return;
    }
    case Kind::Character: {
        const char16_t c = text.isEmpty() ? 0 : (text.at(0).unicode() & 0xFF);
        if (mp.metaType().id() == QMetaType::QChar)
            mp.write(obj, QVariant::fromValue(QChar(c)));
        else
            mp.write(obj, QVariant::fromValue(static_cast<char>(c)));
        return;
    }
    case Kind::Float: {
        bool ok = false;
        const double d = QLocale::c().toDouble(text, &ok);
        if (ok)
            mp.write(obj, d);
        return;
    }
    case Kind::String: mp.write(obj, text); return;
    case Kind::Enumeration: {
        const QMetaEnum me = mp.enumerator();
        for (int i = 0; i < me.keyCount(); ++i)
            if (text.compare(QLatin1String(me.key(i)), Qt::CaseInsensitive) == 0) {
                mp.write(obj, me.value(i));
                return;
            }
        return;
    }
    case Kind::Set: {
        const QMetaEnum me = mp.enumerator();
        int value = 0;
        static const QRegularExpression separators(QStringLiteral("[\\s,\\[\\]]+"));
        for (const QString& word : text.split(separators, Qt::SkipEmptyParts))
            for (int i = 0; i < me.keyCount(); ++i)
                if (word.compare(QLatin1String(me.key(i)), Qt::CaseInsensitive) == 0)
                    value |= me.value(i);
        mp.write(obj, value);
        return;
    }
    case Kind::StringList:
    case Kind::Unsupported: return;
    }
}

bool FindProperty(const QObject* obj, const QString& name, QMetaProperty& out)
{
    const QMetaObject* mo = obj->metaObject();
    for (int i = 0; i < mo->propertyCount(); ++i)
        if (name.compare(QLatin1String(mo->property(i).name()), Qt::CaseInsensitive) == 0) {
            out = mo->property(i);
            return true;
        }
    return false;
}

// Converts properties of one object to and from named text values of one section.
class TPropsStorage
{
public:
    TPropsStorage(TFormStorage& store, const QString& section)
        : store_(store)
        , section_(section)
    {}

    // The value prefix + property; a missing or unfitting value leaves the property as is.
    void LoadProperty(QObject* obj, const QString& prefix, const QString& property)
    {
        QMetaProperty mp;
        if (!FindProperty(obj, property, mp))
            return;
        const Kind kind = KindOf(mp);
        const QString name = prefix + property;
        if (kind == Kind::StringList) {
            const QString sub = section_ + QLatin1Char('.') + name;
            const int count = store_.ReadInteger(sub, QStringLiteral("Count"), -1);
            if (count < 0)
                return;
            QStringList lines;
            for (int i = 0; i < count; ++i)
                lines << store_.ReadString(sub, QStringLiteral("Item%1").arg(i), QString());
            mp.write(obj, lines);
        } else if (kind != Kind::Unsupported) {
            const QString current = ToText(mp, kind, mp.read(obj));
            FromText(obj, mp, kind, TrimControls(store_.ReadString(section_, name, current)));
        }
    }

    void StoreProperty(QObject* obj, const QString& prefix, const QString& property)
    {
        QMetaProperty mp;
        if (!FindProperty(obj, property, mp))
            return;
        const Kind kind = KindOf(mp);
        const QString name = prefix + property;
        if (kind == Kind::StringList) {
            const QString sub = section_ + QLatin1Char('.') + name;
            store_.EraseSection(sub);
            const QStringList lines = mp.read(obj).toStringList();
            if (lines.isEmpty())
                return;
            store_.WriteInteger(sub, QStringLiteral("Count"), int(lines.size()));
            for (int i = 0; i < lines.size(); ++i)
                store_.WriteString(sub, QStringLiteral("Item%1").arg(i), lines.at(i));
        } else if (kind != Kind::Unsupported) {
            const QString text = ToText(mp, kind, mp.read(obj));
            if (text.isEmpty() && kind != Kind::String && kind != Kind::Character)
                return;
            store_.WriteString(section_, name, TrimControls(text));
        }
    }

private:
    TFormStorage& store_;
    QString section_;
};

} // namespace

TFormStorage::TFormStorage(QWidget* owner)
    : QObject(owner)
    , owner_(owner)
{
    setObjectName(QStringLiteral("FormStorage1"));
    owner_->installEventFilter(this);
}

TFormStorage::~TFormStorage() = default;

QString TFormStorage::section() const
{
    if (!iniSection_.isEmpty())
        return iniSection_;
    return QString::fromLatin1(owner_->metaObject()->className());
}

void TFormStorage::setStoredProps(const QStringList& entries)
{
    pendingEntries_ = entries;
    entries_.clear();
    resolved_ = false;
}

QStringList TFormStorage::StoredProps() const
{
    if (!resolved_)
        return pendingEntries_;
    QStringList out;
    for (const Entry& e : entries_)
        if (e.target)
            out << e.target->objectName() + QLatin1Char('.') + e.property;
    return out;
}

void TFormStorage::Loaded()
{
    const QList<QObject*> children = owner_->findChildren<QObject*>();
    entries_.clear();
    for (const QString& raw : pendingEntries_) {
        const qsizetype dot = raw.indexOf(QLatin1Char('.'));
        if (dot < 0)
            continue;
        Entry e{TrimControls(raw.left(dot)), TrimControls(raw.mid(dot + 1)), nullptr};
        if (e.component.isEmpty() || e.property.isEmpty())
            continue;
        for (QObject* c : children)
            if (c->objectName().compare(e.component, Qt::CaseInsensitive) == 0) {
                e.target = c;
                break;
            }
        if (e.target)
            entries_.push_back(e);
    }
    resolved_ = true;
}

void TFormStorage::NormaliseStoredProps()
{
    if (!resolved_)
        Loaded();
    // Entries whose control has gone are dropped; the rest take the control's current name.
    QVector<Entry> kept;
    for (Entry& e : entries_)
        if (e.target) {
            e.component = e.target->objectName();
            kept.push_back(e);
        }
    entries_ = kept;
}

void TFormStorage::RestorePlacement()
{
    saved_ = false;
    StoreScope scope(store_);
    Store& store = OpenStore();
    const QString path = storeFileName();
    if (store.status() == Store::FormatError) {
        // Nothing from a file that does not parse is applied; the next save sets the
        // damaged file aside and writes a fresh store.
        restored_ = true;
        throw EStoreError(
                QStringLiteral("The settings store %1 is damaged; the default settings are used")
                        .arg(Quoted(path)));
    }
    if (store.status() != Store::NoError)
        throw EStoreError(QStringLiteral("Cannot read the settings store %1").arg(Quoted(path)));
    if (!store.exists()) {
        // The store exists from the first show on, empty until the first save; one that
        // cannot be made is reported, and the save at close tries again.
        restored_ = true;
        store.commit(true);
    }

    const QString sec = section();
    if (ReadInteger(sec, QStringLiteral("FormVersion"), 0) >= version_) {
        restored_ = true;
        NormaliseStoredProps();
        TPropsStorage props(*this, sec);
        for (const Entry& e : entries_) {
            try {
                props.LoadProperty(e.target, e.component + QLatin1Char('_'), e.property);
            } catch (const std::exception&) {
                // One bad value must not stop the others; this property keeps its value.
            }
        }
        if (OnRestorePlacement)
            OnRestorePlacement();
    }
    restored_ = true;
    if (scope.owns)
        CommitStore(); // what a restore handler wrote
}

void TFormStorage::SavePlacement()
{
    if (!restored_ && active_)
        return; // settings that were never loaded are never written over
    StoreScope scope(store_);
    OpenStore();
    const QString sec = section();
    WriteInteger(sec, QStringLiteral("FormVersion"), version_);
    NormaliseStoredProps();
    TPropsStorage props(*this, sec);
    for (const Entry& e : entries_)
        props.StoreProperty(e.target, e.component + QLatin1Char('_'), e.property);
    CommitStore();
    if (OnSavePlacement)
        OnSavePlacement();
    saved_ = true;
}

void TFormStorage::Report(const QString& text) const
{
    if (errorReport_)
        errorReport_(text);
    else
        qWarning().noquote() << text;
}

void TFormStorage::RestoreGuarded()
{
    try {
        RestorePlacement();
    } catch (const std::exception& e) {
        Report(QString::fromUtf8(e.what()));
    }
}

void TFormStorage::SaveGuarded()
{
    try {
        SavePlacement();
    } catch (const std::exception& e) {
        Report(QString::fromUtf8(e.what()));
    }
}

void TFormStorage::FormDestroy()
{
    if (active_ && !saved_)
        SaveGuarded();
    owner_->removeEventFilter(this);
}

bool TFormStorage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != owner_ || !active_)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Show) {
        // Once, at the first show: later shows (a minimised window coming back sends one)
        // must not undo what the operator has changed since, nor change a running test.
        if (!shown_ && !event->spontaneous()) {
            shown_ = true;
            RestoreGuarded();
        }
        return false; // the window's own show handling follows
    }
    if (event->type() == QEvent::Close) {
        // The window decides first; only a granted close stores the settings.
        static_cast<QObject*>(owner_)->event(event);
        if (event->isAccepted())
            SaveGuarded();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
