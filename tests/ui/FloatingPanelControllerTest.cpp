// The panel window on the offscreen platform: its placement from the stored
// position, its width from the content, dragging and what is stored.
#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

#include "platform/Preferences.h"
#include "ui/FloatingPanelController.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

// Shows a point as "x,y" in failure messages.
inline void PrintTo(const QPoint& point, std::ostream* out)
{
    *out << point.x() << ',' << point.y();
}

namespace {

// Content with a size hint the test sets, announced the way a widget whose
// text changed announces it.
class SizedContent : public QWidget
{
public:
    explicit SizedContent(int width) : m_width(width) {}
    QSize sizeHint() const override { return {m_width, FloatingPanelController::kPanelHeight}; }
    void setHintWidth(int width)
    {
        m_width = width;
        updateGeometry();
    }

private:
    int m_width;
};

class FloatingPanelControllerTest : public testing::Test
{
protected:
    // Builds the controller around content `width` wide.
    FloatingPanelController& build(int width = 200)
    {
        auto owned = std::make_unique<SizedContent>(width);
        content = owned.get();
        controller = std::make_unique<FloatingPanelController>(std::move(owned), prefs);
        return *controller;
    }
    QWidget& panel() { return *controller->panel(); }

    // Centred on the offscreen screen's available area, 80 px above its bottom.
    static QPoint defaultPosition(int width)
    {
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        return {area.x() + (area.width() - width) / 2,
                area.y() + area.height() - 80 - FloatingPanelController::kPanelHeight};
    }

    void store(const QVariant& x, const QVariant& y)
    {
        prefs.setValue(PrefKey::floatingPanelX, x);
        prefs.setValue(PrefKey::floatingPanelY, y);
    }

    QTemporaryDir dir;
    Preferences prefs{dir.filePath("prefs.conf")};
    SizedContent* content = nullptr;
    std::unique_ptr<FloatingPanelController> controller;
};

}  // namespace

TEST_F(FloatingPanelControllerTest, BuildsAHiddenFramelessToolWindowThatNeverTakesFocus)
{
    build();

    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(panel().isWindow());
    const Qt::WindowFlags flags = panel().windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_TRUE(flags & Qt::FramelessWindowHint);
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(flags & Qt::WindowDoesNotAcceptFocus);
    EXPECT_TRUE(panel().testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(panel().testAttribute(Qt::WA_TranslucentBackground));
    // Its tooltips show although it is never the active window.
    EXPECT_TRUE(panel().testAttribute(Qt::WA_AlwaysShowToolTips));
    EXPECT_EQ(panel().geometry(), QRect(defaultPosition(200), QSize(200, 44)));
}

TEST_F(FloatingPanelControllerTest, PlacementFromTheStoredPosition)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
        const char* name;
        QVariant x, y;
        QPoint expected;
    } cases[] = {
        {"on the screen", 37, 91, {37, 91}},
        {"stored as text by hand", "37", "91", {37, 91}},
        {"partly past the right edge", area.right() - 60, 91, {area.right() - 60, 91}},
        {"off every screen (a monitor was unplugged)", area.right() + 500, 91, defaultPosition(200)},
        {"only x stored", 37, {}, defaultPosition(200)},
        {"not numbers", "left", "top", defaultPosition(200)},
    };
    for (const auto& c : cases) {
        prefs.remove(PrefKey::floatingPanelX);
        prefs.remove(PrefKey::floatingPanelY);
        if (c.x.isValid())
            prefs.setValue(PrefKey::floatingPanelX, c.x);
        if (c.y.isValid())
            prefs.setValue(PrefKey::floatingPanelY, c.y);

        build();

        EXPECT_EQ(panel().pos(), c.expected) << c.name;
    }
}

TEST_F(FloatingPanelControllerTest, WidthFollowsTheContentAndKeepsTheLeftEdge)
{
    build(80);
    EXPECT_EQ(panel().width(), 150) << "narrow content";
    const QPoint origin = panel().pos();

    const struct {
        int hint;
        int width;
    } steps[] = {
        {300, 300},
        {301, 300},   // within a pixel: unchanged
        {299, 300},
        {302, 302},
        {120, 150},
        {151, 150},
        {152, 152},
    };
    controller->show();
    for (const auto& s : steps) {
        content->setHintWidth(s.hint);
        spinFor(20);
        EXPECT_EQ(panel().width(), s.width) << "content " << s.hint;
        EXPECT_EQ(panel().height(), 44);
        EXPECT_EQ(panel().pos(), origin);
    }
}

TEST_F(FloatingPanelControllerTest, WidthFollowsContentChangedWhileHidden)
{
    build(200);

    content->setHintWidth(400);
    EXPECT_TRUE(waitUntil([&] { return panel().width() == 400; }, 1000));
    EXPECT_FALSE(panel().isVisible());

    controller->show();
    EXPECT_EQ(panel().width(), 400);
}

