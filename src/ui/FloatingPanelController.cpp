#include "ui/FloatingPanelController.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainterPath>
#include <QRegion>
#include <QWidget>
#include <algorithm>
#include <cstdlib>

#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "ui/FloatingPanelPlacement.h"
#include "ui/FloatingPanelView.h"

FloatingPanelController::FloatingPanelController(std::unique_ptr<QWidget> content,
                                                 Preferences& preferences, WindowHints hints,
                                                 QObject* parent)
    : QObject(parent), m_preferences(preferences), m_hints(std::move(hints))
{
    m_storeTimer.setSingleShot(true);
    m_storeTimer.setInterval(kStoreDelay);
    connect(&m_storeTimer, &QTimer::timeout, this, &FloatingPanelController::storePosition);
    if (!content)
        return;
    buildPanel(std::move(content));
    // Queued: the screen lists are up to date by then, and the window
    // manager may have moved the panel already.
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &FloatingPanelController::keepOnScreen,
            Qt::QueuedConnection);
}

FloatingPanelController::FloatingPanelController(SessionManager& session, WindowHints hints,
                                                 QObject* parent)
    : FloatingPanelController(std::make_unique<FloatingPanelView>(session), session.preferences(),
                              std::move(hints), parent)
{
}

FloatingPanelController::~FloatingPanelController()
{
    if (m_storeTimer.isActive())
        storePosition();
    if (m_panel)
        m_panel->removeEventFilter(this);
}

void FloatingPanelController::buildPanel(std::unique_ptr<QWidget> content)
{
    // A tool window that says it takes no input focus (WM_HINTS) and asks to
    // be mapped without activation (_NET_WM_USER_TIME 0), so the window
    // manager activates it neither when shown nor when clicked.
    m_panel = std::make_unique<QWidget>(
        nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                     | Qt::WindowDoesNotAcceptFocus);
    m_panel->setAttribute(Qt::WA_ShowWithoutActivating);
    // The content draws its own rounded background.
    m_panel->setAttribute(Qt::WA_TranslucentBackground);
    // Tooltips show only in the active window otherwise, which the panel never is.
    m_panel->setAttribute(Qt::WA_AlwaysShowToolTips);
    m_panel->setFocusPolicy(Qt::NoFocus);
    m_panel->setWindowTitle(QStringLiteral("Talvex"));
    m_panel->setObjectName(QStringLiteral("floatingPanel"));

    auto* layout = new QHBoxLayout(m_panel.get());
    layout->setContentsMargins(0, 0, 0, 0);
    // The width is ours to set (see fitWidth()), not the layout's.
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->addWidget(content.get());
    m_content = content.release();   // now the panel's child
    // An activated layout posts a layout request to the panel whenever the
    // content's size hint changes, shown or not.
    layout->activate();

    m_panel->setFixedHeight(kPanelHeight);
    const QSize size(fittingWidth(), kPanelHeight);
    m_position = FloatingPanelPlacement::place(
        size,
        FloatingPanelPlacement::storedPosition(m_preferences.floatingPanelX(),
                                               m_preferences.floatingPanelY()),
        FloatingPanelPlacement::currentScreens());
    m_storedPosition = m_position;
    m_panel->setGeometry(QRect(m_position, size));
    m_panel->installEventFilter(this);
}

void FloatingPanelController::show()
{
    if (!m_panel)
        return;
    if (!m_panel->isVisible()) {
        // Hidden, the panel can be put back where it belongs at no cost.
        m_panel->setGeometry(QRect(m_position, m_panel->size()));
        if (m_hints.skipTaskbar)
            m_hints.skipTaskbar(*m_panel);
    }
    fitWidth();
    // A compositing manager may have come or gone since the last show.
    updateMask();
    m_panel->show();
}

void FloatingPanelController::hide()
{
    if (!m_panel)
        return;
    m_grabOffset.reset();
    m_panel->hide();
}

bool FloatingPanelController::isShown() const
{
    return m_panel && m_panel->isVisible();
}

int FloatingPanelController::fittingWidth() const
{
    return std::max(kMinimumWidth, m_content->sizeHint().width());
}

void FloatingPanelController::fitWidth()
{
    const int width = fittingWidth();
    if (std::abs(width - m_panel->width()) > kWidthTolerance)
        m_panel->setGeometry(QRect(m_position, QSize(width, kPanelHeight)));
}

void FloatingPanelController::dragTo(const QPoint& globalPointer)
{
    const QPoint position = globalPointer - *m_grabOffset;
    if (position == m_position)
        return;
    m_position = position;
    m_panel->move(position);
    // Written when the button goes up; the timer covers a release that
    // never reaches the panel.
    m_storeTimer.start();
}

void FloatingPanelController::followMove()
{
    const QPoint actual = m_hints.position ? m_hints.position(*m_panel) : m_panel->pos();
    if (actual == m_position)
        return;
    m_position = actual;
    m_storeTimer.start();
}

void FloatingPanelController::keepOnScreen()
{
    const QPoint placed = FloatingPanelPlacement::place(m_panel->size(), m_position,
                                                        FloatingPanelPlacement::currentScreens());
    if (placed == m_position)
        return;
    m_position = placed;
    m_panel->move(placed);
    storePosition();
}

void FloatingPanelController::storePosition()
{
    m_storeTimer.stop();
    if (m_position == m_storedPosition)
        return;
    m_preferences.setValue(PrefKey::floatingPanelX, m_position.x());
    m_preferences.setValue(PrefKey::floatingPanelY, m_position.y());
    m_storedPosition = m_position;
}

void FloatingPanelController::updateMask()
{
    if (m_hints.compositing && m_hints.compositing()) {
        if (!m_panel->mask().isEmpty())
            m_panel->clearMask();
        return;
    }
    const QPainterPath shape = FloatingPanelView::backgroundShape(QRectF(m_panel->rect()));
    const QRegion region(shape.toFillPolygon().toPolygon());
    if (region != m_panel->mask())
        m_panel->setMask(region);
}

bool FloatingPanelController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_panel.get())
        return QObject::eventFilter(watched, event);
    // Mouse events reach the panel itself only where no control of the
    // content took them: its background.
    switch (event->type()) {
    case QEvent::LayoutRequest:
        fitWidth();
        break;
    case QEvent::Resize:
        updateMask();
        break;
    case QEvent::Move:
        // Our own drag moves it too; what the server says settles it then.
        if (!m_grabOffset && m_panel->isVisible())
            followMove();
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {   // a press soon after a click
        const auto* mouse = static_cast<QMouseEvent*>(event);
        // The pointer's place in the panel, not the panel's position, which
        // Qt may have wrong.
        if (mouse->button() == Qt::LeftButton)
            m_grabOffset = mouse->position().toPoint();
        break;
    }
    case QEvent::MouseMove: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (m_grabOffset && (mouse->buttons() & Qt::LeftButton))
            dragTo(mouse->globalPosition().toPoint());
        break;
    }
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            m_grabOffset.reset();
            if (m_storeTimer.isActive())   // the end of a drag that moved it
                storePosition();
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
