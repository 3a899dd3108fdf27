#pragma once

#include <QString>

// The proof key of a browser sign-in: a random verifier kept on this device
// and the challenge derived from it that goes through the browser.
namespace PkceCodes {
// 64 random bytes from the system's generator, base64url without padding.
QString newVerifier();
// base64url(SHA-256(verifier)) without padding.
QString challenge(const QString& verifier);
}
