// The floating panel on the real X server of the test desktop, under openbox:
// it never becomes the active window, not when shown and not when clicked,
// not even on a button of its bars; floats above other windows, stays out of
// the taskbar, follows a drag of the pointer, and is cut to its rounded shape
// as no compositing manager runs. The pointer is driven through XTest from a
// connection of its own, as a user's mouse would be.
#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QRegion>
#include <QWidget>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/Preferences.h"
#include "session/SessionFixture.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Window.h"
#include "platform/x11/X11WindowHints.h"
#include "ui/FloatingPanelController.h"
#include "ui/FloatingPanelView.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

// Shows a point as "x,y" in failure messages.
inline void PrintTo(const QPoint& point, std::ostream* out)
{
    *out << point.x() << ',' << point.y();
}

using testing::Contains;

namespace {

// The user's mouse: a client of its own that posts pointer events.
class Mouse
{
public:
    Mouse() : m_connection(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
    ~Mouse() { xcb_disconnect(m_connection); }

    void moveTo(QPoint point) { post(XCB_MOTION_NOTIFY, 0, point); }
    void press() { post(XCB_BUTTON_PRESS, 1); }
    void release() { post(XCB_BUTTON_RELEASE, 1); }

private:
    void post(uint8_t type, uint8_t detail, QPoint point = {})
    {
        const xcb_window_t root = type == XCB_MOTION_NOTIFY ? m_root : xcb_window_t(XCB_WINDOW_NONE);
        xcb_test_fake_input(m_connection, type, detail, XCB_CURRENT_TIME, root, int16_t(point.x()),
                            int16_t(point.y()), 0);
        // Round trip: the server has handled it.
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = XCB_NONE;
};

// Content of a panel: a line of text on a dark ground, that lets presses
// through to the panel.
std::unique_ptr<QLabel> content(const QString& text = QStringLiteral("Ready"))
{
    auto label = std::make_unique<QLabel>(text);
    label->setContentsMargins(16, 0, 16, 0);
    label->setAutoFillBackground(true);
    label->setPalette(QPalette(Qt::white, Qt::darkGray));
    return label;
}

// Counts the presses that reach the panel window.
class PressCounter : public QObject
{
public:
    int presses = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A press soon after the last click comes as a double click.
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
            ++presses;
        return QObject::eventFilter(watched, event);
    }
};

// What a compositing manager does first: take the screen's selection
// _NET_WM_CM_S<n>, held by a client of its own while it lives.
class CompositorSelection
{
public:
    explicit CompositorSelection(int screen) : m_connection(xcb_connect(nullptr, nullptr))
    {
        const xcb_screen_t* root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        const xcb_window_t owner = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, owner, root->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, false, uint16_t(name.size()), name.constData()),
            nullptr);
        xcb_set_selection_owner(m_connection, owner, atom->atom, XCB_CURRENT_TIME);
        std::free(atom);
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }
    ~CompositorSelection() { xcb_disconnect(m_connection); }

private:
    xcb_connection_t* m_connection;
};

// The panels of these tests keep their settings in the fixture's private home.
class FloatingPanelDesktopTest : public SessionFixture
{
protected:
    void SetUp() override
    {
        x = X11Connection::fromQt();
        ASSERT_TRUE(x) << "needs an X display";
        controller = std::make_unique<FloatingPanelController>(content(), prefs, x11WindowHints());
    }

    // The app's panel instead: the bars of a controller on the fixture's
    // fakes, its window on the X server.
    void useTheControllersPanel()
    {
        controller.reset();
        floatingPanel = [](SessionManager& s) {
            return std::make_unique<FloatingPanelController>(s, x11WindowHints());
        };
        buildReady();
        ASSERT_TRUE(waitUntil([&] { return session->floatingPanel() != nullptr; }));
    }

    FloatingPanelController& current()
    {
        return controller ? *controller : *static_cast<FloatingPanelController*>(session->floatingPanel());
    }
    QWidget& panel() { return *current().panel(); }
    xcb_window_t panelId() { return xcb_window_t(panel().winId()); }

    xcb_window_t activeWindow() const
    {
        const auto active = X11Window::active(*x);
        return active ? active->id() : xcb_window_t(XCB_WINDOW_NONE);
    }
    // The window the target process shows (in front once started).
    xcb_window_t startInFront(PasteTargetProcess& target)
    {
        return target.start() ? activeWindow() : xcb_window_t(XCB_WINDOW_NONE);
    }

