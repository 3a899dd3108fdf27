#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/AudioCapture.h"

// Lends a capture to code that owns and releases its captures (the recorder
// makes one per recording and drops it at the stop), so that the lender can
// still read it afterwards: what it delivered, on which thread. Buffers and
// failures are passed on unchanged; `timeHandler`, when set, is told after
// each buffer how long the borrower's buffer handler took, on the capture
// thread.
class SharedCapture final : public AudioCapture
{
public:
    using HandlerTimer = std::function<void(std::chrono::nanoseconds)>;

    explicit SharedCapture(std::shared_ptr<AudioCapture> inner, HandlerTimer timeHandler = {});
    // Stops the inner capture, which then calls this object no more.
    ~SharedCapture() override;

    AudioFormat format() const override { return m_inner->format(); }
    bool start() override;
    void pause() override { m_inner->pause(); }
    void stop() override { m_inner->stop(); }
    bool isRunning() const override { return m_inner->isRunning(); }

private:
    const std::shared_ptr<AudioCapture> m_inner;
    const HandlerTimer m_timeHandler;
};
