#pragma once

#include <QObject>
#include <QPoint>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>

#include "platform/WindowHints.h"
#include "session/FloatingPanel.h"

class Preferences;
class QWidget;
class SessionManager;

// The small always-on-top panel that shows the dictation state outside the
// main window. It is a frameless tool window that never takes the keyboard
// focus or becomes the active window, so clicking it leaves the application
// the user works in active. It fits its width to its content, can be dragged
// by any point its content leaves to it, and remembers where it was put, by
// the user's drag or by the window manager ("floatingPanelX"/"floatingPanelY":
// the panel's top-left corner in global logical pixels). When the screen it is
// on goes away it is placed again. Where no compositing manager runs, the
// window is cut to the rounded shape of its background. Main thread only.
class FloatingPanelController : public QObject, public FloatingPanel
{
    Q_OBJECT
public:
    static constexpr int kPanelHeight = 44;
    static constexpr int kMinimumWidth = 150;
    // Width changes of the content up to this much leave the panel as it is.
    static constexpr int kWidthTolerance = 1;
    // The window manager's moves come in bursts (a drag with Alt, a move by
    // keyboard): the position is written once they have stopped this long.
    static constexpr std::chrono::milliseconds kStoreDelay{300};

    // Builds the panel around `content`, sized and placed but hidden. Without
    // content no panel is built, and show() and hide() do nothing.
    explicit FloatingPanelController(std::unique_ptr<QWidget> content, Preferences& preferences,
                                     WindowHints hints = {}, QObject* parent = nullptr);
    // The panel of `session`, on its preferences, showing its bars.
    explicit FloatingPanelController(SessionManager& session, WindowHints hints = {},
                                     QObject* parent = nullptr);
    ~FloatingPanelController() override;

    void show() override;
    void hide() override;
    bool isShown() const override;

    // The panel window; null when there is none.
    QWidget* panel() const { return m_panel.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildPanel(std::unique_ptr<QWidget> content);
    int fittingWidth() const;
    // Takes the content's width, keeping the left and top edges.
    void fitWidth();
    // A drag by the user: moves the panel; where it went is stored when the
    // button is released.
    void dragTo(const QPoint& globalPointer);
    // A move not of our making (the window manager's): kept and stored.
    void followMove();
    // After a screen went away: back onto a screen when it is no longer on one.
    void keepOnScreen();
    // Writes m_position now, unless the settings already hold it.
    void storePosition();
    // Cuts the window to its background's shape unless a compositing
    // manager draws its transparent corners.
    void updateMask();

    Preferences& m_preferences;
    const WindowHints m_hints;
    std::unique_ptr<QWidget> m_panel;
    QWidget* m_content = nullptr;
    // Where the panel's top-left corner belongs: where it was placed or
    // dragged to. Qt's own idea can be wrong: under openbox Qt often takes a
    // newly mapped panel to be at (0, 0), having read the position while the
    // window manager's frame was still there, and nothing corrects it. Every
    // change of the panel's geometry starts from this instead.
    QPoint m_position;
    // Where the settings put the panel: the place written last, or the first
    // placement. A move the window manager makes while it maps the panel can
    // pass through other places and end where it began; that is no move.
    QPoint m_storedPosition;
    // Where in the panel the pointer grabbed it, while a drag lasts.
    std::optional<QPoint> m_grabOffset;
    // Runs while m_position waits to be written.
    QTimer m_storeTimer;
};
