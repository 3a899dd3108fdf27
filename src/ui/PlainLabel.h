#pragma once

#include <QLabel>
#include <utility>

// A label that shows its text as plain text (never as HTML: much of what the
// interface shows comes from outside), in at most `maximumLines` lines at
// its width; what does not fit ends in an ellipsis. 0 lines: no limit.
class PlainLabel : public QLabel
{
    Q_OBJECT
public:
    explicit PlainLabel(int maximumLines = 1, QWidget* parent = nullptr);

    // Sets the text; nothing happens when it is the one shown already.
    void setFullText(const QString& text);
    QString fullText() const { return m_fullText; }
    // Whether the text is cut to fit.
    bool isElided() const { return m_elided; }

    // A one-line label asks for the width of its whole text, so that a
    // layout widens it again after it had to be cut.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showFitted();
    // The text as it fits `width`, and whether it had to be cut.
    std::pair<QString, bool> fitted(int width) const;

    int m_maximumLines;
    QString m_fullText;
    bool m_elided = false;
};
