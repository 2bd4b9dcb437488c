#include "monitor/audio_thread.h"

#include <QSoundEffect>

#include "core/thread_calls.h"

AudioThread::AudioThread() {
    m_thread.setObjectName(QStringLiteral("tessiv-audio"));
    m_calls = new ThreadCalls(nullptr);
    m_calls->moveToThread(&m_thread);
    m_thread.start();
}

AudioThread::~AudioThread() {
    m_thread.wait();
    delete m_calls;  // the thread has ended, so nothing else can touch it
}

void AudioThread::Post(std::function<void()> call) {
    m_calls->Post(std::move(call));
}

void AudioThread::PlayLooping(const QUrl& source) {
    Post([this, source] {
        if (!m_effect) {
            // The audio stack is opened here, on this thread, at the first alarm.
            m_effect = std::make_unique<QSoundEffect>();
            m_effect->setLoopCount(QSoundEffect::Infinite);
            QSoundEffect* effect = m_effect.get();
            QObject::connect(effect, &QSoundEffect::playingChanged, effect, [this, effect] {
                m_confirmed.store(effect->isPlaying(), std::memory_order_release);
            });
        }
        m_effect->stop();
        if (m_effect->source() != source) m_effect->setSource(source);
        m_effect->play();
    });
}

void AudioThread::Stop() {
    Post([this] {
        if (m_effect) m_effect->stop();
        m_confirmed.store(false, std::memory_order_release);
    });
}

void AudioThread::Loop::run() {
    exec();
    // Notified under the lock: once the owner sees the flag it may destroy everything, this included.
    std::lock_guard hold(m_owner.m_endMutex);
    m_owner.m_ended = true;
    m_owner.m_endSignal.notify_all();
}

bool AudioThread::Finish(std::chrono::milliseconds bound) {
    Post([this] {
        if (m_effect) m_effect->disconnect();
        m_effect.reset();
        m_thread.quit();
    });
    std::unique_lock hold(m_endMutex);
    return m_endSignal.wait_for(hold, bound, [this] { return m_ended; });
}
