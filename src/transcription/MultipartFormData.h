#pragma once

#include <QByteArray>
#include <QString>
#include <utility>

// A multipart/form-data body, built part by part in the order of the calls.
// Every text is written as UTF-8; lines end with CR LF.
class MultipartFormData
{
public:
    explicit MultipartFormData(QString boundary) : m_boundary(std::move(boundary)) {}

    // A new boundary: a random UUID, upper-case, without braces.
    static QString newBoundary();

    const QString& boundary() const { return m_boundary; }
    // "multipart/form-data; boundary=" + the boundary.
    QByteArray contentType() const;

    void appendMultipart(const QString& name, const QString& value);
    void appendFile(const QString& name, const QString& fileName, const QString& contentType,
                    const QByteArray& bytes);
    // The body with its closing line.
    QByteArray finished() const;

private:
    void appendOpening(const QString& disposition);

    QString m_boundary;
    QByteArray m_body;
};
