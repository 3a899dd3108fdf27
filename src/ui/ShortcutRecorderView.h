#pragma once

#include <QWidget>
#include <optional>

class PlainLabel;
class Preferences;
class QKeyEvent;

// The control that records the dictation shortcut into the stored
// "shortcut": it shows the stored text and follows its changes; a click
// starts recording, and the next key press with at least one of Control,
// Alt, Shift and Super on a key of the key table is written as the new
// shortcut text. Escape, a loss of the keyboard focus or hiding the control
// end recording without a change.
//
// While recording it holds the keyboard, so that a combination the window
// manager or this application's own hot key would take reaches it instead,
// and it takes the keys the window would use itself (its shortcuts, Tab).
class ShortcutRecorderView : public QWidget
{
    Q_OBJECT
public:
    static constexpr auto kRecordingText = "Press shortcut...";
    static constexpr auto kEmptyText = "Click to set";

    explicit ShortcutRecorderView(Preferences& preferences, QWidget* parent = nullptr);

    bool isRecording() const { return m_recording; }

    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kWidth = 200;
    static constexpr int kHeight = 28;
    static constexpr int kInset = 4;
    static constexpr qreal kCornerRadius = 6;

    void startRecording();
    void stopRecording();
    void updateDisplay();
    // The shortcut text a key press names: the glyphs of its modifiers in the
    // text's order and the name of the key at its position; none without a
    // modifier or for a key outside the table.
    static std::optional<QString> shortcutText(const QKeyEvent& event);

    Preferences& m_preferences;
    // Before the label: making it sends this widget events that read it.
    bool m_recording = false;
    PlainLabel* m_label;
};
