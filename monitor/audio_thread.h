#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include <QThread>
#include <QUrl>

class QSoundEffect;
class ThreadCalls;

// A thread with its own event loop that owns the sound effect and the audio stack under it. Every request
// is posted; nothing waits for the audio library except this thread.
class AudioThread final {
public:
    AudioThread();
    ~AudioThread();  // only once the thread has ended; see Finish()
    AudioThread(const AudioThread&) = delete;
    AudioThread& operator=(const AudioThread&) = delete;

    void PlayLooping(const QUrl& source);
    void Stop();
    bool PlaybackConfirmed() const { return m_confirmed.load(std::memory_order_acquire); }

    // Asks the thread to end and waits up to `bound`; true when it ended.
    bool Finish(std::chrono::milliseconds bound);

private:
    // Runs the event loop, then says so in a way ThreadSanitizer can follow (QThread::wait it cannot).
    class Loop final : public QThread {
    public:
        explicit Loop(AudioThread& owner) : m_owner(owner) {}

    protected:
        void run() override;

    private:
        AudioThread& m_owner;
    };

    void Post(std::function<void()> call);

    Loop m_thread{*this};
    ThreadCalls* m_calls = nullptr;          // lives on m_thread
    std::unique_ptr<QSoundEffect> m_effect;  // made and used on m_thread only
    std::atomic<bool> m_confirmed{false};

    std::mutex m_endMutex;
    std::condition_variable m_endSignal;
    bool m_ended = false;
};