    // Managed windows, bottom of the stack first.
    QList<xcb_window_t> stacking() const
    {
        QList<xcb_window_t> ids;
        for (const X11Window& window : X11Window::clients(*x))
            ids.append(window.id());
        return ids;
    }

    // Shows the panel and waits until the window manager has mapped it.
    bool showPanel()
    {
        current().show();
        return waitUntil([&] { return stacking().contains(panelId()) && isViewable(panelId()); });
    }

    bool isViewable(xcb_window_t window) const
    {
        xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(
            x->get(), xcb_get_window_attributes(x->get(), window), nullptr);
        const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(reply);
        return viewable;
    }

    // Where the X server has the panel's top-left corner.
    QPoint serverPosition()
    {
        xcb_translate_coordinates_reply_t* reply = xcb_translate_coordinates_reply(
            x->get(), xcb_translate_coordinates(x->get(), panelId(), x->root(), 0, 0), nullptr);
        const QPoint position = reply ? QPoint(reply->dst_x, reply->dst_y) : QPoint(-1, -1);
        std::free(reply);
        return position;
    }

    int serverWidth()
    {
        xcb_get_geometry_reply_t* reply =
            xcb_get_geometry_reply(x->get(), xcb_get_geometry(x->get(), panelId()), nullptr);
        const int width = reply ? reply->width : -1;
        std::free(reply);
        return width;
    }

    // Asks the window manager, as a pager would, to move the panel.
    void moveByWindowManager(QPoint to)
    {
        xcb_connection_t* pager = xcb_connect(nullptr, nullptr);
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = panelId();
        message.type = x->atom("_NET_MOVERESIZE_WINDOW");
        // Static gravity, x and y given, from a pager.
        message.data.data32[0] = 10 | (1 << 8) | (1 << 9) | (2 << 12);
        message.data.data32[1] = uint32_t(to.x());
        message.data.data32[2] = uint32_t(to.y());
        xcb_send_event(pager, false, x->root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        std::free(xcb_get_input_focus_reply(pager, xcb_get_input_focus(pager), nullptr));
        xcb_disconnect(pager);
    }

    // The names of the atoms in a property of the panel.
    QStringList atomNames(const char* property)
    {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            x->get(),
            xcb_get_property(x->get(), false, panelId(), x->atom(property), XCB_ATOM_ATOM, 0, 64),
            nullptr);
        QStringList names;
        if (reply) {
            const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
            for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
                names << atomName(atoms[i]);
        }
        std::free(reply);
        return names;
    }

    QString atomName(xcb_atom_t atom)
    {
        xcb_get_atom_name_reply_t* reply =
            xcb_get_atom_name_reply(x->get(), xcb_get_atom_name(x->get(), atom), nullptr);
        const QString name = reply ? QString::fromLatin1(xcb_get_atom_name_name(reply),
                                                         xcb_get_atom_name_name_length(reply))
                                   : QString();
        std::free(reply);
        return name;
    }

    // Clicks the shown button `name` of the panel where the server has it.
    void clickButton(const QString& name)
    {
        QAbstractButton* button = nullptr;
        for (auto* candidate : panel().findChildren<QAbstractButton*>(name)) {
            if (candidate->isVisibleTo(&panel()))
                button = candidate;
        }
        ASSERT_NE(button, nullptr) << name.toStdString();
        // The panel refits its width to a new bar: click once that is done and
        // the server has it.
        const auto* view = panel().findChild<FloatingPanelView*>();
        ASSERT_TRUE(waitUntil([&] {
            const int fitting = std::max(FloatingPanelController::kMinimumWidth, view->sizeHint().width());
            return panel().width() == fitting && serverWidth() == fitting;
        }));
        mouse.moveTo(serverPosition() + button->mapTo(&panel(), button->rect().center()));
        mouse.press();
        mouse.release();
    }

    // The panel's shape on the server: none when it is a plain rectangle.
    std::optional<QRegion> boundingShape()
    {
        xcb_shape_query_extents_reply_t* extents = xcb_shape_query_extents_reply(
            x->get(), xcb_shape_query_extents(x->get(), panelId()), nullptr);
        const bool shaped = extents && extents->bounding_shaped;
        std::free(extents);
        if (!shaped)
            return std::nullopt;
        xcb_shape_get_rectangles_reply_t* reply = xcb_shape_get_rectangles_reply(
            x->get(), xcb_shape_get_rectangles(x->get(), panelId(), XCB_SHAPE_SK_BOUNDING), nullptr);
        QRegion region;
        if (reply) {
            const xcb_rectangle_t* rects = xcb_shape_get_rectangles_rectangles(reply);
            for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(reply); ++i)
                region += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
        }
        std::free(reply);
        return region;
    }

    std::optional<X11Connection> x;
    std::unique_ptr<FloatingPanelController> controller;
    Mouse mouse;
};

}  // namespace

