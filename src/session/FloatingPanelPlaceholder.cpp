#include "session/FloatingPanelPlaceholder.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include "store/LocaleManager.h"

namespace {
constexpr int kHorizontalPadding = 16;
constexpr qreal kCornerRadius = 12;
const QColor kBackground(30, 30, 30, 220);
}

FloatingPanelPlaceholder::FloatingPanelPlaceholder(LocaleManager& locale, QWidget* parent)
    : QWidget(parent), m_locale(locale), m_label(new QLabel(this))
{
    m_label->setTextFormat(Qt::PlainText);
    QFont font = m_label->font();
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    m_label->setFont(font);
    QPalette palette = m_label->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 255, 255, 204));
    m_label->setPalette(palette);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kHorizontalPadding, 0, kHorizontalPadding, 0);
    layout->addWidget(m_label, 0, Qt::AlignCenter);

    connect(&m_locale, &LocaleManager::languageChanged, this, &FloatingPanelPlaceholder::updateText);
    updateText();
}

QString FloatingPanelPlaceholder::text() const { return m_label->text(); }

void FloatingPanelPlaceholder::updateText()
{
    m_label->setText(m_locale.text(QStringLiteral("float.ready")));
}

void FloatingPanelPlaceholder::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBackground);
    painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
}
