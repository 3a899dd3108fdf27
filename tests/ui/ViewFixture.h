#pragma once

#include <QAbstractButton>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "session/SessionFixture.h"

// The views' tests: the real controller of the session fixture, in English,
// and a way to find the controls a view shows by their names (a rebuilt
// part's predecessor waits hidden for its deletion under the same names).
class ViewFixture : public SessionFixture
{
protected:
    ViewFixture() { locale.setLanguage(LocaleManager::kEnglish); }

    // The one widget under `root` named `name` that `root` shows; null when
    // none is shown.
    template <typename T = QWidget>
    static T* shown(const QWidget& root, const QString& name)
    {
        T* found = nullptr;
        for (T* widget : root.findChildren<T*>(name)) {
            if (!widget->isVisibleTo(&root))
                continue;
            EXPECT_EQ(found, nullptr) << "two widgets named " << name.toStdString() << " are shown";
            found = widget;
        }
        return found;
    }

    // The names of every named widget `root` shows, sorted.
    static QStringList shownNames(const QWidget& root)
    {
        QStringList names;
        for (QWidget* widget : root.findChildren<QWidget*>()) {
            if (!widget->objectName().isEmpty() && !widget->objectName().startsWith(QLatin1String("qt_"))
                && widget->isVisibleTo(&root))
                names << widget->objectName();
        }
        names.sort();
        return names;
    }

    // A mouse click on the control `root` shows under `name`.
    static void click(const QWidget& root, const QString& name)
    {
        QWidget* control = shown(root, name);
        ASSERT_NE(control, nullptr) << name.toStdString() << " is not shown";
        QTest::mouseClick(control, Qt::LeftButton);
    }

    // Drives the controller into `state`: processing waits on a silent
    // recognition service, confirming follows an insertion the target's
    // window refused.
    void reach(SessionState state)
    {
        if (state == SessionState::idle)
            return;
        if (state == SessionState::processing)
            transcribe = [](int) { return sessiontest::silent(); };
        if (state == SessionState::confirming)
            windows.activation = FakeDesktopWindows::Activation::refused;
        start();
        if (state == SessionState::paused)
            session->pauseRecording();
        if (state == SessionState::processing)
            session->stopRecording();
        if (state == SessionState::confirming) {
            session->stopRecording();
            ASSERT_TRUE(waitForState(SessionState::confirming));
        }
        ASSERT_EQ(session->state(), state);
    }
};