TEST_F(FloatingPanelDesktopTest, ShowingThePanelLeavesTheActiveWindowActive)
{
    PasteTargetProcess target;
    const xcb_window_t front = startInFront(target);
    ASSERT_NE(front, XCB_WINDOW_NONE);

    ASSERT_TRUE(showPanel());
    spinFor(300);   // time for the window manager to change its mind

    EXPECT_EQ(activeWindow(), front);
    EXPECT_FALSE(panel().isActiveWindow());
    // Placed as built: centred, 80 px above the bottom of the 1280x1024 screen.
    EXPECT_EQ(serverPosition(), QPoint((1280 - panel().width()) / 2, 1024 - 80 - 44));
}

TEST_F(FloatingPanelDesktopTest, ClickingThePanelLeavesTheActiveWindowActive)
{
    PasteTargetProcess target;
    const xcb_window_t front = startInFront(target);
    ASSERT_NE(front, XCB_WINDOW_NONE);
    ASSERT_TRUE(showPanel());
    const QPoint placed = serverPosition();
    PressCounter counter;
    panel().installEventFilter(&counter);

    for (int click = 1; click <= 2; ++click) {
        mouse.moveTo(placed + QPoint(panel().width() / 2, 22));
        mouse.press();
        mouse.release();
        ASSERT_TRUE(waitUntil([&] { return counter.presses == click; })) << "the click missed the panel";
        spinFor(300);
        EXPECT_EQ(activeWindow(), front) << "after click " << click;
    }
    EXPECT_FALSE(panel().isActiveWindow());
    EXPECT_EQ(serverPosition(), placed) << "a click without motion moved it";
    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelX));
}

TEST_F(FloatingPanelDesktopTest, DraggingThePanelMovesItAndStoresWhereItWent)
{
    PasteTargetProcess target;
    const xcb_window_t front = startInFront(target);
    ASSERT_NE(front, XCB_WINDOW_NONE);
    ASSERT_TRUE(showPanel());
    const QPoint start = serverPosition();
    const QPoint grab = start + QPoint(20, 20);
    const QPoint by(-300, -400);

    // A click first, so that the drag's press comes as a double click.
    mouse.moveTo(grab);
    mouse.press();
    mouse.release();
    mouse.press();
    for (int step = 1; step <= 10; ++step) {
        mouse.moveTo(grab + by * step / 10);
        spinFor(10);
    }
    mouse.release();

    const QPoint end = start + by;
    EXPECT_TRUE(waitUntil([&] { return serverPosition() == end; }));
    EXPECT_EQ(serverPosition(), end);
    // Stored once the release has come through.
    EXPECT_TRUE(waitUntil([&] { return prefs.contains(PrefKey::floatingPanelY); }));
    EXPECT_EQ(prefs.floatingPanelX(), end.x());
    EXPECT_EQ(prefs.floatingPanelY(), end.y());
    EXPECT_EQ(activeWindow(), front);

    // The next launch puts it there.
    controller.reset();
    controller = std::make_unique<FloatingPanelController>(content(), prefs, x11WindowHints());
    ASSERT_TRUE(showPanel());
    EXPECT_TRUE(waitUntil([&] { return serverPosition() == end; }));
}

// In most runs Qt loses track of where openbox put the panel and believes it
// is at (0, 0); growing the panel must not move it there.
TEST_F(FloatingPanelDesktopTest, ANewWidthKeepsThePanelWhereItIs)
{
    auto owned = content();
    QLabel* label = owned.get();
    controller = std::make_unique<FloatingPanelController>(std::move(owned), prefs, x11WindowHints());
    ASSERT_TRUE(showPanel());
    spinFor(100);   // until the window manager is done with it
    const QPoint placed = serverPosition();
    const int width = serverWidth();

    label->setText(QStringLiteral("Ready, ready, ready, ready, ready"));
    ASSERT_TRUE(waitUntil([&] { return serverWidth() > width; })) << "width " << serverWidth();
    spinFor(100);

    EXPECT_EQ(serverPosition(), placed);
}

