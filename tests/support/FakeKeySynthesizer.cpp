#include "support/FakeKeySynthesizer.h"

#include <QClipboard>
#include <QGuiApplication>

bool FakeKeySynthesizer::postPaste()
{
    if (!available)
        return false;
    clipboardAtPaste.append(QGuiApplication::clipboard()->text());
    return true;
}
