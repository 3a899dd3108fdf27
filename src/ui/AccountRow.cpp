#include "ui/AccountRow.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/PlainLabel.h"
#include "ui/Style.h"
#include "ui/Symbol.h"

namespace {

constexpr int kMarkPixels = 16;
constexpr int kSignOutPixels = 10;
constexpr int kTextSpacing = 2;
constexpr int kVerticalPadding = 4;

}  // namespace

AccountRow::AccountRow(const QString& name, bool canSignOut, QWidget* parent)
    : QWidget(parent)
    , m_mark(new QLabel(this))
    , m_label(new PlainLabel(1, this))
    , m_detail(new PlainLabel(1, this))
{
    setObjectName(name);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    m_mark->setObjectName(name + QStringLiteral("Mark"));
    m_label->setObjectName(name + QStringLiteral("Label"));
    m_detail->setObjectName(name + QStringLiteral("Detail"));
    m_detail->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*m_detail, Style::secondary(palette()));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, kVerticalPadding, 0, kVerticalPadding);
    row->addWidget(m_mark);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(kTextSpacing);
    texts->addWidget(m_label);
    texts->addWidget(m_detail);
    row->addLayout(texts, 1);
    if (canSignOut) {
        m_signOut = new QToolButton(this);
        m_signOut->setObjectName(name + QStringLiteral("SignOut"));
        m_signOut->setAutoRaise(true);
        m_signOut->setFocusPolicy(Qt::TabFocus);
        m_signOut->setIcon(Symbols::icon(Symbol::xmark, Style::secondary(palette())));
        m_signOut->setIconSize(QSize(kSignOutPixels, kSignOutPixels));
        m_signOut->setCursor(Qt::ArrowCursor);
        connect(m_signOut, &QToolButton::clicked, this, &AccountRow::signOutRequested);
        row->addWidget(m_signOut);
    }
    setCurrent(false);
}

void AccountRow::setTexts(const QString& label, const QString& detail)
{
    m_label->setFullText(label);
    m_detail->setFullText(detail);
}

void AccountRow::setCurrent(bool current)
{
    m_current = current;
    m_label->setFont(Style::font(Style::TextSize::body, current ? QFont::DemiBold : QFont::Normal));
    showMark();
}

void AccountRow::showMark()
{
    QColor colour = m_current ? Style::accent(palette()) : Style::secondary(palette());
    if (!isEnabled())
        colour.setAlphaF(colour.alphaF() * 0.4f);
    m_mark->setPixmap(Symbols::pixmap(m_current ? Symbol::recordCircle : Symbol::circle, colour, kMarkPixels,
                                      devicePixelRatioF()));
}

void AccountRow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit selected();
    QWidget::mouseReleaseEvent(event);
}

void AccountRow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit selected();
        return;
    }
    QWidget::keyPressEvent(event);
}

void AccountRow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        showMark();
    QWidget::changeEvent(event);
}