TEST_F(FloatingPanelDesktopTest, FloatsAboveWindowsActivatedLaterAndStaysOutOfTheTaskbar)
{
    ASSERT_TRUE(showPanel());

    // A window that opens later comes to the front, active, but below the panel.
    PasteTargetProcess later;
    const xcb_window_t front = startInFront(later);
    ASSERT_NE(front, XCB_WINDOW_NONE);
    spinFor(100);

    const QList<xcb_window_t> stack = stacking();
    EXPECT_GT(stack.indexOf(panelId()), stack.indexOf(front));
    const QStringList states = atomNames("_NET_WM_STATE");
    EXPECT_THAT(states, Contains("_NET_WM_STATE_ABOVE"));
    EXPECT_THAT(states, Contains("_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_THAT(states, Contains("_NET_WM_STATE_SKIP_PAGER"));
}

TEST_F(FloatingPanelDesktopTest, HiddenAndShownAgainItKeepsItsPlaceAndItsHints)
{
    ASSERT_TRUE(showPanel());
    spinFor(100);
    const QPoint placed = serverPosition();

    controller->hide();
    ASSERT_TRUE(waitUntil([&] { return !isViewable(panelId()) && !stacking().contains(panelId()); }))
        << "the window manager still has it";
    ASSERT_TRUE(showPanel());
    spinFor(100);

    EXPECT_EQ(serverPosition(), placed);
    const QStringList states = atomNames("_NET_WM_STATE");
    EXPECT_THAT(states, Contains("_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_THAT(states, Contains("_NET_WM_STATE_ABOVE"));
}

// A move the window manager makes is the panel's new place: stored, and kept
// when the panel is shown again or changes its width.
TEST_F(FloatingPanelDesktopTest, AMoveByTheWindowManagerIsKeptAndStored)
{
    ASSERT_TRUE(showPanel());
    spinFor(100);   // until the window manager is done with it
    const QPoint to(100, 150);

    moveByWindowManager(to);

    ASSERT_TRUE(waitUntil([&] { return serverPosition() == to; })) << "at " << serverPosition().x()
                                                                   << ',' << serverPosition().y();
    ASSERT_TRUE(waitUntil([&] { return prefs.floatingPanelX() == to.x() && prefs.floatingPanelY() == to.y(); }))
        << "stored " << prefs.floatingPanelX().value_or(-1) << ',' << prefs.floatingPanelY().value_or(-1);

    controller->hide();
    ASSERT_TRUE(waitUntil([&] { return !isViewable(panelId()) && !stacking().contains(panelId()); }));
    ASSERT_TRUE(showPanel());
    spinFor(100);
    EXPECT_EQ(serverPosition(), to);
}

// A click on a button of the app's panel drives the dictation, and the
// program the user dictates into stays the active one.
TEST_F(FloatingPanelDesktopTest, AButtonClickChangesTheStateAndLeavesTheActiveWindowActive)
{
    PasteTargetProcess target;
    const xcb_window_t front = startInFront(target);
    ASSERT_NE(front, XCB_WINDOW_NONE);
    useTheControllersPanel();
    ASSERT_TRUE(showPanel());
    start();

    clickButton("panelPause");
    ASSERT_TRUE(waitUntil([&] { return session->state() == SessionState::paused; }));
    spinFor(300);   // time for the window manager to change its mind
    EXPECT_EQ(activeWindow(), front);

    clickButton("panelCancel");
    ASSERT_TRUE(waitUntil([&] { return session->state() == SessionState::idle; }));
    spinFor(300);
    EXPECT_EQ(activeWindow(), front);
    EXPECT_FALSE(panel().isActiveWindow());
}

// No compositing manager runs on the test desktop: the panel's transparent
// corners would be black, so the window is cut to its rounded shape. Once a
// compositing manager holds its selection, the next show leaves it whole.
TEST_F(FloatingPanelDesktopTest, WithoutACompositorThePanelIsCutToItsRoundedShape)
{
    ASSERT_TRUE(showPanel());
    const int width = panel().width();
    const std::optional<QRegion> shape = boundingShape();
    ASSERT_TRUE(shape) << "not shaped";
    for (const QPoint corner : {QPoint(0, 0), QPoint(width - 1, 0), QPoint(0, 43), QPoint(width - 1, 43)})
        EXPECT_FALSE(shape->contains(corner)) << corner.x() << ',' << corner.y();
    for (const QPoint inside : {QPoint(width / 2, 0), QPoint(0, 22), QPoint(width - 1, 22), QPoint(width / 2, 43)})
        EXPECT_TRUE(shape->contains(inside)) << inside.x() << ',' << inside.y();

    CompositorSelection compositor(x->screen());
    current().hide();
    ASSERT_TRUE(waitUntil([&] { return !isViewable(panelId()); }));
    ASSERT_TRUE(showPanel());
    EXPECT_TRUE(waitUntil([&] { return !boundingShape(); }));
}
