#include "serve/view_access.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <crypt.h>

#include <memory>

namespace tolvek {
namespace {

constexpr qint64 kAdmittedMs = 10LL * 60 * 1000; // a checked login is checked again after it
constexpr int kAdmittedMax = 256;
constexpr qint64 kMaxFileBytes = 1 << 20;

// Equal, in a time that does not depend on where two texts of one length differ.
bool SameText(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

} // namespace

std::optional<QSslConfiguration> LoadTls(const QString& certificatePath, const QString& keyPath,
                                         QString& error)
{
    if (!QSslSocket::supportsSsl()) {
        error = QStringLiteral("this Qt has no TLS backend (libssl3)");
        return std::nullopt;
    }
    const auto chain = QSslCertificate::fromPath(certificatePath, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        error = certificatePath + QStringLiteral(": no PEM certificate in it");
        return std::nullopt;
    }
    QFile file(keyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = keyPath + QStringLiteral(": ") + file.errorString();
        return std::nullopt;
    }
    const QByteArray pem = file.read(kMaxFileBytes);
    QSslKey key;
    for (auto algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        error = keyPath + QStringLiteral(": no PEM private key in it (or one with a passphrase)");
        return std::nullopt;
    }
    auto tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    return tls;
}

std::optional<TViewAccess> TViewAccess::Load(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = path + QStringLiteral(": ") + file.errorString();
        return std::nullopt;
    }
    TViewAccess access;
    int number = 0;
    for (QByteArray line : file.read(kMaxFileBytes).split('\n')) {
        ++number;
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const auto colon = line.indexOf(':');
        const QByteArray name = line.left(colon), hash = line.mid(colon + 1);
        if (colon <= 0 || !hash.startsWith('$') || hash.contains(':')) {
            error = QStringLiteral("%1:%2: not NAME:HASH with a crypt(3) hash")
                            .arg(path)
                            .arg(number);
            return std::nullopt;
        }
        if (name == "bearer")
            access.tokens_.append(hash);
        else
            access.users_.insert(name, hash);
    }
    if (access.users_.isEmpty() && access.tokens_.isEmpty()) {
        error = path + QStringLiteral(": no login in it");
        return std::nullopt;
    }
    return access;
}

bool TViewAccess::Check(const QByteArray& secret, const QList<QByteArray>& hashes) const
{
    auto data = std::make_unique<crypt_data>();
    bool admitted = false;
    for (const QByteArray& hash : hashes) {
        const char* made =
                crypt_rn(secret.constData(), hash.constData(), data.get(), sizeof(crypt_data));
        admitted |= made && SameText(QByteArray(made), hash);
    }
    return admitted;
}

bool TViewAccess::Admits(const QByteArray& authorization)
{
    const QByteArray digest = QCryptographicHash::hash(authorization, QCryptographicHash::Sha256);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (const auto found = admitted_.constFind(digest);
        found != admitted_.cend() && now - *found < kAdmittedMs)
        return true;
    bool admitted = false;
    const auto space = authorization.indexOf(' ');
    const QByteArray scheme = authorization.left(space).toLower();
    const QByteArray value = authorization.mid(space + 1).trimmed();
    if (space > 0 && scheme == "bearer" && !value.contains('\0')) {
        admitted = Check(value, tokens_);
    } else if (space > 0 && scheme == "basic") {
        const QByteArray login = QByteArray::fromBase64(value);
        const auto colon = login.indexOf(':');
        const QByteArray name = login.left(colon), password = login.mid(colon + 1);
        // An unknown name costs as much as a known one, so names cannot be guessed by time.
        const QByteArray hash = users_.value(name, users_.isEmpty() ? QByteArray("$6$x$")
                                                                    : users_.cbegin().value());
        admitted = colon > 0 && !password.contains('\0') && Check(password, {hash})
                   && users_.contains(name);
    }
    if (admitted) {
        if (admitted_.size() >= kAdmittedMax)
            admitted_.clear();
        admitted_.insert(digest, now);
    }
    return admitted;
}

} // namespace tolvek
