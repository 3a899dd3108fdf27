#pragma once

#include <QPainterPath>
#include <QWidget>
#include <functional>
#include <vector>

#include "ui/Symbol.h"

class QAbstractButton;
class QHBoxLayout;
class QLabel;
class QPushButton;
class SessionManager;

// The floating panel's content: one bar per dictation state, light text on a
// dark rounded background, 44 px high and as wide as the bar. It shows what
// the controller and its recorder and orchestrator publish, and each button
// calls one controller operation. A bar is built when the state changes;
// within it, texts follow their values and the language in place. No control
// takes the keyboard focus.
class FloatingPanelView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 44;
    static constexpr qreal kCornerRadius = 12;
    // Characters of the waiting text the confirming bar shows.
    static constexpr int kPreviewLength = 20;

    explicit FloatingPanelView(SessionManager& session, QWidget* parent = nullptr);

    // The outline of the background in `rect`: also the window's shape where
    // nothing draws translucent corners.
    static QPainterPath backgroundShape(const QRectF& rect);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    enum class ButtonRole { cancel, secondary, primary };

    // Builds the bar of the current state; the old one goes once the event
    // loop is back (its button may be the one whose click got us here).
    void showBar();
    QWidget* idleBar();
    QWidget* recordingBar(bool paused);
    QWidget* processingBar();
    QWidget* confirmingBar();
    QWidget* buttonGroup(const std::vector<QPushButton*>& buttons);
    QPushButton* capsuleButton(const char* key, ButtonRole role, const QString& name,
                               void (SessionManager::*operation)());
    QAbstractButton* symbolButton(Symbol symbol, qreal opacity, const char* key, const QString& name,
                                  void (SessionManager::*operation)());
    QLabel* textLabel(const QFont& font, const QColor& colour, const QString& name);

    // Runs every update of the bar (a language change touches them all).
    void showTexts();
    void showTime();
    void showProgress();
    void showWarning();
    void showShortcut();

    SessionManager& m_session;
    QHBoxLayout* m_layout;
    QWidget* m_bar = nullptr;
    // The current bar's value-bearing controls; null where the bar has none.
    QLabel* m_shortcut = nullptr;
    QLabel* m_warning = nullptr;
    QLabel* m_time = nullptr;
    QLabel* m_progress = nullptr;
    // The current bar's localised texts, each set from its key.
    std::vector<std::function<void()>> m_localised;
};
