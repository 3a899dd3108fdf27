#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <xcb/xcb.h>

#include "platform/ClipboardReader.h"

// ClipboardReader over X11 selections, on a connection of its own so that
// its waits have deadlines and nothing of Qt's event stream is touched.
// Formats are asked for one at a time, each into a property of its own (a
// late answer to an abandoned request cannot overwrite the next one), large
// ones through the incremental (INCR) protocol.
class X11ClipboardReader final : public ClipboardReader
{
public:
    // Reads only while the application runs on an X display.
    X11ClipboardReader();
    ~X11ClipboardReader() override;

    std::optional<ClipboardContent> read(const ClipboardLimits& limits) override;

private:
    using Clock = std::chrono::steady_clock;

    // The bytes of `target`, or why there are none.
    struct Transfer
    {
        std::optional<QByteArray> data;
        QString failure;
    };

    // Each wait for the owner ends at `end` or after limits.answerTimeout,
    // whichever comes first.
    Transfer fetch(xcb_atom_t target, qsizetype maxBytes, const ClipboardLimits& limits,
                   Clock::time_point end);
    Transfer fetchIncrementally(xcb_atom_t property, qsizetype maxBytes, const ClipboardLimits& limits,
                                Clock::time_point end);
    // The first event `matches` accepts within one answer's time; otherwise
    // none, and `late` tells which limit ran out. Other events are dropped.
    xcb_generic_event_t* waitForAnswer(const std::function<bool(const xcb_generic_event_t&)>& matches,
                                       const ClipboardLimits& limits, Clock::time_point end, QString& late);
    xcb_atom_t atom(const char* name) const;
    QByteArray atomName(xcb_atom_t atom) const;

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_clipboard = XCB_NONE;
    xcb_atom_t m_targets = XCB_NONE;
    xcb_atom_t m_incr = XCB_NONE;
};