// The settings file is written once, when the drag ends, not at every step.
TEST_F(FloatingPanelControllerTest, DraggingTheBackgroundMovesThePanelAndStoresWhereItEnded)
{
    build();
    controller->show();
    const QPoint start = panel().pos();
    QSignalSpy changes(&prefs, &Preferences::changed);

    QTest::mousePress(&panel(), Qt::LeftButton, {}, {10, 10});
    QTest::mouseMove(&panel(), {10 + 30, 10 - 20});
    EXPECT_EQ(panel().pos(), start + QPoint(30, -20));
    EXPECT_EQ(changes.size(), 0) << "written during the drag";

    // Positions are relative to where the panel is now: 5 px further right.
    QTest::mouseMove(&panel(), {10 + 5, 10});
    QTest::mouseRelease(&panel(), Qt::LeftButton, {}, {10, 10});

    const QPoint end = start + QPoint(35, -20);
    EXPECT_EQ(panel().pos(), end);
    EXPECT_EQ(prefs.floatingPanelX(), end.x());
    EXPECT_EQ(prefs.floatingPanelY(), end.y());
    EXPECT_EQ(changes.size(), 2) << "both keys, once";

    // Moves after the release are no drag.
    QTest::mouseMove(&panel(), {50, 20});
    EXPECT_EQ(panel().pos(), end);

    // The next launch puts it there.
    controller.reset();
    build();
    EXPECT_EQ(panel().pos(), end);
}

// A move the panel did not make itself (the window manager's: a drag with
// Alt, a move by keyboard) is kept, and stored once the burst is over.
TEST_F(FloatingPanelControllerTest, AMoveOfTheWindowManagerIsKeptAndStored)
{
    build(200);
    controller->show();
    QSignalSpy changes(&prefs, &Preferences::changed);
    const QPoint moved(120, 90);

    for (int step = 5; step >= 0; --step)
        panel().move(moved + QPoint(step, step));
    ASSERT_TRUE(waitUntil([&] { return changes.size() == 2; }));
    EXPECT_EQ(prefs.floatingPanelX(), moved.x());
    EXPECT_EQ(prefs.floatingPanelY(), moved.y());

    // A new width and another show keep it there.
    content->setHintWidth(500);
    ASSERT_TRUE(waitUntil([&] { return panel().width() == 500; }));
    EXPECT_EQ(panel().pos(), moved);
    controller->hide();
    controller->show();
    EXPECT_EQ(panel().pos(), moved);
    spinFor(2 * FloatingPanelController::kStoreDelay.count());
    EXPECT_EQ(changes.size(), 2) << "one write for the whole burst, none for the refit";
}

// The window manager maps a panel in steps (its frame first, then the
// window in it): a burst of moves that ends where it began is no move, and
// the settings keep saying "never placed by the user".
TEST_F(FloatingPanelControllerTest, MovesThatEndWhereTheyBeganWriteNothing)
{
    build(200);
    controller->show();
    const QPoint placed = panel().pos();
    QSignalSpy changes(&prefs, &Preferences::changed);

    panel().move(QPoint(0, 0));
    panel().move(placed);
    spinFor(2 * FloatingPanelController::kStoreDelay.count());
    EXPECT_EQ(changes.size(), 0);
    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelX));
}

// When the screen it was on goes away, a panel left on no screen is placed
// again as on first launch, and that is stored.
TEST_F(FloatingPanelControllerTest, APanelOnNoScreenIsPlacedAgainWhenAScreenGoesAway)
{
    build(200);
    controller->show();
    const QPoint nowhere(20000, 20000);
    panel().move(nowhere);
    ASSERT_TRUE(waitUntil([&] { return prefs.floatingPanelX() == nowhere.x(); }));

    emit qGuiApp->screenRemoved(QGuiApplication::primaryScreen());

    ASSERT_TRUE(waitUntil([&] { return panel().pos() == defaultPosition(200); }));
    EXPECT_EQ(prefs.floatingPanelX(), defaultPosition(200).x());
    EXPECT_EQ(prefs.floatingPanelY(), defaultPosition(200).y());
}

// A panel still on a screen stays where it is.
TEST_F(FloatingPanelControllerTest, APanelStillOnAScreenStaysWhenAnotherGoesAway)
{
    store(37, 91);
    build(200);
    controller->show();
    QSignalSpy changes(&prefs, &Preferences::changed);

    emit qGuiApp->screenRemoved(QGuiApplication::primaryScreen());
    QCoreApplication::processEvents();   // the queued reaction

    EXPECT_EQ(panel().pos(), QPoint(37, 91));
    EXPECT_EQ(changes.size(), 0);
}

