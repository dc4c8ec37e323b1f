// Who may read the view, and over what: TLS from a certificate and key file, and logins
// checked against a password file of salted hashes. Qt does the TLS, libcrypt the hashes.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace tolvek {

// TLS with the certificate chain and private key in PEM files; nullopt with `error` set.
std::optional<QSslConfiguration> LoadTls(const QString& certificatePath, const QString& keyPath,
                                         QString& error);

// The password file: one "NAME:HASH" a line, HASH as crypt(3) makes it ("$y$...", "$6$...",
// from `mkpasswd` or `openssl passwd -6`); blank lines and lines starting with "#" are skipped.
// A login NAME/password is HTTP basic; lines named "bearer" hold the hashes of tokens sent
// as "Authorization: Bearer TOKEN".
class TViewAccess
{
public:
    // nullopt with `error` set (naming the line) when the file cannot be read or holds
    // anything but such lines, or no line at all.
    static std::optional<TViewAccess> Load(const QString& path, QString& error);

    // True when an Authorization header's value names a login or token of the file.
    bool Admits(const QByteArray& authorization);

private:
    bool Check(const QByteArray& secret, const QList<QByteArray>& hashes) const;

    QHash<QByteArray, QByteArray> users_; // name → hash
    QList<QByteArray> tokens_;
    QHash<QByteArray, qint64> admitted_; // a digest of each admitted header → when (ms)
};

} // namespace tolvek
