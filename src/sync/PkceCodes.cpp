#include "sync/PkceCodes.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <array>

namespace {

constexpr qsizetype kVerifierBytes = 64;
constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

}  // namespace

QString PkceCodes::newVerifier()
{
    std::array<quint32, kVerifierBytes / sizeof(quint32)> words;
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    const QByteArray bytes(reinterpret_cast<const char*>(words.data()), kVerifierBytes);
    return QString::fromLatin1(bytes.toBase64(kBase64Url));
}

QString PkceCodes::challenge(const QString& verifier)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256).toBase64(kBase64Url));
}
