#include "sync/BackendClient.h"

BackendClient::BackendClient(Preferences& preferences, HttpClient& http, BackendConfig config, WallClock clock,
                             AuthTiming timing, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_http(http), m_config(std::move(config))
    , m_clock(std::move(clock)), m_timing(timing), m_storage(preferences)
{
}

BackendClient::~BackendClient() = default;
