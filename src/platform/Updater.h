#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>

#include "platform/AlertPresenter.h"
#include "platform/UpdateCheckResult.h"

class HttpClient;

// Time-outs of the update check; tests shrink them.
struct UpdaterTiming
{
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(30);
};

// The menu's update check: fetches the appcast feed, compares its newest
// version with the running one (QCoreApplication::applicationVersion()) and
// tells the user what it found. Main thread only; lives as long as the
// application.
class Updater : public QObject
{
    Q_OBJECT
public:
    static constexpr auto kDefaultFeedUrl = "https://talvex.app/appcast.xml";

    // The interface text for a key ("update.…", "alert.ok") in the current
    // language, with %1, %2, … left in place.
    using TextLookup = std::function<QString(const QString& key)>;

    Updater(HttpClient& http, TextLookup texts, UpdaterTiming timing = {},
            QObject* parent = nullptr);

    // TALVEX_UPDATE_FEED_URL when set, else kDefaultFeedUrl; read at every check.
    static QUrl feedUrl();

    // Fetches the feed once and compares; never fails, a failure is a result.
    QCoro::Task<UpdateCheckResult> check();

    // The alert that tells the user about `result`.
    Alert alertFor(const UpdateCheckResult& result) const;

    // check(), then shows alertFor() through `presenter`. A call while an
    // earlier one is still checking or showing its alert does nothing, so
    // repeated clicks on the menu item give one alert.
    QCoro::Task<void> checkAndPresent(AlertPresenter& presenter);

private:
    HttpClient& m_http;
    TextLookup m_texts;
    const UpdaterTiming m_timing;
    bool m_presenting = false;
};
