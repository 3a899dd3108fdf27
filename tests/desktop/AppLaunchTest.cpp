#include <QDir>
#include <QFile>
#include <QProcess>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <xcb/xcb.h>

#include "support/EventLoop.h"
#include "support/TempHome.h"

namespace {

QByteArray dayLogs(const QString& logsDir)
{
    QByteArray all;
    for (const QString& name : QDir(logsDir).entryList({"*.log"}, QDir::Files)) {
        QFile file(logsDir + "/" + name);
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

// An X system tray as a panel provides one: it takes the tray selection,
// announces itself to the root window and receives the icons' dock requests.
class SystemTray
{
public:
    SystemTray() : m_connection(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        m_selection = atom("_NET_SYSTEM_TRAY_S0");
        m_opcode = atom("_NET_SYSTEM_TRAY_OPCODE");
    }
    ~SystemTray() { xcb_disconnect(m_connection); }

    void start()
    {
        xcb_set_selection_owner(m_connection, m_window, m_selection, XCB_CURRENT_TIME);
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = m_root;
        message.type = atom("MANAGER");
        message.data.data32[0] = XCB_CURRENT_TIME;
        message.data.data32[1] = m_selection;
        message.data.data32[2] = m_window;
        xcb_send_event(m_connection, false, m_root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(m_connection);
    }

    // The icon window of the first dock request within `timeout`; none
    // when none came.
    std::optional<xcb_window_t> waitForDockRequest(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                std::optional<xcb_window_t> icon;
                if ((event->response_type & ~0x80) == XCB_CLIENT_MESSAGE) {
                    const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                    if (message->type == m_opcode && message->data.data32[1] == 0)   // REQUEST_DOCK
                        icon = message->data.data32[2];
                }
                std::free(event);
                if (icon)
                    return icon;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd fd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
            ::poll(&fd, 1, int(left.count()));
        }
    }

private:
    xcb_atom_t atom(const char* name)
    {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, false, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_window_t m_window = XCB_WINDOW_NONE;
    xcb_atom_t m_selection = XCB_ATOM_NONE;
    xcb_atom_t m_opcode = XCB_ATOM_NONE;
};

}  // namespace

// The real program on the test display: it lays out its data folder, opens
// the database, logs its start, and a second launch hands over to it.
TEST(AppLaunch, StartsOnceAndASecondLaunchHandsOver)
{
    TempHome home;
    const QString data = home.talvexDataDir();
    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(TALVEX_APP, {});
    ASSERT_TRUE(app.waitForStarted(5000));

    const QByteArray ready = "App: initialization complete, deviceId: ";
    ASSERT_TRUE(waitUntil([&] { return dayLogs(data + "/logs").contains(ready); }, 15000))
        << dayLogs(data + "/logs").constData();
    EXPECT_TRUE(QFile::exists(data + "/talvex.db"));
    EXPECT_TRUE(QDir(data + "/recordings").exists());
    EXPECT_TRUE(dayLogs(data + "/logs").contains(", userId: local\n"));

    QProcess second;
    second.start(TALVEX_APP, {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(dayLogs(data + "/logs").count(ready), 1);   // it never started a controller
    EXPECT_EQ(app.state(), QProcess::Running);

    app.terminate();
    EXPECT_TRUE(app.waitForFinished(5000));
}

// A system tray that starts after the program, as a panel that comes up late
// in the session or is restarted: the program's icon docks into it.
TEST(AppTray, TheIconDocksIntoASystemTrayThatStartsLater)
{
    TempHome home;
    const QString logs = home.talvexDataDir() + "/logs";
    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(TALVEX_APP, {});
    ASSERT_TRUE(app.waitForStarted(5000));
    // The test desktop has no tray: the program starts without one.
    ASSERT_TRUE(waitUntil([&] {
        return dayLogs(logs).contains("App: no system tray available, keeping the main window open");
    }, 15000)) << dayLogs(logs).constData();

    SystemTray tray;
    tray.start();

    EXPECT_TRUE(tray.waitForDockRequest(std::chrono::seconds(10))) << "no icon asked to dock";
    app.terminate();
    EXPECT_TRUE(app.waitForFinished(5000));
}