TEST_F(FloatingPanelControllerTest, APressRightAfterAClickDragsToo)
{
    build();
    controller->show();
    const QPoint start = panel().pos();

    QTest::mouseClick(&panel(), Qt::LeftButton, {}, {10, 10});
    // Qt turns the second press of a quick pair into a double click.
    QTest::mouseDClick(&panel(), Qt::LeftButton, {}, {10, 10});
    QTest::mouseMove(&panel(), {10 + 40, 10 + 5});
    QTest::mouseRelease(&panel(), Qt::LeftButton, {}, {10, 10});

    EXPECT_EQ(panel().pos(), start + QPoint(40, 5));
    EXPECT_EQ(prefs.floatingPanelX(), start.x() + 40);
}

TEST_F(FloatingPanelControllerTest, OnlyTheLeftButtonOnTheBackgroundDrags)
{
    auto owned = std::make_unique<QPushButton>("Cancel");
    QPushButton* button = owned.get();
    owned->setFixedWidth(100);
    controller = std::make_unique<FloatingPanelController>(std::move(owned), prefs);
    controller->show();
    const QPoint start = panel().pos();

    QTest::mousePress(&panel(), Qt::RightButton, {}, {10, 10});
    QTest::mouseMove(&panel(), {60, 30});
    QTest::mouseRelease(&panel(), Qt::RightButton, {}, {60, 30});
    EXPECT_EQ(panel().pos(), start) << "right button";

    // The button takes the press, so the panel never sees it.
    QTest::mousePress(button, Qt::LeftButton, {}, {10, 10});
    QTest::mouseMove(button, {60, 30});
    QTest::mouseRelease(button, Qt::LeftButton, {}, {60, 30});
    EXPECT_EQ(panel().pos(), start) << "button";

    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelX));
    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelY));
}

TEST_F(FloatingPanelControllerTest, PlacingShowingAndRefittingStoreNothing)
{
    QSignalSpy changes(&prefs, &Preferences::changed);

    build(200);
    controller->show();
    content->setHintWidth(500);
    spinFor(30);
    controller->hide();
    controller->show();

    ASSERT_EQ(panel().width(), 500);
    EXPECT_EQ(changes.size(), 0);
    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelX));
    EXPECT_FALSE(prefs.contains(PrefKey::floatingPanelY));
}

TEST_F(FloatingPanelControllerTest, ShowAndHideChangeOnlyTheVisibility)
{
    store(37, 91);
    build();
    const QRect placed = panel().geometry();

    for (int i = 0; i < 2; ++i) {
        controller->show();
        EXPECT_TRUE(panel().isVisible());
        EXPECT_TRUE(controller->isShown());
        EXPECT_EQ(panel().geometry(), placed);
    }
    for (int i = 0; i < 2; ++i) {
        controller->hide();
        EXPECT_FALSE(panel().isVisible());
        EXPECT_FALSE(controller->isShown());
        EXPECT_EQ(panel().geometry(), placed);
    }
    controller->show();
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(FloatingPanelControllerTest, WithoutContentThereIsNoPanelAndShowDoesNothing)
{
    FloatingPanelController empty(nullptr, prefs);

    EXPECT_EQ(empty.panel(), nullptr);
    empty.show();
    EXPECT_FALSE(empty.isShown());
    empty.hide();
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
}

// Without a compositing manager the transparent corners of the panel would
// show black: the window is cut to its rounded background instead, at every
// width, and no longer once a compositing manager runs.
TEST_F(FloatingPanelControllerTest, CutToItsRoundedShapeWhereNothingComposites)
{
    bool compositing = false;
    auto owned = std::make_unique<SizedContent>(200);
    content = owned.get();
    controller = std::make_unique<FloatingPanelController>(
        std::move(owned), prefs, WindowHints{.compositing = [&] { return compositing; }});
    controller->show();

    const auto cutToShape = [&](int width) {
        const QRegion mask = panel().mask();
        return !mask.contains(QPoint(0, 0)) && !mask.contains(QPoint(width - 1, 0))
               && !mask.contains(QPoint(0, 43)) && !mask.contains(QPoint(width - 1, 43))
               && mask.contains(QPoint(width / 2, 0)) && mask.contains(QPoint(0, 22))
               && mask.contains(QPoint(width - 1, 22)) && mask.contains(QPoint(width / 2, 43));
    };
    EXPECT_TRUE(cutToShape(200));

    content->setHintWidth(400);
    ASSERT_TRUE(waitUntil([&] { return panel().width() == 400; }));
    EXPECT_TRUE(cutToShape(400)) << "the shape follows the width";

    // A compositing manager started meanwhile: seen at the next show.
    compositing = true;
    controller->hide();
    controller->show();
    EXPECT_TRUE(panel().mask().isEmpty());

    // Without a way to tell, the panel takes the safe side.
    auto other = std::make_unique<SizedContent>(200);
    FloatingPanelController unknown(std::move(other), prefs);
    unknown.show();
    EXPECT_FALSE(unknown.panel()->mask().isEmpty());
}
