#pragma once

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

#include "session/TextInjector.h"
#include "platform/x11/X11ClipboardReader.h"
#include "store/Logger.h"
#include "support/FakeAccessibility.h"
#include "support/FakeDesktopWindows.h"
#include "support/FakeKeySynthesizer.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"

// An injector over scripted desktop fakes, with waits shrunk.
class TextInjectorFixture : public testing::Test
{
protected:
    static constexpr auto kRestoreDelay = std::chrono::milliseconds(100);

    TextInjectorFixture()
    {
        auto windowsFake = std::make_unique<FakeDesktopWindows>();
        auto accessibilityFake = std::make_unique<FakeAccessibility>();
        auto keysFake = std::make_unique<FakeKeySynthesizer>();
        windows = windowsFake.get();
        accessibility = accessibilityFake.get();
        keys = keysFake.get();
        using std::chrono::milliseconds;
        injector = std::make_unique<TextInjector>(
            logger, std::move(windowsFake), std::move(accessibilityFake), std::move(keysFake),
            std::make_unique<X11ClipboardReader>(), TextInjectorTiming{milliseconds(1), milliseconds(1), kRestoreDelay});
        clipboard().clear();
    }

    static QClipboard& clipboard() { return *QGuiApplication::clipboard(); }

    // The logger appends its entries from the event queue.
    QList<Logger::LogEntry> logEntries()
    {
        QCoreApplication::sendPostedEvents(&logger, QEvent::MetaCall);
        return logger.entries();
    }

    QStringList logMessages()
    {
        QStringList messages;
        for (const auto& entry : logEntries())
            messages << entry.message;
        return messages;
    }

    // "LEVEL message" lines, for checks that include the level.
    QStringList logLines()
    {
        QStringList lines;
        for (const auto& entry : logEntries())
            lines << toText(entry.level) + ' ' + entry.message;
        return lines;
    }

    // The editor is in front with its text field focused; the injector
    // remembers it, and the user then switches to the browser.
    std::shared_ptr<FakeField> captureEditorThenSwitchAway(const QString& value = "Hello")
    {
        auto field = accessibility->focusField(editor.pid);
        field->value = value;
        windows->frontmost = editor;
        injector->captureTarget();
        windows->frontmost = browser;
        return field;
    }

    const DesktopApplication editor{"Editor", 4242, 0x400001};
    const DesktopApplication browser{"Browser", 5151, 0x500001};

    TempHome home;
    Logger logger{home.path() + "/logs"};
    FakeDesktopWindows* windows = nullptr;
    FakeAccessibility* accessibility = nullptr;
    FakeKeySynthesizer* keys = nullptr;
    std::unique_ptr<TextInjector> injector;
};
