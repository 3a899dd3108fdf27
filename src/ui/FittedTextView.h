#pragma once

#include <QTextEdit>

// Read-only plain text the user can select and copy, padded on every side
// and only as high as its text needs, up to `maximumHeight`; longer texts
// scroll inside it.
class FittedTextView : public QTextEdit
{
    Q_OBJECT
public:
    static constexpr int kPadding = 8;

    explicit FittedTextView(int maximumHeight, QWidget* parent = nullptr);

    // Sets the text; nothing happens (a selection stays) when it is the one
    // shown already.
    void setFullText(const QString& text);
    QString fullText() const { return toPlainText(); }

private:
    void fitHeight();

    int m_maximumHeight;
};
